#include "localwait.h"
#include "mainwindow.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "recoveryform.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QHostAddress>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QNetworkDatagram>
#include <QPair>
#include <QPointer>
#include <QPushButton>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// Two boxes, each with its own broker on the same port, as on a real site.
const QString BoxA = QStringLiteral("127.0.0.2");
const QString BoxB = QStringLiteral("127.0.0.3");
// Nothing listens here.
const QString SilentBox = QStringLiteral("127.0.0.4");
const QString BoxIps[2] = {BoxA, BoxB};

// Published by the test itself; once an observer has it, everything sent before has arrived.
const QString BarrierTopic = QStringLiteral("menutest/barrier");

const QString Tip = QStringLiteral("Tip");
const QString SelectRow = QStringLiteral("Please select a row");
const QString WaitForSearch = QStringLiteral("Please wait for the device search to complete");

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

// One 105-byte discovery reply of a box at `ip`.
QByteArray discoveryReply(const QString &ip)
{
    return ReferenceFrame::reply(ip, QByteArray::fromHex("001A2B3C4D5E"), "SN0001", "Box", "CAM",
                                 "1.0", "2.0");
}

// "topic "payload"": Latin-1 maps every byte to one character, so equal texts mean equal bytes.
QString describe(const QString &topic, const QByteArray &payload)
{
    return topic + QStringLiteral(" \"") + QString::fromLatin1(payload) + QLatin1Char('"');
}

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

// Plays the boxes' side of the search on loopback: answers each request with the scripted
// replies and then runs `afterReplies`, which lands inside the tool's collection wait.
class DiscoveryBox
{
public:
    DiscoveryBox()
    {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] {
            while (socket.hasPendingDatagrams()) {
                socket.receiveDatagram();
                for (const QByteArray &r : qAsConst(replies))
                    socket.writeDatagram(r, QHostAddress::LocalHost, replyPort);
                if (afterReplies)
                    afterReplies();
            }
        });
    }

    quint16 port() const { return socket.localPort(); }

    QList<QByteArray> replies;
    quint16 replyPort = 0;
    std::function<void()> afterReplies;

private:
    QUdpSocket socket;
};

class MenuTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void menuNeedsExactlyOneSelectedRow_data();
    void menuNeedsExactlyOneSelectedRow();
    void menuListsSixEntriesAndLeavesNothingBehind();
    void menuEntryRunsItsAction_data();
    void menuEntryRunsItsAction();
    void everyActionWaitsForTheSearch_data();
    void everyActionWaitsForTheSearch();
    void noActionWithoutACurrentRow_data();
    void noActionWithoutACurrentRow();
    void loginPageAddress_data();
    void loginPageAddress();
    void commandReachesSelectedBoxOnly_data();
    void commandReachesSelectedBoxOnly();
    void cancelPublishesNothing_data();
    void cancelPublishesNothing();
    void yesBeforeConnectionUpThenRetry_data();
    void yesBeforeConnectionUpThenRetry();
    void unreachableBox();
    void switchingBoxesNeverReachesEarlierOne_data();
    void switchingBoxesNeverReachesEarlierOne();
    void otherBoxChosenWhileAsked();
    void windowDeletedWhileOpen_data();
    void windowDeletedWhileOpen();
    void deviceWindowOpensForRow_data();
    void deviceWindowOpensForRow();
    void deviceWindowBlocksMainWindow();

private:
    MainWindow *newWindow();
    void addRow(MainWindow *w, const QString &ip, const QString &mac = "00:1A:2B:3C:4D:5E",
                const QString &sn = "SN0001");
    void selectRow(MainWindow *w, int row);
    bool withMenu(MainWindow *w, const std::function<void(QMenu *)> &inside);
    void chooseEntry(QMenu *menu, int index);
    bool waitConnected(MainWindow *w, const QString &host);
    bool settle(int box);
    QStringList seen(int box) const;
    QList<QWidget *> deviceWindows() const;
    QStringList effects(MainWindow *w) const;
    bool waitSearchCompleted(MainWindow *w);

    std::unique_ptr<MosquittoBroker> brokers[2];
    std::unique_ptr<MqttClient> observers[2];
    std::unique_ptr<MqttClient> probers[2];
    QList<QPair<QString, QByteArray>> messages[2];
    int barriers = 0;
    quint16 brokerPort = 0;

    std::unique_ptr<ScriptedDialogs> dialogs;
    std::unique_ptr<DiscoveryBox> discovery;
    std::unique_ptr<UrlCatcher> urls;
    std::unique_ptr<MainWindow> window;
};

