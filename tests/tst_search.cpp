#include "localwait.h"
#include "mainwindow.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "ui_mainwindow.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QPointer>
#include <QStandardItemModel>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// One 105-byte discovery reply as a box builds it.
QByteArray reply(const QString &ip, const QByteArray &mac = QByteArray::fromHex("001A2B3C4D5E"),
                 const QByteArray &sn = "SN0001", const QByteArray &name = "Box",
                 const QByteArray &cameraType = "CAM", const QByteArray &os = "1.0",
                 const QByteArray &cameraFw = "2.0")
{
    return ReferenceFrame::reply(ip, mac, sn, name, cameraType, os, cameraFw);
}

// Same record, but the header changed and the CRC made right again, so only the header is wrong.
QByteArray withHeader(QByteArray frame, int index, char value)
{
    frame[index] = value;
    ReferenceFrame::seal(&frame);
    return frame;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

const QString Searching = QStringLiteral("Searching Device...");
const QString Completed = QStringLiteral("Search Completed");

} // namespace

// Plays the boxes of a site on loopback: records every request and answers each with the
// scripted datagrams, sent to the tool's search port.
class ScriptedBox
{
public:
    struct Request
    {
        QByteArray bytes;
        QHostAddress from;
        quint16 fromPort = 0;
    };

    ScriptedBox()
    {
        socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] { readRequests(); });
    }

    quint16 port() const { return socket.localPort(); }

    QList<Request> requests;
    QList<QByteArray> replies;
    quint16 replyPort = 0;
    // Runs inside the tool's collection wait, once the replies to a request are out.
    std::function<void()> afterReplies;

private:
    void readRequests()
    {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram d = socket.receiveDatagram();
            requests.append({d.data(), d.senderAddress(), quint16(d.senderPort())});
            for (const QByteArray &r : qAsConst(replies))
                socket.writeDatagram(r, QHostAddress::LocalHost, replyPort);
            if (afterReplies)
                afterReplies();
        }
    }

    QUdpSocket socket;
};

class SearchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void validRepliesListedInArrivalOrder();
    void filter_data();
    void filter();
    void requestBytesLeaveFromBoundPort();
    void statusAndStateThroughASearch();
    void pressDuringSearchDoesNothing();
    void newSearchEmptiesTableFirst();
    void noDevices();
    void destroyDuringSearch_data();
    void destroyDuringSearch();
    void bindFailureEndsSearch();
    void burstOfRepliesListedInFull();

private:
    MainWindow *newWindow();
    void click(MainWindow *w) { w->ui->pushButton_Search_Device->click(); }
    bool waitCompleted(MainWindow *w, int timeoutMs = 10000);
    QStringList column(MainWindow *w, int col) const;

    std::unique_ptr<ScriptedDialogs> dialogs;
    std::unique_ptr<ScriptedBox> box;
    std::unique_ptr<MainWindow> window;
    quint16 bindPort = 0;
};

void SearchTest::initTestCase()
{
    // 500 ms pause -> 50 ms, 2000 ms collection -> 200 ms.
    LocalWait::setTimeScaleForTests(0.1);
    QApplication::setQuitOnLastWindowClosed(false);
}

void SearchTest::init()
{
    dialogs = std::make_unique<ScriptedDialogs>();
    box = std::make_unique<ScriptedBox>();
    bindPort = freeUdpPort();
    QVERIFY(bindPort != 0);
    box->replyPort = bindPort;
    window.reset(newWindow());
}

void SearchTest::cleanup()
{
    window.reset();
    box.reset();
    dialogs.reset();
    LocalWait::setTimeScaleForTests(0.1);
}

MainWindow *SearchTest::newWindow()
{
    auto *w = new MainWindow;
    Endpoints e;
    e.discoveryBindPort = bindPort;
    e.discoveryAddress = QStringLiteral("127.0.0.1");
    e.discoveryTargetPort = box->port();
    w->setEndpoints(e);
    return w;
}

