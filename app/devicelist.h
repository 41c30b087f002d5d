#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The device list as text, for the clipboard and for the command line.
namespace DeviceList {

enum class Format { Tsv, Csv, Json };

// The seven column titles of the device table, in column order.
QStringList columnTitles();

// `rows` (seven texts each) with the column titles:
// Tsv:  a header line, then one line per row, cells separated by tabs; tabs and line breaks
//       inside a cell become spaces, so that it pastes into a spreadsheet as a table.
// Csv:  the same with commas, quoted as RFC 4180 says (CRLF line ends).
// Json: an array of objects keyed by the column titles.
QString format(Format format, const QList<QStringList> &rows);

} // namespace DeviceList