void MenuTest::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
    LocalWait::setTimeScaleForTests(0.1);
    QVERIFY2(!MosquittoBroker::executable().isEmpty(), "mosquitto is not installed");

    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        brokers[0] = std::make_unique<MosquittoBroker>(BoxA);
        brokers[1] = std::make_unique<MosquittoBroker>(BoxB);
        if (!brokers[0]->start())
            continue;
        brokers[1]->setPort(brokers[0]->port());
        started = brokers[1]->start();
    }
    QVERIFY2(started, "could not start two brokers on one port");
    brokerPort = brokers[0]->port();

    for (int box = 0; box < 2; ++box) {
        for (auto *client : {&observers[box], &probers[box]}) {
            *client = std::make_unique<MqttClient>();
            (*client)->setHostname(BoxIps[box]);
            (*client)->setPort(brokerPort);
            (*client)->connectToHost();
            QTRY_COMPARE_WITH_TIMEOUT((*client)->state(), MqttClient::Connected, 5000);
        }
        connect(observers[box].get(), &MqttClient::messageReceived, this,
                [this, box](const QByteArray &message, const MqttTopicName &topic) {
                    messages[box].append({topic.name(), message});
                });
        // Everything the broker carries, so that a stray topic shows as well.
        QVERIFY(observers[box]->subscribe(QStringLiteral("#")));
        QVERIFY(settle(box));
    }
}

void MenuTest::cleanupTestCase()
{
    for (int box = 0; box < 2; ++box) {
        observers[box].reset();
        probers[box].reset();
        brokers[box].reset();
    }
}

void MenuTest::init()
{
    // Whatever an earlier test's window sent is in by now and is not this test's.
    QVERIFY(settle(0));
    QVERIFY(settle(1));
    messages[0].clear();
    messages[1].clear();

    dialogs = std::make_unique<ScriptedDialogs>();
    discovery = std::make_unique<DiscoveryBox>();
    urls = std::make_unique<UrlCatcher>();
    QDesktopServices::setUrlHandler(QStringLiteral("http"), urls.get(), "open");
    window.reset(newWindow());
}

void MenuTest::cleanup()
{
    for (QWidget *w : deviceWindows())
        delete w;
    window.reset();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    urls.reset();
    discovery.reset();
    dialogs.reset();
}

MainWindow *MenuTest::newWindow()
{
    auto *w = new MainWindow;
    Endpoints e;
    e.discoveryBindPort = freeUdpPort();
    e.discoveryAddress = QStringLiteral("127.0.0.1");
    e.discoveryTargetPort = discovery->port();
    e.brokerPort = brokerPort;
    e.streamPort = freeTcpPort();
    discovery->replyPort = e.discoveryBindPort;
    w->setEndpoints(e);
    return w;
}

void MenuTest::addRow(MainWindow *w, const QString &ip, const QString &mac, const QString &sn)
{
    QList<QStandardItem *> row;
    for (const QString &text : {ip, mac, sn, QStringLiteral("Box"), QStringLiteral("CAM"),
                                QStringLiteral("1.0"), QStringLiteral("2.0")})
        row.append(new QStandardItem(text));
    w->model->appendRow(row);
}

void MenuTest::selectRow(MainWindow *w, int row)
{
    w->ui->tableView->setCurrentIndex(w->model->index(row, 0));
}

// Requests the menu as a right click does and hands it, once open, to `inside`; a menu that
// `inside` leaves open is closed. Returns whether a menu opened.
bool MenuTest::withMenu(MainWindow *w, const std::function<void(QMenu *)> &inside)
{
    bool opened = false;
    int polls = 0;
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, [&] {
        QPointer<QMenu> menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu) {
            if (++polls > 300)
                poll.stop();
            return;
        }
        poll.stop();
        opened = true;
        inside(menu);
        if (menu && menu->isVisible())
            menu->close();
    });
    poll.start();
    emit w->ui->tableView->customContextMenuRequested(QPoint(5, 5));
    poll.stop();
    return opened;
}