bool SearchTest::waitCompleted(MainWindow *w, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (w->searchBusy && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return !w->searchBusy && w->ui->label_Search_State->text() == Completed;
}

QStringList SearchTest::column(MainWindow *w, int col) const
{
    QStringList out;
    for (int row = 0; row < w->model->rowCount(); ++row)
        out << w->model->item(row, col)->text();
    return out;
}

void SearchTest::validRepliesListedInArrivalOrder()
{
    // A full 20-byte SN without terminator, a name with bytes after its terminator,
    // Latin-1 bytes, an empty camera type.
    box->replies = {
            reply("192.168.1.20", QByteArray::fromHex("000A1BFF30C4"), "ABCDEFGHIJKLMNOPQRST",
                  QByteArray("CAM\0junk", 8), "IMX477", "Ubuntu18", "v3.2.1"),
            reply("10.0.0.5", QByteArray::fromHex("001A2B3C4D5E"), "SN-2", "Caf\xe9", "",
                  "OS 1.0.0.1", "fw"),
            reply("172.16.0.1", QByteArray::fromHex("FFFFFFFFFFFF"), "SN-3", "Third", "T", "9",
                  "X"),
    };
    MainWindow *w = window.get();
    click(w);
    QVERIFY(waitCompleted(w));

    QCOMPARE(w->model->rowCount(), 3);
    const QList<QStringList> expected = {
            {"192.168.1.20", "00:0A:1B:FF:30:C4", "ABCDEFGHIJKLMNOPQRST", "CAM", "IMX477",
             "Ubuntu18", "v3.2.1"},
            {"10.0.0.5", "00:1A:2B:3C:4D:5E", "SN-2", QString::fromLatin1("Caf\xe9"), "",
             "OS 1.0.0.1", "fw"},
            {"172.16.0.1", "FF:FF:FF:FF:FF:FF", "SN-3", "Third", "T", "9", "X"},
    };
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 7; ++col) {
            QStandardItem *item = w->model->item(row, col);
            QVERIFY(item);
            QCOMPARE(item->text(), expected[row][col]);
            QCOMPARE(item->data(Qt::TextAlignmentRole).toInt(), 0x84);
        }
    }
}

void SearchTest::filter_data()
{
    QTest::addColumn<QList<QByteArray>>("replies");
    QTest::addColumn<QStringList>("ips");
    QTest::addColumn<QStringList>("sns");

    const QByteArray good = reply("192.168.1.20");
    QByteArray badCrc = good;
    badCrc[104] = char(badCrc[104] ^ 0x01);
    QByteArray swappedCrc = good;
    swappedCrc[103] = good[104];
    swappedCrc[104] = good[103];
    QVERIFY(swappedCrc != good);

    // Every case ends with a valid sentinel reply: once it is listed, everything before it has
    // been read too, so a missing row means "dropped", not "not yet arrived".
    const QByteArray sentinel = reply("10.9.9.9", QByteArray::fromHex("0A0B0C0D0E0F"), "END");
    auto row = [&](const char *name, QList<QByteArray> replies, QStringList ips, QStringList sns) {
        replies << sentinel;
        ips << "10.9.9.9";
        sns << "END";
        QTest::newRow(name) << replies << ips << sns;
    };

    row("duplicate IP keeps the first",
        {reply("192.168.1.20", QByteArray::fromHex("001A2B3C4D5E"), "FIRST"),
         reply("192.168.1.20", QByteArray::fromHex("00AAAAAAAAAA"), "SECOND")},
        {"192.168.1.20"}, {"FIRST"});
    row("same MAC, two IPs",
        {reply("192.168.1.20", QByteArray::fromHex("001A2B3C4D5E"), "A"),
         reply("192.168.1.21", QByteArray::fromHex("001A2B3C4D5E"), "B")},
        {"192.168.1.20", "192.168.1.21"}, {"A", "B"});
    // Every reply comes from 127.0.0.1; the row shows the record's own address.
    row("record IP differs from sender", {reply("192.168.7.9", {}, "REC")}, {"192.168.7.9"},
        {"REC"});
    row("bad CRC", {badCrc}, {}, {});
    row("CRC low byte first", {swappedCrc}, {}, {});
    row("length byte 99", {withHeader(good, 2, char(99))}, {}, {});
    row("length byte 101", {withHeader(good, 2, char(101))}, {}, {});
    row("head byte 0 wrong", {withHeader(good, 0, char(0xFB))}, {}, {});
    row("head byte 1 wrong", {withHeader(good, 1, char(0x02))}, {}, {});
    row("104 bytes", {good.left(104)}, {}, {});
    row("106 bytes", {good + QByteArray(1, '\0')}, {}, {});
    row("empty datagram", {QByteArray()}, {}, {});
    row("own request echoed", {QByteArray::fromHex("FA0100003C61")}, {}, {});
    row("bad between good",
        {reply("10.0.0.1", {}, "ONE"), badCrc, good.left(104), reply("10.0.0.2", {}, "TWO")},
        {"10.0.0.1", "10.0.0.2"}, {"ONE", "TWO"});
}

