#include "searchwindow.h"

#include "texts.h"

#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>

bool SearchWindow::search(QWidget *window)
{
    window->findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"))->click();
    const auto *state = window->findChild<QLabel *>(QStringLiteral("label_Search_State"));
    return QTest::qWaitFor([state] { return state->text() == Texts::SearchCompleted; }, 10000);
}

QList<QStringList> SearchWindow::rows(const QWidget *window)
{
    const QAbstractItemModel *model =
            window->findChild<QTableView *>(QStringLiteral("tableView"))->model();
    QList<QStringList> out;
    for (int r = 0; r < model->rowCount(); ++r) {
        out << QStringList();
        for (int c = 0; c < model->columnCount(); ++c)
            out.last() << model->index(r, c).data().toString();
    }
    return out;
}
