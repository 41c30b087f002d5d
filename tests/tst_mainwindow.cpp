#include "discoverypeer.h"
#include "localwait.h"
#include "mainwindow.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "rawmqttpeer.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "texts.h"
#include "urlcatcher.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// Two boxes, each with its own broker on the same port as on a real site, and one where
// nothing listens. A search lists them in this order.
const QString Boxes[] = {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3"),
                         QStringLiteral("127.0.0.4")};
const QString ShutDownSent = QStringLiteral("TalixTools_in/poweroff Shut Down");
const QString RestartSent = QStringLiteral("TalixTools_in/restart Restart");

QByteArray reply(const QString &ip, const QByteArray &sn = "SN0001")
{
    return ReferenceFrame::reply(ip, QByteArray::fromHex("001A2B3C4D5E"), sn);
}

} // namespace

// The main window end to end on loopback: the device search against a scripted discovery peer,
// the device menu against two real brokers, and the quit question.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void quit_data();
    void quit();
    void search_data();
    void search();
    void searchSequence();
    void bindFailure();
    void menuNeedsExactlyOneSelectedRow_data();
    void menuNeedsExactlyOneSelectedRow();
    void menuEntry_data();
    void menuEntry();
    void commandNeverReachesPreviousBox_data();
    void commandNeverReachesPreviousBox();
    void actionDuringSearch_data();
    void actionDuringSearch();
    void windowDeletedWhileWaiting_data();
    void windowDeletedWhileWaiting();

private:
    template<typename T>
    T *widget(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QString state() const { return widget<QLabel>("label_Search_State")->text(); }
    QAbstractItemModel *model() const { return widget<QTableView>("tableView")->model(); }
    void runSearch(const QList<QByteArray> &replies);
    QList<QStringList> rows() const;
    void select(int row)
    {
        widget<QTableView>("tableView")->setCurrentIndex(model()->index(row, 0));
    }
    bool withMenu(const std::function<void(QMenu *)> &inside);
    bool choose(const QString &entry);
    bool toolConnectedTo(const QString &host);
    QStringList seen(int box);
    QStringList effects() const;

    std::unique_ptr<MosquittoBroker> m_brokers[2];
    std::unique_ptr<RawMqttPeer> m_observers[2];
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::unique_ptr<DiscoveryPeer> m_peer;
    std::unique_ptr<UrlCatcher> m_urls;
    std::unique_ptr<MainWindow> m_window;
    quint16 m_bindPort = 0;
};

void tst_MainWindow::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    LocalWait::setTimeScaleForTests(0.1); // 500 ms pause -> 50 ms, 2000 ms collection -> 200 ms
    QVERIFY2(!MosquittoBroker::executable().isEmpty(), "mosquitto is not installed");
    for (int attempt = 0; attempt < 5 && !(m_brokers[1] && m_brokers[1]->isRunning()); ++attempt) {
        m_brokers[0] = std::make_unique<MosquittoBroker>(Boxes[0]);
        m_brokers[1] = std::make_unique<MosquittoBroker>(Boxes[1]);
        if (m_brokers[0]->start()) {
            m_brokers[1]->setPort(m_brokers[0]->port());
            m_brokers[1]->start();
        }
    }
    QVERIFY2(m_brokers[1]->isRunning(), "could not start two brokers on one port");
    for (int box = 0; box < 2; ++box) {
        m_observers[box] = std::make_unique<RawMqttPeer>();
        QVERIFY(m_observers[box]->connectTo(Boxes[box], m_brokers[0]->port()));
        QVERIFY(m_observers[box]->subscribe(QStringLiteral("#"))); // a stray topic shows too
    }
}

void tst_MainWindow::init()
{
    QVERIFY(m_observers[0]->sync() && m_observers[1]->sync());
    m_observers[0]->messages.clear();
    m_observers[1]->messages.clear();
    m_dialogs = std::make_unique<ScriptedDialogs>();
    m_peer = std::make_unique<DiscoveryPeer>();
    m_urls = std::make_unique<UrlCatcher>();
    m_window = std::make_unique<MainWindow>();
    m_bindPort = freeUdpPort();
    Endpoints e;
    e.discoveryBindPort = m_bindPort;
    e.discoveryAddress = QStringLiteral("127.0.0.1");
    e.discoveryTargetPort = m_peer->port();
    e.brokerPort = m_brokers[0]->port();
    e.streamPort = freeTcpPort();
    m_window->setEndpoints(e);
}