void SearchTest::filter()
{
    QFETCH(QList<QByteArray>, replies);
    QFETCH(QStringList, ips);
    QFETCH(QStringList, sns);

    box->replies = replies;
    MainWindow *w = window.get();
    click(w);
    QVERIFY(waitCompleted(w));
    QCOMPARE(column(w, 0), ips);
    QCOMPARE(column(w, 2), sns);
    QVERIFY(dialogs->calls.isEmpty());
}

void SearchTest::requestBytesLeaveFromBoundPort()
{
    MainWindow *w = window.get();
    click(w);
    QVERIFY(waitCompleted(w));

    QCOMPARE(box->requests.size(), 1);
    const ScriptedBox::Request &r = box->requests.first();
    QCOMPARE(r.bytes, QByteArray::fromHex("FA0100003C61"));
    QCOMPARE(r.fromPort, bindPort);
    QVERIFY(r.from.isLoopback());
}

void SearchTest::statusAndStateThroughASearch()
{
    MainWindow *w = window.get();
    QVERIFY(w->ui->label_Search_State->text().isEmpty());

    bool checkedWhileCollecting = false;
    box->afterReplies = [&] {
        checkedWhileCollecting = true;
        QCOMPARE(w->ui->label_Search_State->text(), Searching);
        QVERIFY(w->searchBusy);
        QVERIFY(w->socketOpen);
        QVERIFY(w->udpSocket);
    };
    click(w);
    // The handler has returned; the collection has not started yet.
    QCOMPARE(w->ui->label_Search_State->text(), Searching);
    QVERIFY(w->searchBusy);
    QVERIFY(w->socketOpen);
    QCOMPARE(w->udpSocket->state(), QAbstractSocket::BoundState);

    QVERIFY(waitCompleted(w));
    QVERIFY(checkedWhileCollecting);
    QVERIFY(!w->socketOpen);
    QVERIFY(!w->udpSocket);
    QVERIFY(w->ipList.isEmpty());
}

void SearchTest::pressDuringSearchDoesNothing()
{
    box->replies = {reply("192.168.1.20")};
    MainWindow *w = window.get();
    int rowsWhenPressed = -1;
    box->afterReplies = [&] {
        // Inside the collection wait: let the reply be listed, then press again.
        QTRY_COMPARE_WITH_TIMEOUT(w->model->rowCount(), 1, 5000);
        click(w);
        rowsWhenPressed = w->model->rowCount();
    };
    click(w);
    click(w); // before the collection starts
    QVERIFY(waitCompleted(w));

    QCOMPARE(rowsWhenPressed, 1);
    QCOMPARE(box->requests.size(), 1);
    QCOMPARE(column(w, 0), QStringList{"192.168.1.20"});
    QVERIFY(dialogs->calls.isEmpty());
}

void SearchTest::newSearchEmptiesTableFirst()
{
    box->replies = {reply("192.168.1.20"), reply("192.168.1.21")};
    MainWindow *w = window.get();
    click(w);
    QVERIFY(waitCompleted(w));
    QCOMPARE(w->model->rowCount(), 2); // the rows outlive the search

    box->replies = {reply("192.168.1.21")};
    int rowsAtRequest = -1;
    box->afterReplies = [&] {
        if (rowsAtRequest < 0)
            rowsAtRequest = w->model->rowCount();
    };
    click(w);
    QCOMPARE(w->model->rowCount(), 0);
    QVERIFY(waitCompleted(w));
    QCOMPARE(rowsAtRequest, 0);
    // Listed again: the duplicate filter starts afresh with each search.
    QCOMPARE(column(w, 0), QStringList{"192.168.1.21"});
}

void SearchTest::noDevices()
{
    MainWindow *w = window.get();
    click(w);
    QVERIFY(waitCompleted(w));
    QCOMPARE(w->model->rowCount(), 0);
    QCOMPARE(w->model->columnCount(), 7);
    QCOMPARE(box->requests.size(), 1);
    QVERIFY(dialogs->calls.isEmpty());
}

void SearchTest::destroyDuringSearch_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("before the collection starts") << "beforeCollection";
    QTest::newRow("during the collection") << "duringCollection";
    QTest::newRow("closed with Yes during the collection, destroyed after") << "closeYes";
    QTest::newRow("while the bind failure box is open") << "bindFailureBox";
}