// Chooses an entry with the keyboard, as an operator may: the menu closes, then the entry
// runs. One key press only; the menu may be gone afterwards.
void MenuTest::chooseEntry(QMenu *menu, int index)
{
    menu->setActiveAction(menu->actions().at(index));
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(menu, &press);
}

bool MenuTest::waitConnected(MainWindow *w, const QString &host)
{
    return QTest::qWaitFor(
            [&] {
                return w->mqttClient->state() == MqttClient::Connected &&
                       w->mqttClient->hostname() == host;
            },
            5000);
}

bool MenuTest::settle(int box)
{
    const QByteArray token = QByteArray::number(++barriers);
    if (probers[box]->publish(BarrierTopic, token) != 0)
        return false;
    const QPair<QString, QByteArray> mark(BarrierTopic, token);
    if (!QTest::qWaitFor([&] { return messages[box].contains(mark); }, 5000))
        return false;
    messages[box].removeAll(mark);
    return true;
}

QStringList MenuTest::seen(int box) const
{
    QStringList out;
    for (const auto &m : messages[box])
        out << describe(m.first, m.second);
    return out;
}

QList<QWidget *> MenuTest::deviceWindows() const
{
    QList<QWidget *> out;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->inherits("Form") || w->inherits("RecoveryForm"))
            out << w;
    }
    return out;
}

// Everything a device action can do that shows outside the main window's status label.
QStringList MenuTest::effects(MainWindow *w) const
{
    QStringList out;
    for (const ScriptedDialogs::Call &c : dialogs->calls)
        out << c.kind + QLatin1Char(' ') + c.title + QLatin1Char(' ') + c.text;
    for (const QUrl &url : urls->urls)
        out << QStringLiteral("url ") + url.toString();
    for (QWidget *d : deviceWindows())
        out << QStringLiteral("window ") + d->windowTitle();
    if (w && w->mqttClient->state() != MqttClient::Disconnected)
        out << QStringLiteral("connect ") + w->mqttClient->hostname();
    return out;
}

bool MenuTest::waitSearchCompleted(MainWindow *w)
{
    return QTest::qWaitFor([&] { return !w->searchBusy; }, 10000) &&
           w->ui->label_Search_State->text() == QStringLiteral("Search Completed");
}

void MenuTest::menuNeedsExactlyOneSelectedRow_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<bool>("menuOpens");

    QTest::newRow("empty table") << 0 << QList<int>{} << false;
    QTest::newRow("rows, none selected") << 2 << QList<int>{} << false;
    QTest::newRow("two rows selected") << 3 << QList<int>{0, 2} << false;
    QTest::newRow("one row selected") << 2 << QList<int>{1} << true;
}

void MenuTest::menuNeedsExactlyOneSelectedRow()
{
    QFETCH(int, rows);
    QFETCH(QList<int>, selected);
    QFETCH(bool, menuOpens);

    MainWindow *w = window.get();
    for (int r = 0; r < rows; ++r)
        addRow(w, QStringLiteral("192.168.1.%1").arg(20 + r));
    QItemSelectionModel *selection = w->ui->tableView->selectionModel();
    for (int r : selected)
        selection->select(QItemSelection(w->model->index(r, 0), w->model->index(r, 6)),
                          QItemSelectionModel::Select);
    QCOMPARE(selection->selectedRows(0).size(), selected.size());

    QCOMPARE(withMenu(w, [](QMenu *) {}), menuOpens);
    if (menuOpens) {
        QVERIFY(dialogs->calls.isEmpty());
    } else {
        QCOMPARE(dialogs->calls.size(), 1);
        QCOMPARE(dialogs->calls[0].kind, QStringLiteral("about"));
        QCOMPARE(dialogs->calls[0].title, Tip);
        QCOMPARE(dialogs->calls[0].text, SelectRow);
    }
}

