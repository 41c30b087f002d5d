#include "mainwindow.h"
#include "scripteddialogs.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

// The main window as constructed, and its close confirmation (offscreen platform).
class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void titleAndObjectNames();
    void geometryAndFonts();
    void fixedSizeNoMaximizeCentred();
    void statusLabelStartsEmpty();
    void deviceTable();
    void tableSettings();
    void iconReadFromWorkingDirectory();
    void quitConfirmation_data();
    void quitConfirmation();
    void askedOnEveryAttempt();
    void realQuestionBoxClosedWithEscapeKeepsWindow();
    void yesEndsTheEventLoop();

private:
    static std::unique_ptr<MainWindow> makeWindow() { return std::make_unique<MainWindow>(); }
};

void MainWindowTest::cleanup()
{
    // Windows closed by a test are gone by the next one.
    QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
            std::none_of(QApplication::topLevelWidgets().cbegin(),
                         QApplication::topLevelWidgets().cend(),
                         [](QWidget *w) { return qobject_cast<MainWindow *>(w); }));
}

void MainWindowTest::titleAndObjectNames()
{
    const auto w = makeWindow();
    QCOMPARE(w->windowTitle(), QStringLiteral("Talix Tool_Kits V1.0.0.0"));
    QCOMPARE(w->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w->metaObject()->superClass(), &QMainWindow::staticMetaObject);

    const Ui::MainWindow *ui = w->ui;
    QCOMPARE(ui->centralwidget->objectName(), QStringLiteral("centralwidget"));
    QCOMPARE(ui->tableView->objectName(), QStringLiteral("tableView"));
    QCOMPARE(ui->pushButton_Search_Device->objectName(),
             QStringLiteral("pushButton_Search_Device"));
    QCOMPARE(ui->label_Search_State->objectName(), QStringLiteral("label_Search_State"));
    QCOMPARE(ui->menubar->objectName(), QStringLiteral("menubar"));
    QCOMPARE(ui->statusbar->objectName(), QStringLiteral("statusbar"));

    QCOMPARE(w->centralWidget(), ui->centralwidget);
    QCOMPARE(w->menuBar(), ui->menubar);
    QCOMPARE(w->statusBar(), ui->statusbar);
    QCOMPARE(ui->tableView->parentWidget(), ui->centralwidget);
    QCOMPARE(ui->pushButton_Search_Device->parentWidget(), ui->centralwidget);
    QCOMPARE(w->findChild<QTableView *>(QStringLiteral("tableView")), ui->tableView);
    QCOMPARE(ui->pushButton_Search_Device->text(), QStringLiteral("Search Device"));
    QVERIFY(ui->menubar->actions().isEmpty()); // no menus
}

void MainWindowTest::geometryAndFonts()
{
    const auto w = makeWindow();
    const Ui::MainWindow *ui = w->ui;
    QCOMPARE(ui->tableView->geometry(), QRect(10, 40, 866, 400));
    QCOMPARE(ui->pushButton_Search_Device->geometry(), QRect(890, 40, 131, 61));

    // One default font with its point size set to 9, on the table and the button.
    QFont expected;
    expected.setPointSize(9);
    for (QWidget *widget : {static_cast<QWidget *>(ui->tableView),
                            static_cast<QWidget *>(ui->pushButton_Search_Device)}) {
        QCOMPARE(widget->font().pointSize(), 9);
        QCOMPARE(widget->font().family(), expected.family());
    }
}

void MainWindowTest::fixedSizeNoMaximizeCentred()
{
    const auto w = makeWindow();
    QCOMPARE(w->size(), QSize(1035, 496));
    QCOMPARE(w->minimumSize(), QSize(1035, 496));
    QCOMPARE(w->maximumSize(), QSize(1035, 496));
    QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));

    // Integer division truncates toward zero, also when the desktop is smaller than the window
    // (the offscreen screen is).
    const QRect desktop = QApplication::desktop()->rect();
    const int x = (desktop.width() - 1035) / 2;
    const int y = (desktop.height() - 496) / 2;
    QCOMPARE(w->pos(), QPoint(x, y));

    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QCOMPARE(w->size(), QSize(1035, 496));
    w->resize(1200, 700); // the window cannot be resized
    QCOMPARE(w->size(), QSize(1035, 496));
    w->showMaximized();
    QCOMPARE(w->size(), QSize(1035, 496));
    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::Yes;
    w->close();
}

void MainWindowTest::statusLabelStartsEmpty()
{
    const auto w = makeWindow();
    QLabel *label = w->ui->label_Search_State;
    QVERIFY(label->text().isEmpty()); // "TextLabel" never shows
    QVERIFY(w->ui->statusbar->isAncestorOf(label));
    QVERIFY(w->ui->statusbar->currentMessage().isEmpty());
}

void MainWindowTest::deviceTable()
{
    const auto w = makeWindow();
    auto *model = qobject_cast<QStandardItemModel *>(w->ui->tableView->model());
    QVERIFY(model);
    QCOMPARE(model, w->model);
    QCOMPARE(model->parent(), w->ui->tableView);
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(model->columnCount(), 7);
    const QStringList expected{"IP Address", "MAC Address",      "SN", "Device Name", "Camera Type",
                               "OS Version", "Camera FW Version"};
    QStringList headers;
    for (int c = 0; c < model->columnCount(); ++c)
        headers << model->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headers, expected);
}