void SearchTest::destroyDuringSearch()
{
    QFETCH(QString, when);

    MainWindow *w = window.release();
    QPointer<MainWindow> guard(w);
    box->replies = {reply("192.168.1.20")};

    int socketsDestroyed = 0;
    std::unique_ptr<QUdpSocket> blocker;
    if (when == "bindFailureBox") {
        blocker = std::make_unique<QUdpSocket>();
        QVERIFY(blocker->bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress));
        Endpoints e = w->endpoints();
        e.discoveryBindPort = blocker->localPort();
        w->setEndpoints(e);
        dialogs->whileOpen = [&](const ScriptedDialogs::Call &) {
            QObject::connect(w->udpSocket, &QObject::destroyed, [&] { ++socketsDestroyed; });
            delete w;
        };
    }

    bool closeAccepted = false;
    if (when == "duringCollection") {
        box->afterReplies = [&] { QTimer::singleShot(0, [&] { delete w; }); };
    } else if (when == "closeYes") {
        dialogs->answers = {QMessageBox::Yes};
        box->afterReplies = [&] { closeAccepted = w->close(); };
    }

    click(w);
    if (guard) {
        QVERIFY(w->udpSocket);
        QObject::connect(w->udpSocket, &QObject::destroyed, [&] { ++socketsDestroyed; });
    } else {
        // Destroyed inside the failure box: the socket went with the window.
        QVERIFY(when == "bindFailureBox");
        QCOMPARE(dialogs->count("information"), 1);
        QCOMPARE(socketsDestroyed, 1);
        return;
    }

    if (when == "beforeCollection") {
        delete w;
    } else if (when == "closeYes") {
        QVERIFY(waitCompleted(w));
        QVERIFY(closeAccepted);
        QCOMPARE(socketsDestroyed, 1); // by the end of the search
        delete w;
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 10000);
    }
    QVERIFY(guard.isNull());
    QCOMPARE(socketsDestroyed, 1);
    // A queued end of search for the dead window must not run into freed memory.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(socketsDestroyed, 1);
}

void SearchTest::bindFailureEndsSearch()
{
    // Another program holds the port exclusively.
    QUdpSocket blocker;
    QVERIFY(blocker.bind(QHostAddress::Any, bindPort, QAbstractSocket::DontShareAddress));
    box->replies = {reply("192.168.1.20")};
    MainWindow *w = window.get();

    bool busyWhileBoxOpen = false;
    dialogs->whileOpen = [&](const ScriptedDialogs::Call &) { busyWhileBoxOpen = w->searchBusy; };
    click(w);

    QCOMPARE(dialogs->calls.size(), 1);
    QCOMPARE(dialogs->calls[0].kind, QStringLiteral("information"));
    QCOMPARE(dialogs->calls[0].title, QStringLiteral("Tip"));
    QCOMPARE(dialogs->calls[0].text, QStringLiteral("Received data socket status is abnormal"));
    QVERIFY(busyWhileBoxOpen);
    QVERIFY(!w->searchBusy);
    QVERIFY(!w->socketOpen);
    QVERIFY(!w->udpSocket);
    QVERIFY(w->ui->label_Search_State->text().isEmpty());
    QCOMPARE(w->model->rowCount(), 0);

    // Once the port is free again the next press searches normally.
    blocker.close();
    click(w);
    QVERIFY(waitCompleted(w));
    QCOMPARE(box->requests.size(), 1);
    QCOMPARE(column(w, 0), QStringList{"192.168.1.20"});
    QCOMPARE(dialogs->calls.size(), 1);
}

void SearchTest::burstOfRepliesListedInFull()
{
    // All replies are written before the tool gets to read any of them: only the socket's
    // receive buffer holds them meanwhile.
    constexpr int Boxes = 2000;
    for (int i = 0; i < Boxes; ++i)
        box->replies << reply(QStringLiteral("10.1.%1.%2").arg(i / 250).arg(i % 250 + 1));
    LocalWait::setTimeScaleForTests(0.5);
    MainWindow *w = window.get();
    click(w);
    QVERIFY(waitCompleted(w, 30000));
    QCOMPARE(w->model->rowCount(), Boxes);
    QCOMPARE(w->model->item(0, 0)->text(), QStringLiteral("10.1.0.1"));
    QCOMPARE(w->model->item(Boxes - 1, 0)->text(), QStringLiteral("10.1.7.250"));
}

QTEST_MAIN(SearchTest)
#include "tst_search.moc"