void tst_MainWindow::cleanup()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->inherits("Form") || w->inherits("RecoveryForm"))
            delete w;
    }
    m_window.reset();
    m_urls.reset();
    m_peer.reset();
    m_dialogs.reset();
}

void tst_MainWindow::runSearch(const QList<QByteArray> &replies)
{
    m_peer->replies = replies;
    widget<QPushButton>("pushButton_Search_Device")->click();
    QTRY_COMPARE_WITH_TIMEOUT(state(), Texts::SearchCompleted, 10000);
}

QList<QStringList> tst_MainWindow::rows() const
{
    QList<QStringList> out;
    for (int r = 0; r < model()->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < model()->columnCount(); ++c)
            row << model()->index(r, c).data().toString();
        out << row;
    }
    return out;
}

// Opens the device menu as a right click does and hands it, once open, to `inside`; a menu
// that `inside` leaves open is closed. Returns whether a menu opened.
bool tst_MainWindow::withMenu(const std::function<void(QMenu *)> &inside)
{
    bool opened = false;
    int polls = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        QPointer<QMenu> menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu && ++polls < 300)
            return;
        poll.stop();
        opened = menu;
        if (menu)
            inside(menu);
        if (menu && menu->isVisible())
            menu->close();
    });
    poll.start(10);
    emit widget<QTableView>("tableView")->customContextMenuRequested(QPoint(5, 5));
    return opened;
}

// Chooses a menu entry as the operator does: the menu closes, then the entry runs.
bool tst_MainWindow::choose(const QString &entry)
{
    return withMenu([&](QMenu *menu) {
        for (QAction *action : menu->actions()) {
            if (action->text() == entry) {
                menu->close();
                action->trigger();
                return;
            }
        }
    });
}

bool tst_MainWindow::toolConnectedTo(const QString &host)
{
    const MqttClient *client = m_window->findChild<MqttClient *>();
    return QTest::qWaitFor(
            [&] { return client->state() == MqttClient::Connected && client->hostname() == host; },
            5000);
}

// "topic payload" of everything box `box` received since the test began.
QStringList tst_MainWindow::seen(int box)
{
    if (!m_observers[box]->sync())
        return {QStringLiteral("no sync")};
    QStringList out;
    for (const RawMqttPeer::Message &m : qAsConst(m_observers[box]->messages))
        out << m.topic + QLatin1Char(' ') + QString::fromLatin1(m.payload);
    return out;
}

// Everything a device action can do besides publishing: dialogs, URLs, windows.
QStringList tst_MainWindow::effects() const
{
    QStringList out;
    for (const ScriptedDialogs::Call &c : qAsConst(m_dialogs->calls))
        out << c.kind + QLatin1Char(' ') + c.text;
    for (const QUrl &url : qAsConst(m_urls->urls))
        out << QStringLiteral("url ") + url.toString();
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->inherits("Form") || w->inherits("RecoveryForm"))
            out << QStringLiteral("window ") + w->windowTitle();
    }
    return out;
}

void tst_MainWindow::quit_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("Yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("No") << int(QMessageBox::No) << false;
    QTest::newRow("box closed without a choice") << int(QMessageBox::NoButton) << false;
}

void tst_MainWindow::quit()
{
    QFETCH(int, answer);
    QFETCH(bool, closes);
    m_window->show();
    m_dialogs->answers << QMessageBox::StandardButton(answer);
    QCOMPARE(m_window->close(), closes);
    QCOMPARE(m_window->isVisible(), !closes);
    QCOMPARE(effects(), QStringList{QStringLiteral("question ") + Texts::Quit});
}

