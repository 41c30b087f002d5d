// End to end in the virtual lab (run by scripts/lab.sh inside the workstation namespace): the
// main window as the tool runs it, with its default endpoints, searches the lab with the real
// broadcast and then runs each of the six device menu entries on a chosen box. Each box's log
// shows exactly what reached it: the commands land on the chosen box and on no other.

#include "boxlog.h"
#include "boxsimprocess.h"
#include "labbox.h"
#include "labimage.h"
#include "localwait.h"
#include "mainwindow.h"
#include "mqttclient.h"
#include "recoverywindowdriver.h"
#include "scripteddialogs.h"
#include "updatewindowdriver.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

// Stream, reports, animation and countdown at a twentieth of their length.
constexpr double RunScale = 0.05;
constexpr int RunTimeoutMs = 45000;

const QStringList MenuEntries = {
        QStringLiteral("Login Page"),       QStringLiteral("Shut Down"),
        QStringLiteral("Restart"),          QStringLiteral("System FW Update"),
        QStringLiteral("Camera FW Update"), QStringLiteral("System FW Recovery")};

} // namespace

// Catches what the tool hands to the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

class LabMenuTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void loginPage();
    void shutDown();
    void restart();
    void systemUpdateWindow();
    void cameraUpdateWindow();
    void recoveryWindow();

private:
    // Selects the row of `box` as a click on it does: current index and the whole row.
    bool selectBox(const LabBox &box);
    // Opens the device menu on the selected row, checks its entries and chooses `entry`, with
    // the keyboard as an operator may. Returns the entries the menu showed.
    QStringList choose(const QString &entry, const QString &screenshot = QString());
    // Waits (bounded) while the question is open until the main window's client is connected
    // to `box`: the operator takes a moment to read.
    void answerOnceConnectedTo(const LabBox &box);
    // The update or recovery window the menu opened, or none.
    QWidget *deviceWindow() const;
    void verifyReceived(const QList<QStringList> &perBox);
    QString status() const;

    QList<LabBox> m_boxes;
    QList<std::shared_ptr<BoxLog>> m_logs;
    // Where the operator keeps the images.
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/firmware-XXXXXX")};
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    UrlCatcher m_urls;
    std::unique_ptr<MainWindow> m_window;
    QTableView *m_table = nullptr;
};

void LabMenuTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("TALIX_LAB_NS"))
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // The search broadcasts for real: only inside the lab.
    QVERIFY2(LabBox::insideLabNamespace(), "not inside the lab's workstation namespace");
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY(m_dir.isValid());

    m_boxes = LabBox::fromEnvironment();
    QCOMPARE(m_boxes.size(), 3);
    for (const LabBox &box : qAsConst(m_boxes)) {
        QVERIFY2(box.extraOptions.isEmpty(), "every box of this lab is well-behaved");
        m_logs.append(std::make_shared<BoxLog>(box.logPath));
    }
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_urls, "open");

    // The window exactly as main() makes it: default endpoints, real ports.
    m_dialogs = std::make_unique<ScriptedDialogs>();
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_table = m_window->findChild<QTableView *>(QStringLiteral("tableView"));
    auto *search = m_window->findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
    QVERIFY(m_table && search);

    search->click();
    // 500 ms pause and 2000 ms of collection, unscaled.
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Search Completed"), 15000);
    const QAbstractItemModel *model = m_table->model();
    QCOMPARE(model->rowCount(), m_boxes.size());
    for (const LabBox &box : qAsConst(m_boxes)) {
        const QModelIndexList hits =
                model->match(model->index(0, 0), Qt::DisplayRole, box.ip, 1, Qt::MatchExactly);
        QCOMPARE(hits.size(), 1);
        QStringList texts;
        for (int c = 0; c < model->columnCount(); ++c)
            texts.append(model->index(hits.first().row(), c).data().toString());
        QCOMPARE(texts, box.rowTexts());
    }
    QVERIFY(m_dialogs->calls.isEmpty());
    m_dialogs.reset();
}

