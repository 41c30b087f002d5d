#include "devicetablecopy.h"

#include "devicelist.h"

#include <QApplication>
#include <QClipboard>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QTableView>

#include <algorithm>

DeviceTableCopy::DeviceTableCopy(QTableView *table)
    : QObject(table)
    , m_table(table)
{
    // A filter rather than a shortcut: the view's own Ctrl+C copies a single cell.
    table->installEventFilter(this);
}

bool DeviceTableCopy::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)) {
        copy();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void DeviceTableCopy::copy()
{
    const QAbstractItemModel *model = m_table->model();
    if (!model)
        return;
    QList<int> rowNumbers;
    if (const QItemSelectionModel *selection = m_table->selectionModel()) {
        for (const QModelIndex &index : selection->selectedRows(0))
            rowNumbers.append(index.row());
    }
    std::sort(rowNumbers.begin(), rowNumbers.end());
    if (rowNumbers.isEmpty()) {
        for (int r = 0; r < model->rowCount(); ++r)
            rowNumbers.append(r);
    }
    QList<QStringList> rows;
    for (int r : qAsConst(rowNumbers)) {
        QStringList texts;
        for (int c = 0; c < model->columnCount(); ++c)
            texts.append(model->index(r, c).data(Qt::DisplayRole).toString());
        rows.append(texts);
    }
    QApplication::clipboard()->setText(DeviceList::format(DeviceList::Format::Tsv, rows));
}