void tst_MainWindow::search_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<QList<int>>("listed"); // indexes into replies

    const QByteArray good = reply(QStringLiteral("192.168.1.20"));
    const auto changed = [&good](int index, int value, bool reseal) {
        QByteArray frame = good;
        frame[index] = char(value);
        if (reseal) // only the changed byte is wrong
            ReferenceFrame::seal(&frame);
        return frame;
    };
    QByteArray swapped = good;
    swapped[103] = good.at(104);
    swapped[104] = good.at(103);
    QVERIFY(swapped != good);

    // Each row ends with a valid sentinel: once it is listed, all before it have been read too.
    const auto row = [](const char *name, QList<QByteArray> replies, QList<int> listed) {
        listed << replies.size();
        replies << reply(QStringLiteral("10.9.9.9"), "END");
        QTest::newRow(name) << replies << listed;
    };
    row("full fields, Latin-1, text cut at zero",
        {ReferenceFrame::reply(QStringLiteral("172.16.0.1"), QByteArray::fromHex("000A1BFF30C4"),
                               "ABCDEFGHIJKLMNOPQRST", QByteArray("CAM\0junk", 8), "Caf\xe9", "",
                               "v3.2.1")},
        {0});
    row("duplicate IP keeps the first", {good, reply(QStringLiteral("192.168.1.20"), "SECOND")},
        {0});
    row("two IPs", {good, reply(QStringLiteral("192.168.1.21"))}, {0, 1});
    row("bad CRC", {changed(104, good.at(104) ^ 1, false)}, {});
    row("CRC low byte first", {swapped}, {});
    row("length byte 99", {changed(2, 99, true)}, {});
    row("length byte 101", {changed(2, 101, true)}, {});
    row("head byte 0 wrong", {changed(0, 0xFB, true)}, {});
    row("head byte 1 wrong", {changed(1, 0x02, true)}, {});
    row("104 bytes", {good.left(104)}, {});
    row("106 bytes", {good + '\0'}, {});
    row("empty datagram", {QByteArray()}, {});
    row("own request echoed", {ReferenceFrame::request()}, {});
    row("bad between good", {reply("10.0.0.1"), good.left(104), reply("10.0.0.2")}, {0, 2});
    QList<QByteArray> burst; // written before the tool reads any: only its socket buffer holds them
    QList<int> all;
    for (int i = 0; i < 2000; ++i) {
        burst << reply(QStringLiteral("10.1.%1.%2").arg(i / 250).arg(i % 250 + 1));
        all << i;
    }
    row("2000 boxes at once", burst, all);
}

void tst_MainWindow::search()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(QList<int>, listed);

    runSearch(replies);
    QList<QStringList> expected;
    for (int i : listed)
        expected << ReferenceFrame::row(reinterpret_cast<const uchar *>(replies.at(i).constData()));
    QCOMPARE(rows(), expected);
    QCOMPARE(m_peer->requests.size(), 1);
    QCOMPARE(m_peer->requests.first().bytes, ReferenceFrame::request());
    QCOMPARE(m_peer->requests.first().fromPort, m_bindPort); // replies come back to that port
    QCOMPARE(effects(), QStringList());
}

void tst_MainWindow::searchSequence()
{
    runSearch({reply(Boxes[0]), reply(Boxes[1])});
    QCOMPARE(model()->rowCount(), 2);

    // A second search empties the table first, ignores presses while it runs, collects for
    // the whole wait and lists a box again that the first search saw.
    int rowsAtRequest = -1;
    m_peer->afterReplies = [&] {
        rowsAtRequest = model()->rowCount();
        QTRY_COMPARE_WITH_TIMEOUT(model()->rowCount(), 1, 5000);
        widget<QPushButton>("pushButton_Search_Device")->click();
    };
    m_peer->replies = {reply(Boxes[1])};
    QElapsedTimer timer;
    timer.start();
    widget<QPushButton>("pushButton_Search_Device")->click();
    // The handler has returned before the collection: the window stays responsive.
    QCOMPARE(state(), Texts::Searching);
    QCOMPARE(model()->rowCount(), 0);
    widget<QPushButton>("pushButton_Search_Device")->click();
    QTRY_COMPARE_WITH_TIMEOUT(state(), Texts::SearchCompleted, 10000);
    QVERIFY(timer.elapsed() >= LocalWait::scaled(2000));
    QCOMPARE(rowsAtRequest, 0);
    QCOMPARE(m_peer->requests.size(), 2);
    QCOMPARE(rows().value(0).value(0), Boxes[1]);
    QCOMPARE(model()->rowCount(), 1);
}

void tst_MainWindow::bindFailure()
{
    // Another program holds the port exclusively.
    auto blocker = std::make_unique<QUdpSocket>();
    QVERIFY(blocker->bind(QHostAddress::Any, m_bindPort, QAbstractSocket::DontShareAddress));
    m_peer->replies = {reply(Boxes[0])};
    widget<QPushButton>("pushButton_Search_Device")->click();
    QCOMPARE(effects(), QStringList{QStringLiteral("information ") + Texts::SocketAbnormal});
    QCOMPARE(m_dialogs->calls.first().title, Texts::Tip);
    QVERIFY(state().isEmpty());
    QVERIFY(m_peer->requests.isEmpty());

    // The search has ended: once the port is free the next press searches.
    blocker.reset();
    runSearch(m_peer->replies);
    QCOMPARE(model()->rowCount(), 1);
}