void LabMenuTest::cleanupTestCase()
{
    delete deviceWindow();
    m_window.reset();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

void LabMenuTest::init()
{
    LocalWait::setTimeScaleForTests(1.0);
    for (auto &log : m_logs)
        log->mark();
    m_dialogs = std::make_unique<ScriptedDialogs>();
    m_urls.urls.clear();
}

void LabMenuTest::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
    delete deviceWindow();
    m_dialogs.reset();
}

QString LabMenuTest::status() const
{
    const auto *label = m_window->findChild<QLabel *>(QStringLiteral("label_Search_State"));
    return label ? label->text() : QStringLiteral("(no status label)");
}

bool LabMenuTest::selectBox(const LabBox &box)
{
    const QAbstractItemModel *model = m_table->model();
    const QModelIndexList hits =
            model->match(model->index(0, 0), Qt::DisplayRole, box.ip, 1, Qt::MatchExactly);
    if (hits.size() != 1)
        return false;
    m_table->selectionModel()->setCurrentIndex(hits.first(), QItemSelectionModel::ClearAndSelect |
                                                                     QItemSelectionModel::Rows);
    return m_table->selectionModel()->selectedRows(0).size() == 1;
}

QStringList LabMenuTest::choose(const QString &entry, const QString &screenshot)
{
    // The menu opens where the mouse is: over the chosen row, as after a right click there.
    const QRect cell = m_table->visualRect(m_table->currentIndex());
    QCursor::setPos(m_table->viewport()->mapToGlobal(cell.center() + QPoint(40, 0)));

    QStringList shown;
    int polls = 0;
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, [&] {
        QPointer<QMenu> menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu) {
            if (++polls > 500)
                poll.stop();
            return;
        }
        poll.stop();
        QAction *chosen = nullptr;
        for (QAction *action : menu->actions()) {
            shown.append(action->text());
            if (action->text() == entry)
                chosen = action;
        }
        if (!chosen) {
            menu->close();
            return;
        }
        menu->setActiveAction(chosen);
        const QString dir = qEnvironmentVariable("TALIX_LAB_SCREENSHOT_DIR");
        if (!screenshot.isEmpty() && !dir.isEmpty()) {
            // For the documentation: the menu open on its row, as the screen shows it.
            QTest::qWait(300);
            const QRect area = m_window->frameGeometry().united(menu->geometry());
            const QPixmap shot = m_window->screen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                                area.height());
            if (!shot.save(QDir(dir).filePath(screenshot)))
                qWarning("could not save %s in %s", qPrintable(screenshot), qPrintable(dir));
        }
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(menu, &press);
    });
    poll.start();
    emit m_table->customContextMenuRequested(m_table->viewport()->mapFromGlobal(QCursor::pos()));
    poll.stop();
    return shown;
}

void LabMenuTest::answerOnceConnectedTo(const LabBox &box)
{
    auto *client = m_window->findChild<MqttClient *>();
    m_dialogs->whileOpen = [client, ip = box.ip](const ScriptedDialogs::Call &call) {
        if (call.kind != QLatin1String("question") || !client)
            return;
        if (!QTest::qWaitFor(
                    [&] {
                        return client->state() == MqttClient::Connected && client->hostname() == ip;
                    },
                    10000))
            qWarning("the main window's client did not connect to %s", qPrintable(ip));
    };
}

QWidget *LabMenuTest::deviceWindow() const
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if ((w->inherits("Form") || w->inherits("RecoveryForm")) && w->isVisible())
            return w;
    }
    return nullptr;
}

// What each box received since the test began, in order, box by box.
void LabMenuTest::verifyReceived(const QList<QStringList> &perBox)
{
    for (int i = 0; i < m_boxes.size(); ++i)
        QVERIFY2(m_logs.at(i)->received() == perBox.value(i),
                 qPrintable(QStringLiteral("box %1 received: %2")
                                    .arg(i + 1)
                                    .arg(m_logs.at(i)->received().join(QLatin1String(", ")))));
}