void MainWindowTest::tableSettings()
{
    const auto w = makeWindow();
    QTableView *view = w->ui->tableView;
    QCOMPARE(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(view->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(view->verticalScrollMode(), QAbstractItemView::ScrollPerPixel);
    QCOMPARE(view->horizontalScrollMode(), QAbstractItemView::ScrollPerPixel);
    QCOMPARE(view->horizontalHeader()->defaultSectionSize(), 120);
    QCOMPARE(view->contextMenuPolicy(), Qt::CustomContextMenu);

    // With rows present: a click selects one whole row, a double click edits nothing.
    auto *model = w->model;
    for (int r = 0; r < 2; ++r) {
        QList<QStandardItem *> row;
        for (int c = 0; c < 7; ++c)
            row << new QStandardItem(QStringLiteral("r%1c%2").arg(r).arg(c));
        model->appendRow(row);
    }
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    const QPoint cell = view->visualRect(model->index(1, 2)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell);
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(view->selectionModel()->selectedIndexes().size(), 7);
    QCOMPARE(view->selectionModel()->selectedRows().first().row(), 1);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      view->visualRect(model->index(0, 0)).center());
    QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, cell);
    QTest::keyClick(view, Qt::Key_F2);
    QTest::keyClicks(view, QStringLiteral("x"));
    QTest::keyClick(view, Qt::Key_Return);
    QVERIFY(!view->viewport()->findChild<QLineEdit *>()); // no editor was opened
    QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("r1c2"));

    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::Yes;
    w->close();
}

void MainWindowTest::iconReadFromWorkingDirectory()
{
    // The icon is the relative file "Toolkit.ico": found when the tool starts where it lies,
    // simply absent (and harmless) anywhere else.
    const QString previous = QDir::currentPath();
    QTemporaryDir withIcon;
    QTemporaryDir without;
    QVERIFY(withIcon.isValid() && without.isValid());
    QVERIFY(QFile::copy(QStringLiteral(TALIX_ICON_FILE), withIcon.filePath("Toolkit.ico")));

    QVERIFY(QDir::setCurrent(withIcon.path()));
    const auto found = makeWindow();
    QVERIFY(QDir::setCurrent(without.path()));
    const auto missing = makeWindow();
    QVERIFY(QDir::setCurrent(previous));

    QVERIFY(!found->windowIcon().isNull());
    QVERIFY(!found->windowIcon().availableSizes().isEmpty());
    QVERIFY(missing->windowIcon().availableSizes().isEmpty());
}

void MainWindowTest::quitConfirmation_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");

    QTest::newRow("Yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("No") << int(QMessageBox::No) << false;
    QTest::newRow("box closed without a choice") << int(QMessageBox::NoButton) << false;
    QTest::newRow("box dismissed with Escape") << int(QMessageBox::Escape) << false;
}

void MainWindowTest::quitConfirmation()
{
    QFETCH(int, answer);
    QFETCH(bool, closes);

    const auto w = makeWindow();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::StandardButton(answer);
    dialogs.defaultAnswer = QMessageBox::Yes; // should a second question come, it would close

    QCOMPARE(w->close(), closes);
    QCOMPARE(w->isVisible(), !closes);
    QCOMPARE(dialogs.calls.size(), 1);
    QCOMPARE(dialogs.calls.first().kind, QStringLiteral("question"));
    QCOMPARE(dialogs.calls.first().title, QStringLiteral("Tip"));
    QCOMPARE(dialogs.calls.first().text, QStringLiteral("Do you want to quit?"));
    if (!closes) {
        dialogs.answers << QMessageBox::Yes;
        QVERIFY(w->close());
    }
}

void MainWindowTest::askedOnEveryAttempt()
{
    const auto w = makeWindow();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::No << QMessageBox::No << QMessageBox::Yes;
    QVERIFY(!w->close());
    QVERIFY(!w->close());
    QVERIFY(w->close());
    QCOMPARE(dialogs.count(QStringLiteral("question")), 3);
}

void MainWindowTest::realQuestionBoxClosedWithEscapeKeepsWindow()
{
    // The product's own question box: Escape closes it without a Yes.
    const auto w = makeWindow();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));

    QString seenTitle;
    QString seenText;
    int attempts = 0;
    std::function<void()> pressEscape = [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            if (++attempts < 500)
                QTimer::singleShot(10, pressEscape);
            return;
        }
        seenTitle = box->windowTitle();
        seenText = box->text();
        QTest::keyClick(box, Qt::Key_Escape);
    };
    QTimer::singleShot(0, pressEscape);
    QVERIFY(!w->close());
    QVERIFY(w->isVisible());
    QCOMPARE(seenTitle, QStringLiteral("Tip"));
    QCOMPARE(seenText, QStringLiteral("Do you want to quit?"));

    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::Yes;
    QVERIFY(w->close());
}

void MainWindowTest::yesEndsTheEventLoop()
{
    ScriptedDialogs dialogs;
    dialogs.answers << QMessageBox::Yes;
    const auto w = makeWindow();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));

    QTimer::singleShot(0, w.get(), [&w] { w->close(); });
    QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); }); // safety net
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!w->isVisible());
    QCOMPARE(dialogs.count(QStringLiteral("question")), 1);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
