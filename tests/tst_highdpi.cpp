// On a high-dpi screen the main window scales as a whole: 1.5 times the pixels at 144 dpi, twice
// at 192 dpi, the same size in logical pixels, and no title or button text cut off. Run by
// with_xvfb.sh on an X display of that dpi.

#include "highdpi.h"
#include "mainwindow.h"

#include <QApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QWindow>

class HighDpiTest : public QObject
{
    Q_OBJECT
private slots:
    void scalesAsAWhole()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowHandle()->devicePixelRatio(),
                 qEnvironmentVariable("XVFB_DPI").toDouble() / 96);
        QCOMPARE(window.size(), QSize(1035, 496));

        auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
        QVERIFY(button && button->fontMetrics().horizontalAdvance(button->text()) <
                                  button->contentsRect().width());
        auto *table = window.findChild<QTableView *>(QStringLiteral("tableView"));
        QVERIFY(table);
        QHeaderView *header = table->horizontalHeader();
        for (int column = 0; column < header->count(); ++column) {
            const QString title = table->model()->headerData(column, Qt::Horizontal).toString();
            QVERIFY2(header->fontMetrics().horizontalAdvance(title) < header->sectionSize(column),
                     qPrintable(title));
        }
    }
};

int main(int argc, char *argv[])
{
    HighDpi::enable();
    QApplication app(argc, argv);
    HighDpiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_highdpi.moc"