void LabMenuTest::loginPage()
{
    const LabBox &box = m_boxes.at(1);
    QVERIFY(selectBox(box));
    QCOMPARE(choose(QStringLiteral("Login Page"), QStringLiteral("menu.png")), MenuEntries);

    QCOMPARE(m_urls.urls.size(), 1);
    QCOMPARE(m_urls.urls.first().toString(), QStringLiteral("http://%1:8888").arg(box.ip));
    QVERIFY(m_dialogs->calls.isEmpty());
    verifyReceived({});
}

void LabMenuTest::shutDown()
{
    const LabBox &box = m_boxes.at(1);
    QVERIFY(selectBox(box));
    answerOnceConnectedTo(box);
    m_dialogs->answers = {QMessageBox::Yes};
    QCOMPARE(choose(QStringLiteral("Shut Down")), MenuEntries);

    QCOMPARE(m_dialogs->texts(), QStringList{QStringLiteral("Do you want to shut down?")});
    QCOMPARE(status(), QStringLiteral("System Shut Down"));
    const QString power = m_logs.at(1)->waitForEvent(QStringLiteral("POWER"));
    QCOMPARE(BoxSimProcess::field(power, QStringLiteral("command")), QStringLiteral("shutdown"));
    QCOMPARE(BoxSimProcess::field(power, QStringLiteral("valid")), QStringLiteral("1"));
    const QStringList recv = m_logs.at(1)->events(QStringLiteral("RECV"));
    QCOMPARE(recv.size(), 1);
    QCOMPARE(BoxSimProcess::field(recv.first(), QStringLiteral("bytes")), QStringLiteral("9"));
    verifyReceived({{}, {BoxLog::describe(QStringLiteral("TalixTools_in/poweroff"), "Shut Down")}});
}

void LabMenuTest::restart()
{
    // Another box than the one the client last spoke to: the command reaches this one only.
    const LabBox &box = m_boxes.at(2);
    QVERIFY(selectBox(box));
    answerOnceConnectedTo(box);
    m_dialogs->answers = {QMessageBox::Yes};
    QCOMPARE(choose(QStringLiteral("Restart")), MenuEntries);

    QCOMPARE(m_dialogs->texts(), QStringList{QStringLiteral("Do you want to restart?")});
    QCOMPARE(status(), QStringLiteral("System Restart"));
    const QString power = m_logs.at(2)->waitForEvent(QStringLiteral("POWER"));
    QCOMPARE(BoxSimProcess::field(power, QStringLiteral("command")), QStringLiteral("restart"));
    QCOMPARE(BoxSimProcess::field(power, QStringLiteral("valid")), QStringLiteral("1"));
    const QStringList recv = m_logs.at(2)->events(QStringLiteral("RECV"));
    QCOMPARE(recv.size(), 1);
    QCOMPARE(BoxSimProcess::field(recv.first(), QStringLiteral("bytes")), QStringLiteral("7"));
    verifyReceived(
            {{}, {}, {BoxLog::describe(QStringLiteral("TalixTools_in/restart"), "Restart")}});
}

void LabMenuTest::systemUpdateWindow()
{
    const LabBox &box = m_boxes.at(0);
    const LabImage image =
            LabImage::create(m_dir.path(), QStringLiteral("system.img"), 4194304, 11);
    QVERIFY(!image.path.isEmpty());
    QVERIFY(selectBox(box));
    QCOMPARE(choose(QStringLiteral("System FW Update")), MenuEntries);

    // The window for this box, in system mode, blocking the main window.
    QWidget *window = deviceWindow();
    QVERIFY(window && window->inherits("Form"));
    QCOMPARE(window->windowTitle(), QStringLiteral("System FW Update"));
    QCOMPARE(QApplication::activeModalWidget(), window);
    UpdateWindowDriver run(window, m_dialogs.get());
    QVERIFY(run.isValid());
    QCOMPARE(run.deviceTexts(), (QStringList{box.ip, box.mac, box.sn}));

    run.start(image.path, QMessageBox::No, m_logs.at(0).get(), RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));
    QCOMPARE(run.tip->text(), QStringLiteral("System restart successful."));
    QCOMPARE(run.state->text(), QStringLiteral("Update file system succeeded, restarting"));

    const QString transfer = m_logs.at(0)->waitForEvent(QStringLiteral("TCP"));
    QCOMPARE(BoxSimProcess::field(transfer, QStringLiteral("result")), QStringLiteral("ok"));
    QCOMPARE(BoxSimProcess::field(transfer, QStringLiteral("md5")), image.md5);
    verifyReceived({{BoxLog::describe(QStringLiteral("TalixTools_in/update_file_system"),
                                      image.requestBody(LabBox::workstationIp(), 2097152))}});

    QVERIFY(window->close());
    QTRY_VERIFY(!deviceWindow());
}

