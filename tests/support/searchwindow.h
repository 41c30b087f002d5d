#pragma once

#include <QList>
#include <QStringList>

class QWidget;

// Drives a main window's device search through its widgets only.
namespace SearchWindow {

// Presses Search Device and waits, bounded, until the window says the search is over.
bool search(QWidget *window);
// The texts of the device table, row by row.
QList<QStringList> rows(const QWidget *window);

} // namespace SearchWindow