void MenuTest::menuListsSixEntriesAndLeavesNothingBehind()
{
    MainWindow *w = window.get();
    addRow(w, QStringLiteral("192.168.1.20"));
    selectRow(w, 0);
    const int actionsBefore = w->findChildren<QAction *>().size();

    QStringList texts;
    QVERIFY(withMenu(w, [&](QMenu *menu) {
        for (QAction *a : menu->actions())
            texts << a->text();
    }));
    QCOMPARE(texts, QStringList({"Login Page", "Shut Down", "Restart", "System FW Update",
                                 "Camera FW Update", "System FW Recovery"}));
    // Closed without a choice: no action ran, and the menu and its entries are gone.
    QCOMPARE(effects(w), QStringList());
    QCOMPARE(w->findChildren<QMenu *>().size(), 0);
    QCOMPARE(w->findChildren<QAction *>().size(), actionsBefore);
}

void MenuTest::menuEntryRunsItsAction_data()
{
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("effect");
    QTest::addColumn<QString>("status");

    const QString host = QStringLiteral("connect ") + BoxA;
    QTest::newRow("Login Page") << 0 << QStringLiteral("url http://127.0.0.2:8888") << QString();
    QTest::newRow("Shut Down") << 1 << QStringLiteral("question Tip Do you want to shut down?")
                               << QStringLiteral("Shut Down Cancel");
    QTest::newRow("Restart") << 2 << QStringLiteral("question Tip Do you want to restart?")
                             << QStringLiteral("Restart Cancel");
    QTest::newRow("System FW Update")
            << 3 << QStringLiteral("window System FW Update") << QString();
    QTest::newRow("Camera FW Update")
            << 4 << QStringLiteral("window Camera FW Update") << QString();
    QTest::newRow("System FW Recovery")
            << 5 << QStringLiteral("window Recovery Default System") << QString();
}

void MenuTest::menuEntryRunsItsAction()
{
    QFETCH(int, entry);
    QFETCH(QString, effect);
    QFETCH(QString, status);

    MainWindow *w = window.get();
    addRow(w, BoxA);
    selectRow(w, 0);
    QVERIFY(withMenu(w, [&](QMenu *menu) { chooseEntry(menu, entry); }));

    QStringList seenEffects = effects(w);
    seenEffects.removeAll(QStringLiteral("connect ") + BoxA); // a question starts connecting
    QCOMPARE(seenEffects, QStringList{effect});
    QCOMPARE(w->ui->label_Search_State->text(), status);
    QCOMPARE(w->findChildren<QMenu *>().size(), 0);
}

void MenuTest::everyActionWaitsForTheSearch_data()
{
    QTest::addColumn<QByteArray>("slot");
    for (const char *slot : {"LoginPage", "ShutDown", "Restart", "CameraFWAction", "BoardFWAction",
                             "RecoveryDefSystemAction"})
        QTest::newRow(slot) << QByteArray(slot);
}

void MenuTest::everyActionWaitsForTheSearch()
{
    QFETCH(QByteArray, slot);

    MainWindow *w = window.get();
    discovery->replies = {discoveryReply(QStringLiteral("192.168.1.20"))};
    bool ran = false;
    QStringList during;
    QString statusDuring;
    discovery->afterReplies = [&] {
        // Inside the collection: the row is listed and chosen while the search still runs.
        if (!QTest::qWaitFor([&] { return w->model->rowCount() == 1; }, 5000))
            return;
        selectRow(w, 0);
        QVERIFY(w->searchBusy);
        ran = QMetaObject::invokeMethod(w, slot.constData());
        during = effects(w);
        statusDuring = w->ui->label_Search_State->text();
    };
    w->ui->pushButton_Search_Device->click();
    QVERIFY(waitSearchCompleted(w));

    QVERIFY(ran);
    QCOMPARE(during, QStringList{QStringLiteral("information Tip ") + WaitForSearch});
    QCOMPARE(statusDuring, QStringLiteral("Searching Device..."));
    QCOMPARE(effects(w), during);
}

void MenuTest::noActionWithoutACurrentRow_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<bool>("newSearch");
    for (const char *slot : {"LoginPage", "ShutDown", "Restart", "CameraFWAction", "BoardFWAction",
                             "RecoveryDefSystemAction"}) {
        QTest::addRow("%s, table emptied by a new search", slot) << QByteArray(slot) << true;
        QTest::addRow("%s, no row ever chosen", slot) << QByteArray(slot) << false;
    }
}