void tst_MainWindow::menuNeedsExactlyOneSelectedRow_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QList<int>>("selected");
    QTest::newRow("empty table") << 0 << QList<int>{};
    QTest::newRow("none selected") << 2 << QList<int>{};
    QTest::newRow("two selected") << 3 << QList<int>{0, 2};
    QTest::newRow("one selected") << 2 << QList<int>{1};
}

void tst_MainWindow::menuNeedsExactlyOneSelectedRow()
{
    QFETCH(int, rows);
    QFETCH(QList<int>, selected);

    QList<QByteArray> replies;
    for (int r = 0; r < rows; ++r)
        replies << reply(Boxes[r]);
    runSearch(replies);
    QItemSelectionModel *selection = widget<QTableView>("tableView")->selectionModel();
    selection->clear();
    for (int r : selected)
        selection->select(model()->index(r, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QStringList entries;
    const bool opened = withMenu([&](QMenu *menu) {
        for (QAction *a : menu->actions())
            entries << a->text();
    });
    QCOMPARE(opened, selected.size() == 1);
    if (opened) {
        QCOMPARE(entries, QStringList({"Login Page", "Shut Down", "Restart", "System FW Update",
                                       "Camera FW Update", "System FW Recovery"}));
        QCOMPARE(effects(), QStringList()); // closed without a choice
    } else {
        QCOMPARE(effects(), QStringList{QStringLiteral("about ") + Texts::SelectRow});
    }
}

void tst_MainWindow::menuEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("box");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QStringList>("effects");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("seen");

    QTest::newRow("Login Page") << "Login Page" << 1 << 0
                                << QStringList{"url http://127.0.0.3:8888"} << "" << QStringList();
    const int yes = QMessageBox::Yes;
    const int no = QMessageBox::No;
    const struct
    {
        const char *entry;
        const char *name;
        QString sent;
    } commands[] = {{"Shut Down", "System Shut Down", ShutDownSent},
                    {"Restart", "System Restart", RestartSent}};
    for (const auto &c : commands) {
        const QStringList asked{QStringLiteral("question Do you want to %1?")
                                        .arg(QString::fromLatin1(c.entry).toLower())};
        const QString entry = QString::fromLatin1(c.entry);
        QTest::addRow("%s, Yes", c.entry)
                << entry << 1 << yes << asked << QString::fromLatin1(c.name) << QStringList{c.sent};
        QTest::addRow("%s, No", c.entry)
                << entry << 1 << no << asked << entry + QStringLiteral(" Cancel") << QStringList();
        QTest::addRow("%s, not connected", c.entry)
                << entry << 2 << yes << asked
                << QString::fromLatin1(c.name) + QStringLiteral(" Failed: Connect Server Failed")
                << QStringList();
    }
    for (const char *window : {"System FW Update", "Camera FW Update", "System FW Recovery"}) {
        const QString title = QString::fromLatin1(window).replace(
                QLatin1String("System FW Recovery"), QLatin1String("Recovery Default System"));
        QTest::newRow(window) << window << 1 << 0 << QStringList{QStringLiteral("window ") + title}
                              << "" << QStringList();
    }
}

void tst_MainWindow::menuEntry()
{
    QFETCH(QString, entry);
    QFETCH(int, box);
    QFETCH(int, answer);
    QFETCH(QStringList, effects);
    QFETCH(QString, state);
    QFETCH(QStringList, seen);

    runSearch({reply(Boxes[0], "SN-A"), reply(Boxes[1], "SN-B"), reply(Boxes[2], "SN-C")});
    select(box);
    m_dialogs->answers = {QMessageBox::StandardButton(answer)};
    QString stateWhileAsked = QStringLiteral("not asked");
    m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        stateWhileAsked = this->state();
        if (answer == QMessageBox::Yes && box < 2) // the time the question is open is the
            QVERIFY(toolConnectedTo(Boxes[box]));  // time the connection gets
    };
    QVERIFY(choose(entry));
    QCOMPARE(this->effects(), effects);
    QCOMPARE(this->state(), state.isEmpty() ? Texts::SearchCompleted : state);
    if (m_dialogs->count(QStringLiteral("question")))
        QVERIFY(stateWhileAsked.isEmpty()); // cleared before the question
    QCOMPARE(this->seen(box % 2), seen);
    QCOMPARE(this->seen(1 - box % 2), QStringList());

    // A device window shows the chosen row and takes all input until it is closed.
    if (QWidget *window = QApplication::activeModalWidget()) {
        QStringList shown;
        for (const char *field : {"ip", "mac", "sn"}) {
            const QRegularExpression name(QStringLiteral("%1_value$").arg(field));
            shown << window->findChildren<QLabel *>(name).value(0)->text();
        }
        QCOMPARE(shown, rows().at(box).mid(0, 3));
    }
    QCOMPARE(QApplication::activeModalWidget() != nullptr, effects.first().startsWith("window"));
}