void LabMenuTest::cameraUpdateWindow()
{
    const LabBox &box = m_boxes.at(1);
    const LabImage image =
            LabImage::create(m_dir.path(), QStringLiteral("camera.bin"), 2500000, 12);
    QVERIFY(!image.path.isEmpty());
    QVERIFY(selectBox(box));
    QCOMPARE(choose(QStringLiteral("Camera FW Update")), MenuEntries);

    QWidget *window = deviceWindow();
    QVERIFY(window && window->inherits("Form"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Camera FW Update"));
    QCOMPARE(QApplication::activeModalWidget(), window);
    UpdateWindowDriver run(window, m_dialogs.get());
    QVERIFY(run.isValid());
    QCOMPARE(run.deviceTexts(), (QStringList{box.ip, box.mac, box.sn}));

    run.start(image.path, QMessageBox::Yes, m_logs.at(1).get(), RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));
    QCOMPARE(run.state->text(), QStringLiteral("System Restart"));

    const QString transfer = m_logs.at(1)->waitForEvent(QStringLiteral("TCP"));
    QCOMPARE(BoxSimProcess::field(transfer, QStringLiteral("result")), QStringLiteral("ok"));
    QCOMPARE(BoxSimProcess::field(transfer, QStringLiteral("md5")), image.md5);
    QVERIFY(!m_logs.at(1)
                     ->waitForEvent(QStringLiteral("POWER"), {QStringLiteral("command=restart")})
                     .isNull());
    verifyReceived({{},
                    {BoxLog::describe(QStringLiteral("TalixTools_in/update_camera_fw"),
                                      image.requestBody(LabBox::workstationIp(), 1048576)),
                     BoxLog::describe(QStringLiteral("TalixTools_in/restart"), "Restart")}});

    QVERIFY(window->close());
    QTRY_VERIFY(!deviceWindow());
}

void LabMenuTest::recoveryWindow()
{
    const LabBox &box = m_boxes.at(2);
    QVERIFY(selectBox(box));
    QCOMPARE(choose(QStringLiteral("System FW Recovery")), MenuEntries);

    QWidget *window = deviceWindow();
    QVERIFY(window && window->inherits("RecoveryForm"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Recovery Default System"));
    QCOMPARE(QApplication::activeModalWidget(), window);
    RecoveryWindowDriver run(window, m_dialogs.get());
    QVERIFY(run.isValid());
    QCOMPARE(run.deviceTexts(), (QStringList{box.ip, box.mac, box.sn}));

    run.start(m_logs.at(2).get(), RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));
    QCOMPARE(run.tip->text(), QStringLiteral("System restart successful."));
    QCOMPARE(run.state->text(), QStringLiteral("Recovery succeeded, restarting"));
    verifyReceived({{},
                    {},
                    {BoxLog::describe(QStringLiteral("TalixTools_in/recovery_file_system"),
                                      "RecoveryDefaultSystem")}});

    QVERIFY(window->close());
    QTRY_VERIFY(!deviceWindow());
    // The main window takes input again.
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

QTEST_MAIN(LabMenuTest)
#include "lab_menu.moc"