void MenuTest::noActionWithoutACurrentRow()
{
    QFETCH(QByteArray, slot);
    QFETCH(bool, newSearch);

    MainWindow *w = window.get();
    QString status;
    if (newSearch) {
        addRow(w, BoxA);
        selectRow(w, 0);
        // No box answers this time.
        w->ui->pushButton_Search_Device->click();
        QVERIFY(waitSearchCompleted(w));
        QCOMPARE(w->model->rowCount(), 0);
        status = QStringLiteral("Search Completed");
    } else {
        addRow(w, BoxA);
        addRow(w, BoxB);
    }

    QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));
    QCOMPARE(effects(w), QStringList{QStringLiteral("information Tip ") + SelectRow});
    QCOMPARE(w->ui->label_Search_State->text(), status);
    QVERIFY(settle(0));
    QVERIFY(settle(1));
    QCOMPARE(seen(0), QStringList());
    QCOMPARE(seen(1), QStringList());
}

void MenuTest::loginPageAddress_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("expected");
    QTest::newRow("192.168.1.20") << "192.168.1.20"
                                  << "http://192.168.1.20:8888";
    QTest::newRow("10.0.0.5") << "10.0.0.5"
                              << "http://10.0.0.5:8888";
    QTest::newRow("255.255.255.255") << "255.255.255.255"
                                     << "http://255.255.255.255:8888";
}

void MenuTest::loginPageAddress()
{
    QFETCH(QString, ip);
    QFETCH(QString, expected);

    MainWindow *w = window.get();
    addRow(w, QStringLiteral("172.16.0.1"));
    addRow(w, ip);
    selectRow(w, 1);
    QVERIFY(QMetaObject::invokeMethod(w, "LoginPage"));

    QCOMPARE(urls->urls.size(), 1);
    const QUrl url = urls->urls.first();
    QCOMPARE(url.toString(), expected);
    QCOMPARE(url.toEncoded(), expected.toLatin1());
    QVERIFY(url.path().isEmpty());
    QCOMPARE(effects(w), QStringList{QStringLiteral("url ") + expected});
    QVERIFY(w->ui->label_Search_State->text().isEmpty());
}

void MenuTest::commandReachesSelectedBoxOnly_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("status");

    for (int box = 0; box < 2; ++box) {
        QTest::addRow("Shut Down, box %d", box)
                << QByteArray("ShutDown") << box << "Do you want to shut down?"
                << "TalixTools_in/poweroff" << QByteArray("Shut Down") << "System Shut Down";
        QTest::addRow("Restart, box %d", box)
                << QByteArray("Restart") << box << "Do you want to restart?"
                << "TalixTools_in/restart" << QByteArray("Restart") << "System Restart";
    }
}

void MenuTest::commandReachesSelectedBoxOnly()
{
    QFETCH(QByteArray, slot);
    QFETCH(int, box);
    QFETCH(QString, question);
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QString, status);

    MainWindow *w = window.get();
    addRow(w, BoxA);
    addRow(w, BoxB);
    selectRow(w, box);
    dialogs->answers = {QMessageBox::Yes};
    bool connectedWhileAsked = false;
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        connectedWhileAsked = waitConnected(w, BoxIps[box]);
    };
    QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));

    QCOMPARE(dialogs->calls.size(), 1);
    QCOMPARE(dialogs->calls[0].kind, QStringLiteral("question"));
    QCOMPARE(dialogs->calls[0].title, Tip);
    QCOMPARE(dialogs->calls[0].text, question);
    QVERIFY(connectedWhileAsked);
    QCOMPARE(w->ui->label_Search_State->text(), status);

    QVERIFY(settle(0));
    QVERIFY(settle(1));
    QCOMPARE(seen(box), QStringList{describe(topic, payload)});
    QCOMPARE(messages[box].first().second, payload);
    QCOMPARE(seen(1 - box), QStringList());
}

void MenuTest::cancelPublishesNothing_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("status");

    QTest::newRow("Shut Down, No")
            << QByteArray("ShutDown") << int(QMessageBox::No) << "Shut Down Cancel";
    QTest::newRow("Shut Down, box closed")
            << QByteArray("ShutDown") << int(QMessageBox::NoButton) << "Shut Down Cancel";
    QTest::newRow("Restart, No") << QByteArray("Restart") << int(QMessageBox::No)
                                 << "Restart Cancel";
    QTest::newRow("Restart, box closed")
            << QByteArray("Restart") << int(QMessageBox::NoButton) << "Restart Cancel";
}

