#include "discoverypeer.h"
#include "localwait.h"
#include "mainwindow.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "rawmqttpeer.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "searchwindow.h"
#include "texts.h"
#include "urlcatcher.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

// Two boxes with a broker each, on the same port as on a real site, and one where nothing
// listens; a search lists them in this order.
const QString Boxes[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
const QString ShutDownSent = QStringLiteral("TalixTools_in/poweroff Shut Down");
const QString RestartSent = QStringLiteral("TalixTools_in/restart Restart");
// menuEntry's boxes besides a row number: the first box chosen while the search still runs; the
// menu asked for with no row or two rows selected.
enum { DuringSearch = -1, NoneSelected = -2, TwoSelected = -3 };
const QStringList Entries{"Login Page",       "Shut Down",        "Restart",
                          "System FW Update", "Camera FW Update", "System FW Recovery"};

QByteArray reply(const QString &ip, const QByteArray &sn = "SN0001")
{
    return ReferenceFrame::reply(ip, QByteArray::fromHex("001A2B3C4D5E"), sn);
}

} // namespace

// The main window on loopback, reached through its widgets only: the device search against a
// scripted discovery peer, the device menu against two real brokers, the quit question.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QApplication::setQuitOnLastWindowClosed(false);
        LocalWait::setTimeScaleForTests(0.1); // 500 ms pause -> 50 ms, 2000 ms collection -> 200 ms
        QVERIFY(m_brokers[0].start());
        m_brokers[1].setPort(m_brokers[0].port());
        QVERIFY(m_brokers[1].start());
        for (int box = 0; box < 2; ++box) {
            QVERIFY(m_observers[box].connectTo(Boxes[box], m_brokers[0].port()));
            QVERIFY(m_observers[box].subscribe(QStringLiteral("#"))); // a stray topic shows too
        }
    }

    void init()
    {
        for (RawMqttPeer &observer : m_observers) {
            QVERIFY(observer.sync()); // what an earlier test sent is in, and not this test's
            observer.messages.clear();
        }
        m_dialogs = std::make_unique<ScriptedDialogs>();
        m_peer = std::make_unique<DiscoveryPeer>();
        m_urls = std::make_unique<UrlCatcher>();
        m_window = std::make_unique<MainWindow>();
        m_table = m_window->findChild<QTableView *>(QStringLiteral("tableView"));
        m_state = m_window->findChild<QLabel *>(QStringLiteral("label_Search_State"));
        m_button = m_window->findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
        Endpoints e = m_peer->endpoints(m_bindPort = freeUdpPort());
        e.brokerPort = m_brokers[0].port();
        e.streamPort = freeTcpPort();
        m_window->setEndpoints(e);
    }

    void cleanup()
    {
        while (QWidget *deviceWindow = QApplication::activeModalWidget())
            delete deviceWindow;
        m_window.reset();
        m_urls.reset();
        m_peer.reset();
        m_dialogs.reset();
    }

    void quit_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("Yes") << int(QMessageBox::Yes);
        QTest::newRow("No") << int(QMessageBox::No);
    }

    void quit()
    {
        QFETCH(int, answer);
        m_window->show();
        m_dialogs->answers << QMessageBox::StandardButton(answer);
        QCOMPARE(m_window->close(), answer == QMessageBox::Yes);
        QCOMPARE(effects(), QStringList{QStringLiteral("question ") + Texts::Quit});
        QCOMPARE(m_dialogs->calls.first().title, Texts::Tip);
    }

    void search()
    {
        // Which replies are listed, and once per address, is judged on the search fuzzer's seeds;
        // here 2000 boxes answer before the tool reads any: only its socket buffer holds them.
        QList<QByteArray> burst;
        QList<QStringList> expected;
        for (int i = 0; i < 2000; ++i) {
            burst << reply(QStringLiteral("10.1.%1.%2").arg(i / 250).arg(i % 250 + 1));
            expected << ReferenceFrame::row(
                    reinterpret_cast<const uchar *>(burst.last().constData()));
        }
        runSearch(burst);
        QCOMPARE(rows(), expected);
        QCOMPARE(m_peer->requests.first().bytes, ReferenceFrame::request());
        QCOMPARE(m_peer->requests.first().fromPort, m_bindPort); // replies come back to that port
        QCOMPARE(effects(), QStringList());

        // A new search empties the table first, ignores presses while it runs, collects for the
        // whole wait, and lists a box again that the first search saw.
        int rowsAtRequest = -1;
        m_peer->afterReplies = [&] {
            if (rowsAtRequest >= 0)
                return; // a second request is the fault this test looks for
            rowsAtRequest = rows().size();
            QTRY_COMPARE_WITH_TIMEOUT(rows().size(), 1, 5000);
            m_button->click();
        };
        m_peer->replies = {burst.first()};
        QElapsedTimer timer;
        timer.start();
        m_button->click();
        // The handler has returned before the collection: the window stays responsive.
        QCOMPARE(m_state->text(), Texts::Searching);
        m_button->click();
        QTRY_COMPARE_WITH_TIMEOUT(m_state->text(), Texts::SearchCompleted, 10000);
        QVERIFY(timer.elapsed() >= LocalWait::scaled(2000));
        QCOMPARE(rowsAtRequest, 0);
        QCOMPARE(m_peer->requests.size(), 2); // one a search
        QCOMPARE(rows(), expected.mid(0, 1));
    }

    void bindFailure()
    {
        // Another program holds the port exclusively.
        auto blocker = std::make_unique<QUdpSocket>();
        QVERIFY(blocker->bind(QHostAddress::Any, m_bindPort, QAbstractSocket::DontShareAddress));
        m_peer->replies = {reply(Boxes[0])};
        m_button->click();
        QCOMPARE(effects(), QStringList{QStringLiteral("information ") + Texts::SocketAbnormal});
        QVERIFY(m_state->text().isEmpty());
        QVERIFY(m_peer->requests.isEmpty());

        // The search has ended: once the port is free the next press searches.
        blocker.reset();
        runSearch(m_peer->replies);
        QCOMPARE(rows().size(), 1);
    }

    void menuEntry_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("box"); // the row chosen, or one of the codes below
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("effect");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("seen");

        const int yes = QMessageBox::Yes;
        QTest::newRow("Login Page") << "Login Page" << 1 << 0 << "url http://127.0.0.3:8888"
                                    << Texts::SearchCompleted << QStringList();
        for (const QString &entry : QStringList{"Shut Down", "Restart"}) {
            const QString asked = "question Do you want to " + entry.toLower() + '?';
            const QString done = entry == "Restart" ? "System Restart" : "System Shut Down";
            const QString sent = entry == "Restart" ? RestartSent : ShutDownSent;
            QTest::addRow("%s, Yes", qPrintable(entry))
                    << entry << 1 << yes << asked << done << QStringList{sent};
            QTest::addRow("%s, No", qPrintable(entry))
                    << entry << 1 << int(QMessageBox::No) << asked << entry + " Cancel"
                    << QStringList();
            QTest::addRow("%s, not connected", qPrintable(entry))
                    << entry << 2 << yes << asked << done + " Failed: Connect Server Failed"
                    << QStringList();
        }
        for (const QString &entry : Entries.mid(3)) {
            const QString title = entry.endsWith("Recovery") ? "Recovery Default System" : entry;
            QTest::newRow(qPrintable(entry)) << entry << 1 << 0 << "window " + title
                                             << Texts::SearchCompleted << QStringList();
        }
        for (const QString &entry : Entries) {
            QTest::addRow("%s during a search", qPrintable(entry))
                    << entry << int(DuringSearch) << yes << "information " + Texts::WaitForSearch
                    << Texts::SearchCompleted << QStringList();
        }
        // The menu opens only on exactly one selected row.
        for (int box : {NoneSelected, TwoSelected})
            QTest::addRow("menu with %d rows selected", box == NoneSelected ? 0 : 2)
                    << "Login Page" << box << 0 << "about " + Texts::SelectRow
                    << Texts::SearchCompleted << QStringList();
    }

    void menuEntry()
    {
        QFETCH(QString, entry);
        QFETCH(int, box);
        QFETCH(int, answer);
        QFETCH(QString, effect);
        QFETCH(QString, state);
        QFETCH(QStringList, seen);

        const bool duringSearch = box == DuringSearch, menuRefused = box < DuringSearch;
        const int code = box;
        box = qMax(box, 0);
        if (duringSearch) {
            m_peer->afterReplies = [&] {
                QTRY_COMPARE_WITH_TIMEOUT(rows().size(), 3, 5000);
                select(box);
                QVERIFY(choose(entry));
                QCOMPARE(m_state->text(), Texts::Searching);
            };
        }
        runSearch({reply(Boxes[0], "SN-A"), reply(Boxes[1], "SN-B"), reply(Boxes[2], "SN-C")});
        select(box);
        if (code == NoneSelected)
            m_table->clearSelection();
        else if (code == TwoSelected)
            m_table->selectionModel()->select(m_table->model()->index(2, 0),
                                              QItemSelectionModel::Select |
                                                      QItemSelectionModel::Rows);
        m_dialogs->answers = {QMessageBox::StandardButton(answer)};
        QString stateWhileAsked;
        m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
            stateWhileAsked = m_state->text();
            // The time the question is open is the time the connection gets.
            QVERIFY(answer != QMessageBox::Yes || box == 2 || toolConnectedTo(Boxes[box]));
        };
        QCOMPARE(duringSearch || choose(entry), !menuRefused);
        QCOMPARE(effects(), QStringList{effect});
        QCOMPARE(m_state->text(), state);
        QVERIFY(menuRefused || stateWhileAsked.isEmpty()); // cleared before the question
        QCOMPARE(this->seen(box % 2), seen);
        if (QWidget *deviceWindow = QApplication::activeModalWidget()) {
            QStringList shown; // the chosen box's IP, MAC and SN
            for (const char *field : {"ip", "mac", "sn"}) {
                const QRegularExpression name(QStringLiteral("%1_value$").arg(field));
                shown << deviceWindow->findChildren<QLabel *>(name).value(0)->text();
            }
            QCOMPARE(shown, rows().at(box).mid(0, 3));
        }
    }

    void commandNeverReachesPreviousBox_data()
    {
        QTest::addColumn<QList<int>>("answers"); // in the order the questions are answered
        QTest::addColumn<QString>("meanwhile");  // what happens while the first question is open
        QTest::addColumn<QStringList>("seenByFirst");
        QTest::addColumn<QString>("state");

        const int yes = QMessageBox::Yes, no = QMessageBox::No;
        const QString shutDown = QStringLiteral("System Shut Down");
        QTest::newRow("first cancelled while connected")
                << QList<int>{no, yes} << "connected" << QStringList() << shutDown;
        QTest::newRow("first still connecting")
                << QList<int>{yes, yes} << "" << QStringList() << shutDown;
        QTest::newRow("first sent")
                << QList<int>{yes, yes} << "connected" << QStringList{RestartSent} << shutDown;
        // The second box is chosen and its command cancelled while the first question is open: the
        // client is on the second box's broker then, where the late Yes must not go.
        QTest::newRow("second chosen while the first is asked")
                << QList<int>{no, yes} << "second chosen" << QStringList()
                << "System Restart Failed: Connect Server Failed";
    }

    void commandNeverReachesPreviousBox()
    {
        QFETCH(QList<int>, answers);
        QFETCH(QString, meanwhile);
        QFETCH(QStringList, seenByFirst);
        QFETCH(QString, state);

        runSearch({reply(Boxes[0]), reply(Boxes[1])});
        for (int answer : answers)
            m_dialogs->answers << QMessageBox::StandardButton(answer);
        const bool nested = meanwhile == QLatin1String("second chosen");
        int asked = 0;
        m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
            const int box = asked++;
            if (box == 0 && nested) {
                select(1);
                QVERIFY(choose(QStringLiteral("Shut Down")));
            }
            QVERIFY((box == 0 && meanwhile.isEmpty()) || toolConnectedTo(Boxes[nested ? 1 : box]));
        };
        select(0);
        QVERIFY(choose(QStringLiteral("Restart")));
        if (!nested) {
            select(1);
            QVERIFY(choose(QStringLiteral("Shut Down")));
        }
        QCOMPARE(asked, 2);
        QCOMPARE(m_state->text(), state);
        QCOMPARE(seen(0), seenByFirst);
        QCOMPARE(seen(1), nested ? QStringList() : QStringList{ShutDownSent});
    }

    void windowDeletedWhileWaiting_data()
    {
        QTest::addColumn<QString>("when");
        for (const char *when :
             {"menu open", "Shut Down asked", "collecting", "bind failure shown"})
            QTest::newRow(when) << QString::fromLatin1(when);
    }

    void windowDeletedWhileWaiting()
    {
        // The window may be closed and deleted whenever a local loop runs under one of its
        // handlers.
        QFETCH(QString, when);
        QPointer<MainWindow> window = m_window.get();
        QUdpSocket blocker;
        if (when.startsWith("bind"))
            QVERIFY(blocker.bind(QHostAddress::Any, m_bindPort, QAbstractSocket::DontShareAddress));
        if (when.startsWith("menu") || when.startsWith("Shut")) {
            runSearch({reply(Boxes[0])});
            select(0);
        }
        m_dialogs->answers = {QMessageBox::Yes};
        m_dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
            QVERIFY(!when.startsWith("Shut") || toolConnectedTo(Boxes[0]));
            m_window.reset();
        };
        m_peer->afterReplies = [&] { QTimer::singleShot(0, [&] { m_window.reset(); }); };
        if (when.startsWith("menu"))
            QVERIFY(withMenu([&](QMenu *) { m_window.reset(); }));
        else if (when.startsWith("Shut"))
            QVERIFY(choose(QStringLiteral("Shut Down")));
        else
            m_button->click();
        QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 5000);
        // A queued end of search for the dead window must not run into freed memory.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(seen(0), QStringList());
    }

