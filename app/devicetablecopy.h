#pragma once

#include <QObject>

class QTableView;

// Ctrl+C in the device table: the selected rows, or every row when none is selected, go to the
// clipboard as tab-separated text under the column titles, ready to paste into a spreadsheet.
class DeviceTableCopy : public QObject
{
    Q_OBJECT
public:
    // Watches `table`'s keys; lives as long as the table.
    explicit DeviceTableCopy(QTableView *table);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void copy();

    QTableView *m_table;
};