void MenuTest::cancelPublishesNothing()
{
    QFETCH(QByteArray, slot);
    QFETCH(int, answer);
    QFETCH(QString, status);

    MainWindow *w = window.get();
    addRow(w, BoxA);
    selectRow(w, 0);
    w->ui->label_Search_State->setText(QStringLiteral("Search Completed"));
    dialogs->answers = {QMessageBox::StandardButton(answer)};
    QString statusWhileAsked;
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        statusWhileAsked = w->ui->label_Search_State->text();
        waitConnected(w, BoxA);
    };
    QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));

    QVERIFY(statusWhileAsked.isEmpty()); // cleared before the question
    QCOMPARE(w->ui->label_Search_State->text(), status);
    // The connection that was started stays; nothing goes over it.
    QCOMPARE(w->mqttClient->state(), MqttClient::Connected);
    QVERIFY(settle(0));
    QVERIFY(settle(1));
    QCOMPARE(seen(0), QStringList());
    QCOMPARE(seen(1), QStringList());
}

void MenuTest::yesBeforeConnectionUpThenRetry_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("failed");
    QTest::addColumn<QString>("published");
    QTest::addColumn<QString>("message");

    QTest::newRow("Shut Down") << QByteArray("ShutDown")
                               << "System Shut Down Failed: Connect Server Failed"
                               << "System Shut Down"
                               << describe("TalixTools_in/poweroff", "Shut Down");
    QTest::newRow("Restart") << QByteArray("Restart")
                             << "System Restart Failed: Connect Server Failed"
                             << "System Restart" << describe("TalixTools_in/restart", "Restart");
}

void MenuTest::yesBeforeConnectionUpThenRetry()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, failed);
    QFETCH(QString, published);
    QFETCH(QString, message);

    MainWindow *w = window.get();
    addRow(w, BoxA);
    selectRow(w, 0);

    // Yes at once: the broker has not accepted the connection yet.
    dialogs->answers = {QMessageBox::Yes};
    QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));
    QCOMPARE(w->ui->label_Search_State->text(), failed);
    QVERIFY(settle(0));
    QCOMPARE(seen(0), QStringList());

    // The connection goes on by itself; the next try finds it up and publishes.
    QVERIFY(waitConnected(w, BoxA));
    dialogs->answers = {QMessageBox::Yes};
    QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));
    QCOMPARE(w->ui->label_Search_State->text(), published);
    QVERIFY(settle(0));
    QVERIFY(settle(1));
    QCOMPARE(seen(0), QStringList{message});
    QCOMPARE(seen(1), QStringList());
    QCOMPARE(dialogs->count(QStringLiteral("question")), 2);
}

void MenuTest::unreachableBox()
{
    MainWindow *w = window.get();
    addRow(w, SilentBox);
    selectRow(w, 0);
    dialogs->answers = {QMessageBox::Yes};
    bool refused = false;
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        refused = QTest::qWaitFor(
                [&] { return w->mqttClient->state() == MqttClient::Disconnected; }, 5000);
    };
    QVERIFY(QMetaObject::invokeMethod(w, "ShutDown"));
    QVERIFY(refused);
    QCOMPARE(w->ui->label_Search_State->text(),
             QStringLiteral("System Shut Down Failed: Connect Server Failed"));
}

void MenuTest::switchingBoxesNeverReachesEarlierOne_data()
{
    QTest::addColumn<QByteArray>("firstSlot");
    QTest::addColumn<int>("firstAnswer");
    QTest::addColumn<bool>("firstWaits"); // the question stays open until the connection is up
    QTest::addColumn<QByteArray>("secondSlot");
    QTest::addColumn<QStringList>("seenByA");
    QTest::addColumn<QStringList>("seenByB");

    const QString shutDown = describe("TalixTools_in/poweroff", "Shut Down");
    const QString restart = describe("TalixTools_in/restart", "Restart");
    QTest::newRow("A cancelled while connected, then Shut Down for B")
            << QByteArray("ShutDown") << int(QMessageBox::No) << true << QByteArray("ShutDown")
            << QStringList() << QStringList{shutDown};
    QTest::newRow("A still connecting, then Restart for B")
            << QByteArray("Restart") << int(QMessageBox::Yes) << false << QByteArray("Restart")
            << QStringList() << QStringList{restart};
    QTest::newRow("A restarted, then Shut Down for B")
            << QByteArray("Restart") << int(QMessageBox::Yes) << true << QByteArray("ShutDown")
            << QStringList{restart} << QStringList{shutDown};
}

