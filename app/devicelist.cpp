#include "devicelist.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

QString tsvCell(QString text)
{
    static const QRegularExpression breaks(QStringLiteral("[\\t\\r\\n]"));
    return text.replace(breaks, QStringLiteral(" "));
}

QString csvCell(QString text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text;
    text.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString lines(const QList<QStringList> &rows, QString (*cell)(QString), QChar separator,
              const QString &lineEnd)
{
    QString out;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (const QString &text : row)
            cells.append(cell(text));
        out += cells.join(separator) + lineEnd;
    }
    return out;
}

} // namespace

namespace DeviceList {

QStringList columnTitles()
{
    return {QStringLiteral("IP Address"),
            QStringLiteral("MAC Address"),
            QStringLiteral("SN"),
            QStringLiteral("Device Name"),
            QStringLiteral("Camera Type"),
            QStringLiteral("OS Version"),
            QStringLiteral("Camera FW Version")};
}

QString format(Format format, const QList<QStringList> &rows)
{
    const QStringList titles = columnTitles();
    switch (format) {
    case Format::Tsv:
        return lines(QList<QStringList>{titles} + rows, tsvCell, QLatin1Char('\t'),
                     QStringLiteral("\n"));
    case Format::Csv:
        return lines(QList<QStringList>{titles} + rows, csvCell, QLatin1Char(','),
                     QStringLiteral("\r\n"));
    case Format::Json:
        break;
    }
    QJsonArray array;
    for (const QStringList &row : rows) {
        QJsonObject object;
        for (int c = 0; c < titles.size(); ++c)
            object.insert(titles.at(c), row.value(c));
        array.append(object);
    }
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

} // namespace DeviceList