private:
    void runSearch(const QList<QByteArray> &replies)
    {
        m_peer->replies = replies;
        QVERIFY2(SearchWindow::search(m_window.get()), qPrintable(m_state->text()));
    }

    QList<QStringList> rows() const { return SearchWindow::rows(m_window.get()); }
    void select(int row) { m_table->setCurrentIndex(m_table->model()->index(row, 0)); }
    // Opens the device menu as a right click does and hands it, once open, to `inside`; a menu
    // left open is closed. Returns whether a menu opened.
    bool withMenu(const std::function<void(QMenu *)> &inside)
    {
        bool opened = false;
        QTimer open; // runs in the menu's own loop, which starts once the menu shows
        open.setSingleShot(true);
        connect(&open, &QTimer::timeout, [&] {
            QPointer<QMenu> menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if ((opened = menu))
                inside(menu);
            if (menu)
                menu->close();
        });
        open.start(0);
        emit m_table->customContextMenuRequested(QPoint(5, 5));
        return opened;
    }

    // Chooses a menu entry as the operator does: the menu closes, then the entry runs.
    bool choose(const QString &entry)
    {
        return withMenu([&](QMenu *menu) {
            QAction *action = menu->actions().value(Entries.indexOf(entry));
            QVERIFY(action && action->text() == entry);
            menu->close();
            action->trigger();
        });
    }

    bool toolConnectedTo(const QString &host)
    {
        const MqttClient *client = m_window->findChild<MqttClient *>();
        return QTest::qWaitFor(
                [&] {
                    return client->state() == MqttClient::Connected && client->hostname() == host;
                },
                5000);
    }

    // "topic payload" of everything box `box` received in this test.
    QStringList seen(int box)
    {
        if (!m_observers[box].sync())
            return {"no sync"};
        QStringList out;
        for (const RawMqttPeer::Message &m : qAsConst(m_observers[box].messages))
            out << m.topic + QLatin1Char(' ') + QString::fromLatin1(m.payload);
        return out;
    }

    // Everything a device action can do besides publishing: dialogs, URLs, windows.
    QStringList effects() const
    {
        QStringList out;
        for (const ScriptedDialogs::Call &c : qAsConst(m_dialogs->calls))
            out << c.kind + QLatin1Char(' ') + c.text;
        for (const QUrl &url : qAsConst(m_urls->urls))
            out << QStringLiteral("url ") + url.toString();
        if (QWidget *deviceWindow = QApplication::activeModalWidget())
            out << QStringLiteral("window ") + deviceWindow->windowTitle();
        return out;
    }

    MosquittoBroker m_brokers[2] = {MosquittoBroker(Boxes[0]), MosquittoBroker(Boxes[1])};
    RawMqttPeer m_observers[2];
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::unique_ptr<DiscoveryPeer> m_peer;
    std::unique_ptr<UrlCatcher> m_urls;
    std::unique_ptr<MainWindow> m_window;
    QTableView *m_table = nullptr;
    QLabel *m_state = nullptr;
    QPushButton *m_button = nullptr;
    quint16 m_bindPort = 0;
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