void MenuTest::switchingBoxesNeverReachesEarlierOne()
{
    QFETCH(QByteArray, firstSlot);
    QFETCH(int, firstAnswer);
    QFETCH(bool, firstWaits);
    QFETCH(QByteArray, secondSlot);
    QFETCH(QStringList, seenByA);
    QFETCH(QStringList, seenByB);

    MainWindow *w = window.get();
    addRow(w, BoxA);
    addRow(w, BoxB);

    selectRow(w, 0);
    dialogs->answers = {QMessageBox::StandardButton(firstAnswer)};
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        if (firstWaits)
            QVERIFY(waitConnected(w, BoxA));
    };
    QVERIFY(QMetaObject::invokeMethod(w, firstSlot.constData()));
    if (firstWaits)
        QCOMPARE(w->mqttClient->state(), MqttClient::Connected);
    else
        QCOMPARE(w->mqttClient->state(), MqttClient::Connecting);

    selectRow(w, 1);
    dialogs->answers = {QMessageBox::Yes};
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) { QVERIFY(waitConnected(w, BoxB)); };
    QVERIFY(QMetaObject::invokeMethod(w, secondSlot.constData()));
    QVERIFY(w->ui->label_Search_State->text().startsWith(QStringLiteral("System ")));
    QVERIFY(!w->ui->label_Search_State->text().contains(QStringLiteral("Failed")));

    QVERIFY(settle(0));
    QVERIFY(settle(1));
    QCOMPARE(seen(0), seenByA);
    QCOMPARE(seen(1), seenByB);
}

void MenuTest::otherBoxChosenWhileAsked()
{
    MainWindow *w = window.get();
    addRow(w, BoxA);
    addRow(w, BoxB);
    selectRow(w, 0);
    // The question for A is still open when a command for B is given and cancelled; the client
    // is on B's broker now, and A's late Yes must not go there.
    dialogs->answers = {QMessageBox::No, QMessageBox::Yes};
    int depth = 0;
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
        if (++depth == 1) {
            selectRow(w, 1);
            QMetaObject::invokeMethod(w, "Restart");
        } else {
            waitConnected(w, BoxB);
        }
    };
    QVERIFY(QMetaObject::invokeMethod(w, "ShutDown"));

    QCOMPARE(dialogs->count(QStringLiteral("question")), 2);
    QCOMPARE(w->mqttClient->hostname(), BoxB);
    QCOMPARE(w->mqttClient->state(), MqttClient::Connected);
    QCOMPARE(w->ui->label_Search_State->text(),
             QStringLiteral("System Shut Down Failed: Connect Server Failed"));
    QVERIFY(settle(0));
    QVERIFY(settle(1));
    QCOMPARE(seen(0), QStringList());
    QCOMPARE(seen(1), QStringList());
}

void MenuTest::windowDeletedWhileOpen_data()
{
    QTest::addColumn<QByteArray>("slot"); // empty: the menu
    QTest::newRow("Shut Down question") << QByteArray("ShutDown");
    QTest::newRow("Restart question") << QByteArray("Restart");
    QTest::newRow("menu") << QByteArray();
}

void MenuTest::windowDeletedWhileOpen()
{
    QFETCH(QByteArray, slot);

    MainWindow *w = window.release();
    QPointer<MainWindow> guard(w);
    addRow(w, BoxA);
    selectRow(w, 0);
    if (slot.isEmpty()) {
        QVERIFY(withMenu(w, [&](QMenu *) { delete w; }));
        QVERIFY(dialogs->calls.isEmpty());
    } else {
        dialogs->answers = {QMessageBox::Yes};
        dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
            waitConnected(w, BoxA);
            delete w;
        };
        QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));
        QCOMPARE(dialogs->calls.size(), 1);
    }
    QVERIFY(guard.isNull());
    QVERIFY(settle(0));
    QCOMPARE(seen(0), QStringList());
}