void tst_MainWindow::commandNeverReachesPreviousBox_data()
{
    QTest::addColumn<int>("firstAnswer");
    QTest::addColumn<bool>("firstConnects"); // the first question stays open until connected
    QTest::addColumn<QStringList>("seenByFirst");

    QTest::newRow("first cancelled while connected")
            << int(QMessageBox::No) << true << QStringList();
    QTest::newRow("first still connecting") << int(QMessageBox::Yes) << false << QStringList();
    QTest::newRow("first sent") << int(QMessageBox::Yes) << true << QStringList{RestartSent};
}

void tst_MainWindow::commandNeverReachesPreviousBox()
{
    QFETCH(int, firstAnswer);
    QFETCH(bool, firstConnects);
    QFETCH(QStringList, seenByFirst);

    runSearch({reply(Boxes[0]), reply(Boxes[1])});
    select(0);
    m_dialogs->answers = {QMessageBox::StandardButton(firstAnswer)};
    m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        if (firstConnects)
            QVERIFY(toolConnectedTo(Boxes[0]));
    };
    QVERIFY(choose(QStringLiteral("Restart")));

    select(1);
    m_dialogs->answers = {QMessageBox::Yes};
    m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        QVERIFY(toolConnectedTo(Boxes[1]));
    };
    QVERIFY(choose(QStringLiteral("Shut Down")));
    QCOMPARE(state(), QStringLiteral("System Shut Down"));
    QCOMPARE(seen(0), seenByFirst);
    QCOMPARE(seen(1), QStringList{ShutDownSent});
}

void tst_MainWindow::actionDuringSearch_data()
{
    QTest::addColumn<QString>("entry");
    for (const char *entry : {"Login Page", "Shut Down", "Restart", "System FW Update",
                              "Camera FW Update", "System FW Recovery"})
        QTest::newRow(entry) << QString::fromLatin1(entry);
}

void tst_MainWindow::actionDuringSearch()
{
    QFETCH(QString, entry);
    bool chosen = false;
    m_peer->afterReplies = [&] {
        // Inside the collection: the row is listed and chosen while the search still runs.
        QTRY_COMPARE_WITH_TIMEOUT(model()->rowCount(), 1, 5000);
        select(0);
        chosen = choose(entry);
        QCOMPARE(state(), Texts::Searching);
    };
    runSearch({reply(Boxes[0])});
    QVERIFY(chosen);
    QCOMPARE(effects(), QStringList{QStringLiteral("information ") + Texts::WaitForSearch});
    QCOMPARE(seen(0), QStringList());
}

void tst_MainWindow::windowDeletedWhileWaiting_data()
{
    QTest::addColumn<QString>("when");
    for (const char *when :
         {"menu open", "Shut Down question open", "search collecting", "bind failure box open"})
        QTest::newRow(when) << QString::fromLatin1(when);
}

void tst_MainWindow::windowDeletedWhileWaiting()
{
    // The window may be closed and deleted whenever a local loop runs under one of its handlers.
    QFETCH(QString, when);
    QPointer<MainWindow> window = m_window.get();
    const auto deleteWindow = [this] { m_window.reset(); };
    std::unique_ptr<QUdpSocket> blocker;
    if (when.startsWith(QLatin1String("bind"))) {
        blocker = std::make_unique<QUdpSocket>();
        QVERIFY(blocker->bind(QHostAddress::Any, m_bindPort, QAbstractSocket::DontShareAddress));
    }
    if (when.startsWith(QLatin1String("menu")) || when.startsWith(QLatin1String("Shut"))) {
        runSearch({reply(Boxes[0])});
        select(0);
    }
    m_dialogs->answers = {QMessageBox::Yes};
    m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        if (when.startsWith(QLatin1String("Shut")))
            toolConnectedTo(Boxes[0]);
        deleteWindow();
    };
    m_peer->afterReplies = [&] { QTimer::singleShot(0, deleteWindow); };
    if (when.startsWith(QLatin1String("menu")))
        QVERIFY(withMenu([&](QMenu *) { deleteWindow(); }));
    else if (when.startsWith(QLatin1String("Shut")))
        QVERIFY(choose(QStringLiteral("Shut Down")));
    else
        widget<QPushButton>("pushButton_Search_Device")->click();
    QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 5000);
    // A queued end of search for the dead window must not run into freed memory.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(seen(0), QStringList());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