void MenuTest::deviceWindowOpensForRow_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("labels"); // IP, MAC, SN

    const QStringList formLabels{"label_ip_value", "label_mac_value", "label_sn_value"};
    QTest::newRow("Camera FW Update") << QByteArray("CameraFWAction") << "Form"
                                      << "Camera FW Update" << formLabels;
    QTest::newRow("System FW Update") << QByteArray("BoardFWAction") << "Form"
                                      << "System FW Update" << formLabels;
    QTest::newRow("System FW Recovery")
            << QByteArray("RecoveryDefSystemAction") << "RecoveryForm"
            << "Recovery Default System"
            << QStringList{"label_recovery_ip_value", "label_recovery_mac_value",
                           "label_recovery_sn_value"};
}

void MenuTest::deviceWindowOpensForRow()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, className);
    QFETCH(QString, title);
    QFETCH(QStringList, labels);

    MainWindow *w = window.get();
    addRow(w, QStringLiteral("10.0.0.5"), QStringLiteral("00:0A:1B:FF:30:C4"),
           QStringLiteral("FIRST"));
    addRow(w, QStringLiteral("192.168.1.20"), QStringLiteral("FF:FF:FF:FF:FF:FF"),
           QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
    selectRow(w, 1);
    QVERIFY(QMetaObject::invokeMethod(w, slot.constData()));

    const QList<QWidget *> opened = deviceWindows();
    QCOMPARE(opened.size(), 1);
    QPointer<QWidget> d = opened.first();
    QCOMPARE(QString::fromLatin1(d->metaObject()->className()), className);
    QCOMPARE(d->windowTitle(), title);
    QVERIFY(d->isVisible());
    QVERIFY(!d->parentWidget());
    QVERIFY(d->testAttribute(Qt::WA_ShowModal));
    QCOMPARE(d->windowModality(), Qt::ApplicationModal);
    QCOMPARE(QApplication::activeModalWidget(), d.data());
    QVERIFY(d->testAttribute(Qt::WA_DeleteOnClose));
    const QStringList expected{"192.168.1.20", "FF:FF:FF:FF:FF:FF", "ABCDEFGHIJKLMNOPQRST"};
    for (int i = 0; i < 3; ++i) {
        auto *label = d->findChild<QLabel *>(labels[i]);
        QVERIFY2(label, qPrintable(labels[i]));
        QCOMPARE(label->text(), expected[i]);
    }
    if (auto *recovery = qobject_cast<RecoveryForm *>(d))
        QCOMPARE(recovery->endpoints().brokerPort, brokerPort);
    QVERIFY(dialogs->calls.isEmpty());

    // Closing deletes it; the main window stays.
    QVERIFY(d->close());
    QTRY_VERIFY_WITH_TIMEOUT(d.isNull(), 5000);
    QVERIFY(!QApplication::activeModalWidget());
}

void MenuTest::deviceWindowBlocksMainWindow()
{
    MainWindow *w = window.get();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    addRow(w, QStringLiteral("192.168.1.20"));
    selectRow(w, 0);
    QPushButton *search = w->ui->pushButton_Search_Device;
    const QPoint onButton = search->mapTo(w, search->rect().center());
    QSignalSpy clicked(search, &QPushButton::clicked);

    QVERIFY(QMetaObject::invokeMethod(w, "CameraFWAction"));
    QPointer<QWidget> d = deviceWindows().value(0);
    QVERIFY(d);
    QVERIFY(QTest::qWaitForWindowExposed(d));

    // A click through the window system does not reach the main window while it is open.
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, Qt::NoModifier, onButton);
    QCoreApplication::processEvents();
    QCOMPARE(clicked.count(), 0);
    QVERIFY(w->ui->label_Search_State->text().isEmpty());
    QCOMPARE(w->model->rowCount(), 1);

    // Once it is closed, the same click starts a search.
    d->close();
    QTRY_VERIFY_WITH_TIMEOUT(d.isNull(), 5000);
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, Qt::NoModifier, onButton);
    QTRY_COMPARE_WITH_TIMEOUT(clicked.count(), 1, 5000);
    QVERIFY(waitSearchCompleted(w));
}

QTEST_MAIN(MenuTest)
#include "tst_menu.moc"
