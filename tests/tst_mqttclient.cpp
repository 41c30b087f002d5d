#include "localwait.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "rawmqttpeer.h"

#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr int Timeout = 10000; // generous for sanitizer builds on a busy machine

struct Received
{
    QString topic;
    QByteArray payload;
};

// Collects what a client hands out through messageReceived.
class Collector : public QObject
{
public:
    explicit Collector(MqttClient *client)
    {
        connect(client, &MqttClient::messageReceived, this,
                [this](const QByteArray &payload, const MqttTopicName &topic) {
                    messages.append({topic.name(), payload});
                });
    }
    QList<Received> messages;
};

QList<MqttClient::ClientState> states(const QSignalSpy &spy)
{
    QList<MqttClient::ClientState> out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).value<MqttClient::ClientState>();
    return out;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray out(size, Qt::Uninitialized);
    for (char &c : out)
        c = char(rng.bounded(256));
    return out;
}

QByteArray allByteValues()
{
    QByteArray out;
    for (int i = 0; i < 256; ++i)
        out.append(char(i));
    return out;
}

bool connectClient(MqttClient &client, quint16 port)
{
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(port);
    client.connectToHost();
    return QTest::qWaitFor([&client] { return client.state() == MqttClient::Connected; }, Timeout);
}

// Subscribes and waits until the broker has the subscription: a probe the client publishes
// itself after SUBSCRIBE comes back only once the broker has processed it.
bool subscribeConfirmed(MqttClient &client, const QString &topic)
{
    if (!client.subscribe(topic, 0))
        return false;
    bool probed = false;
    const QByteArray probe = "probe-" + QByteArray::number(QRandomGenerator::global()->generate());
    const QMetaObject::Connection c =
            QObject::connect(&client, &MqttClient::messageReceived,
                             [&probed, probe](const QByteArray &payload, const MqttTopicName &) {
                                 probed = probed || payload == probe;
                             });
    const bool ok = client.publish(topic, probe) == 0 &&
                    QTest::qWaitFor([&probed] { return probed; }, Timeout);
    QObject::disconnect(c);
    return ok;
}

// Spins the event loop for one round trip through the broker, so that whatever the client's
// socket had to deliver by then has been dispatched.
bool roundTrip(RawMqttPeer &peer, const QString &topic)
{
    const int before = peer.messages.size();
    peer.publish(topic, "marker");
    return peer.waitForMessages(before + 1, Timeout);
}

} // namespace

// The MQTT adapter against a real mosquitto broker on a free loopback port.
class tst_MqttClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stateTransitions();
    void localAddress();
    void publishResult();
    void receiveExactBytes_data();
    void receiveExactBytes();
    void publishExactBytes_data();
    void publishExactBytes();
    void manyMessagesInOrder();
    void refusedPortEndsDisconnected();
    void unhelpfulPeerEndsDisconnected_data();
    void unhelpfulPeerEndsDisconnected();
    void disconnectWhileConnecting();
    void brokerKilledThenRestarted();
    void publishRightAfterBrokerDied();
    void nestedWaitGetsLaterMessagesInOrder();
    void clientDeletedInsideHandler_data();
    void clientDeletedInsideHandler();
    void clientDeletedWhileConnected();
    void brokerDiesWhileHandlerWaits();
    void clientDeletedWhileHandlerWaits();
    void clientDeletedInStateChangedHandler_data();
    void clientDeletedInStateChangedHandler();

private:
    MosquittoBroker m_broker;
};

void tst_MqttClient::initTestCase()
{
    QVERIFY2(!MosquittoBroker::executable().isEmpty(), "mosquitto is not installed");
    QVERIFY2(m_broker.start(), m_broker.output().constData());
}

void tst_MqttClient::stateTransitions()
{
    MqttClient client;
    QSignalSpy spy(&client, &MqttClient::stateChanged);
    QCOMPARE(client.state(), MqttClient::Disconnected);

    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(m_broker.port());
    QCOMPARE(client.hostname(), QStringLiteral("127.0.0.1"));
    QCOMPARE(client.port(), m_broker.port());
    client.connectToHost();
    QCOMPARE(client.state(), MqttClient::Connecting); // returns at once
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Connected, Timeout);
    QCOMPARE(states(spy),
             (QList<MqttClient::ClientState>{MqttClient::Connecting, MqttClient::Connected}));

    client.connectToHost(); // already connected: left alone
    QCOMPARE(spy.count(), 2);

    client.disconnectFromHost();
    QCOMPARE(client.state(), MqttClient::Disconnected);
    QCOMPARE(states(spy).last(), MqttClient::Disconnected);

    spy.clear();
    client.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Connected, Timeout);
    QCOMPARE(states(spy),
             (QList<MqttClient::ClientState>{MqttClient::Connecting, MqttClient::Connected}));
}

void tst_MqttClient::localAddress()
{
    MqttClient client;
    QVERIFY(client.localAddress().isNull());
    QVERIFY(connectClient(client, m_broker.port()));
    QCOMPARE(client.localAddress(), QHostAddress(QHostAddress::LocalHost));
    client.disconnectFromHost();
    QVERIFY(client.localAddress().isNull());
}

void tst_MqttClient::publishResult()
{
    MqttClient client;
    QCOMPARE(client.publish(QStringLiteral("TalixTools_in/restart"), "Restart"), -1);
    QVERIFY(!client.subscribe(QStringLiteral("TalixTools_out/#")));

    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(m_broker.port());
    client.connectToHost();
    QCOMPARE(client.state(), MqttClient::Connecting);
    QCOMPARE(client.publish(QStringLiteral("TalixTools_in/restart"), "Restart"), -1);

    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Connected, Timeout);
    QCOMPARE(client.publish(QStringLiteral("TalixTools_in/restart"), "Restart", 0, false), 0);
    QVERIFY(client.subscribe(QStringLiteral("TalixTools_out/recovery_file_system"), 0));

    client.disconnectFromHost();
    QCOMPARE(client.publish(QStringLiteral("TalixTools_in/restart"), "Restart"), -1);
}

void tst_MqttClient::receiveExactBytes_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");

    const QString report = QStringLiteral("TalixTools_out/update_camera_fw");
    QTest::newRow("JSON report")
            << report << QByteArray(R"({"type":"1","errorcode":"0","message":"","progress":"5"})");
    QTest::newRow("embedded zero bytes") << report << QByteArray("\0a\0\0b\0", 6);
    QTest::newRow("every byte value") << report << allByteValues();
    QTest::newRow("empty payload") << report << QByteArray();
    QTest::newRow("1 MiB") << report << randomBytes(1 << 20, 1);
    QTest::newRow("UTF-8 topic") << QStringLiteral("TalixTools_out/\u00E4\u00F6\u00FC/\u65E5")
                                 << QByteArray("x");
}

void tst_MqttClient::receiveExactBytes()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);

    MqttClient client;
    QVERIFY(connectClient(client, m_broker.port()));
    QVERIFY(subscribeConfirmed(client, topic));
    Collector got(&client);

    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));
    peer.publish(topic, payload);
    QTRY_COMPARE_WITH_TIMEOUT(got.messages.size(), 1, Timeout);
    QCOMPARE(got.messages.first().topic, topic);
    QCOMPARE(got.messages.first().payload.size(), payload.size());
    QVERIFY(got.messages.first().payload == payload);
}

void tst_MqttClient::publishExactBytes_data()
{
    receiveExactBytes_data();
}

void tst_MqttClient::publishExactBytes()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);

    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));
    QVERIFY(peer.subscribe(topic));

    MqttClient client;
    QVERIFY(connectClient(client, m_broker.port()));
    QCOMPARE(client.publish(topic, payload, 0, false), 0);
    QVERIFY(peer.waitForMessages(1, Timeout));
    QCOMPARE(peer.messages.first().topic, topic);
    QCOMPARE(peer.messages.first().payload.size(), payload.size());
    QVERIFY(peer.messages.first().payload == payload);
}

void tst_MqttClient::manyMessagesInOrder()
{
    const QString topic = QStringLiteral("TalixTools_out/update_file_system");
    MqttClient client;
    QVERIFY(connectClient(client, m_broker.port()));
    QVERIFY(subscribeConfirmed(client, topic));
    Collector got(&client);

    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));
    const int count = 2000;
    for (int i = 0; i < count; ++i)
        peer.publish(topic, QByteArray::number(i));
    QTRY_COMPARE_WITH_TIMEOUT(got.messages.size(), count, Timeout);
    for (int i = 0; i < count; ++i)
        QCOMPARE(got.messages.at(i).payload, QByteArray::number(i));
}

void tst_MqttClient::refusedPortEndsDisconnected()
{
    MqttClient client;
    QSignalSpy spy(&client, &MqttClient::stateChanged);
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(freeTcpPort()); // nothing listens there
    client.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Disconnected, Timeout);
    QVERIFY(!spy.isEmpty());
    QCOMPARE(states(spy).last(), MqttClient::Disconnected);
    QCOMPARE(client.publish(QStringLiteral("TalixTools_in/poweroff"), "Shut Down"), -1);

    // Disconnected means the next operation may connect again.
    QVERIFY(connectClient(client, m_broker.port()));
}

void tst_MqttClient::unhelpfulPeerEndsDisconnected_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closeAfterAnswer");

    QTest::newRow("accepts and never answers") << QByteArray() << false;
    QTest::newRow("accepts and closes") << QByteArray() << true;
    QTest::newRow("refuses the connection in CONNACK")
            << QByteArray("\x20\x02\x00\x05", 4) << false;
    QTest::newRow("answers with something else") << QByteArray("HTTP/1.1 400 Bad\r\n\r\n") << false;
}

void tst_MqttClient::unhelpfulPeerEndsDisconnected()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closeAfterAnswer);

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QByteArray seen;
    QList<QTcpSocket *> accepted;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *s = server.nextPendingConnection()) {
            accepted << s;
            connect(s, &QTcpSocket::readyRead, s, [&, s] {
                seen += s->readAll();
                if (!answer.isEmpty())
                    s->write(answer);
                if (closeAfterAnswer)
                    s->close();
            });
        }
    });

    MqttClient client;
    client.setConnectTimeout(300);
    QSignalSpy spy(&client, &MqttClient::stateChanged);
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(server.serverPort());
    client.connectToHost();
    QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), Timeout);
    QCOMPARE(quint8(seen.at(0)), quint8(0x10)); // the client did send its CONNECT
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Disconnected, Timeout);
    QCOMPARE(states(spy),
             (QList<MqttClient::ClientState>{MqttClient::Connecting, MqttClient::Disconnected}));

    QVERIFY(connectClient(client, m_broker.port()));
}

void tst_MqttClient::disconnectWhileConnecting()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    MqttClient client;
    client.setHostname(QStringLiteral("127.0.0.1"));
    client.setPort(silent.serverPort());
    client.connectToHost();
    QCOMPARE(client.state(), MqttClient::Connecting);
    client.disconnectFromHost();
    QCOMPARE(client.state(), MqttClient::Disconnected);
    QVERIFY(connectClient(client, m_broker.port()));
}

void tst_MqttClient::brokerKilledThenRestarted()
{
    MosquittoBroker broker;
    QVERIFY(broker.start());
    const quint16 port = broker.port();
    const QString topic = QStringLiteral("TalixTools_out/recovery_file_system");

    MqttClient client;
    QVERIFY(connectClient(client, port));
    QVERIFY(subscribeConfirmed(client, topic));

    broker.kill(); // the box restarts or loses power
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Disconnected, Timeout);
    QCOMPARE(client.publish(QStringLiteral("TalixTools_in/restart"), "Restart"), -1);

    QVERIFY(broker.start());
    QCOMPARE(broker.port(), port);
    client.connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Connected, Timeout);

    // The new session works end to end.
    QVERIFY(subscribeConfirmed(client, topic));
    Collector got(&client);
    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), port));
    peer.publish(topic, R"({"type":"3"})");
    QTRY_COMPARE_WITH_TIMEOUT(got.messages.size(), 1, Timeout);
    QCOMPARE(got.messages.first().payload, QByteArray(R"({"type":"3"})"));
}

void tst_MqttClient::publishRightAfterBrokerDied()
{
    // Writing to a connection whose peer has gone must not kill the process (SIGPIPE) and
    // must end in Disconnected once the loss is seen.
    MosquittoBroker broker;
    QVERIFY(broker.start());
    MqttClient client;
    QVERIFY(connectClient(client, broker.port()));
    broker.kill();
    for (int i = 0; i < 50 && client.state() == MqttClient::Connected; ++i)
        client.publish(QStringLiteral("TalixTools_in/restart"), QByteArray(1000, 'r'));
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Disconnected, Timeout);
}

void tst_MqttClient::nestedWaitGetsLaterMessagesInOrder()
{
    // A report handler that waits in a local loop (a question box, a countdown) must see
    // the reports that arrive meanwhile, delivered nested, in order.
    const QString topic = QStringLiteral("TalixTools_out/update_file_system");
    MqttClient client;
    QVERIFY(connectClient(client, m_broker.port()));
    QVERIFY(subscribeConfirmed(client, topic));
    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));

    QStringList log;
    int delivered = 0;
    connect(&client, &MqttClient::messageReceived, this,
            [&](const QByteArray &payload, const MqttTopicName &) {
                ++delivered;
                if (payload != "1") {
                    log << QStringLiteral("got ") + QString::fromLatin1(payload);
                    return;
                }
                log << QStringLiteral("begin 1");
                peer.publish(topic, "2");
                peer.publish(topic, "3");
                QEventLoop loop;
                QTimer guard;
                guard.setSingleShot(true);
                connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
                connect(&client, &MqttClient::messageReceived, &loop, [&] {
                    if (delivered == 3)
                        loop.quit();
                });
                guard.start(Timeout);
                loop.exec();
                log << QStringLiteral("end 1");
            });

    peer.publish(topic, "1");
    QTRY_COMPARE_WITH_TIMEOUT(log.size(), 4, 2 * Timeout);
    QCOMPARE(log, (QStringList{"begin 1", "got 2", "got 3", "end 1"}));
}

void tst_MqttClient::clientDeletedInsideHandler_data()
{
    QTest::addColumn<bool>("deleteLater");
    QTest::newRow("delete") << false;
    QTest::newRow("deleteLater") << true;
}

void tst_MqttClient::clientDeletedInsideHandler()
{
    QFETCH(bool, deleteLater);

    const QString topic = QStringLiteral("TalixTools_out/recovery_file_system");
    auto *client = new MqttClient;
    QPointer<MqttClient> alive(client);
    QVERIFY(connectClient(*client, m_broker.port()));
    QVERIFY(subscribeConfirmed(*client, topic));

    int handled = 0;
    connect(client, &MqttClient::messageReceived, this, [&, client] {
        ++handled;
        if (deleteLater)
            client->deleteLater();
        else
            delete client;
    });

    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));
    QVERIFY(peer.subscribe(topic));
    for (int i = 0; i < 5; ++i)
        peer.publish(topic, QByteArray(64 * 1024, char('a' + i)));
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), Timeout);
    // Let the loop run over whatever the dead client's socket still held.
    QVERIFY(peer.waitForMessages(5, Timeout));
    QVERIFY(roundTrip(peer, topic));
    QVERIFY(handled >= 1);
    if (!deleteLater)
        QCOMPARE(handled, 1);
}

void tst_MqttClient::clientDeletedWhileConnected()
{
    // The main window deletes its client without disconnecting first.
    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));
    const QString topic = QStringLiteral("TalixTools_out/update_camera_fw");
    QVERIFY(peer.subscribe(topic));
    {
        MqttClient client;
        QVERIFY(connectClient(client, m_broker.port()));
        QCOMPARE(client.publish(topic, QByteArray(256 * 1024, 'z')), 0);
    }
    QVERIFY(roundTrip(peer, topic));
}

void tst_MqttClient::brokerDiesWhileHandlerWaits()
{
    // The box drops its broker (restart, power off) while a report handler is waiting in a
    // local loop, e.g. for the operator's answer.
    MosquittoBroker broker;
    QVERIFY(broker.start());
    const QString topic = QStringLiteral("TalixTools_out/update_camera_fw");
    MqttClient client;
    QVERIFY(connectClient(client, broker.port()));
    QVERIFY(subscribeConfirmed(client, topic));
    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), broker.port()));

    QStringList log;
    connect(&client, &MqttClient::messageReceived, this, [&](const QByteArray &payload) {
        log << QString::fromLatin1(payload);
        if (payload != "first")
            return;
        peer.publish(topic, "second");
        QVERIFY(QTest::qWaitFor([&log] { return log.size() == 2; }, Timeout));
        broker.kill();
        QVERIFY(QTest::qWaitFor([&client] { return client.state() == MqttClient::Disconnected; },
                                Timeout));
        log << QStringLiteral("handler done");
    });
    peer.publish(topic, "first");
    QTRY_COMPARE_WITH_TIMEOUT(log.size(), 3, 2 * Timeout);
    QCOMPARE(log, (QStringList{"first", "second", "handler done"}));
    QCOMPARE(client.state(), MqttClient::Disconnected);
    QCOMPARE(client.publish(topic, "x"), -1);
}

void tst_MqttClient::clientDeletedWhileHandlerWaits()
{
    // A window closed while its report handler waits deletes its client under that handler.
    LocalWait::setTimeScaleForTests(1.0);
    const QString topic = QStringLiteral("TalixTools_out/recovery_file_system");
    auto *client = new MqttClient;
    QPointer<MqttClient> alive(client);
    QVERIFY(connectClient(*client, m_broker.port()));
    QVERIFY(subscribeConfirmed(*client, topic));
    RawMqttPeer peer;
    QVERIFY(peer.connectTo(QStringLiteral("127.0.0.1"), m_broker.port()));
    QVERIFY(peer.subscribe(topic));

    bool handlerReturned = false;
    connect(client, &MqttClient::messageReceived, this, [&] {
        if (!alive)
            return;
        QTimer::singleShot(0, [client] { delete client; });
        peer.publish(topic, "while deleted"); // more bytes for the dying socket
        QVERIFY(QTest::qWaitFor([&alive] { return alive.isNull(); }, Timeout));
        handlerReturned = true;
    });
    peer.publish(topic, "first");
    QTRY_VERIFY_WITH_TIMEOUT(handlerReturned, Timeout);
    QVERIFY(alive.isNull());
    QVERIFY(roundTrip(peer, topic));
}

void tst_MqttClient::clientDeletedInStateChangedHandler_data()
{
    QTest::addColumn<int>("deleteOn");
    QTest::addColumn<QString>("how");

    QTest::newRow("on Connecting") << int(MqttClient::Connecting) << "broker";
    QTest::newRow("on Connected") << int(MqttClient::Connected) << "broker";
    QTest::newRow("on Disconnected, refused") << int(MqttClient::Disconnected) << "refused";
    QTest::newRow("on Disconnected, no answer") << int(MqttClient::Disconnected) << "silent";
    QTest::newRow("on Disconnected, broker lost") << int(MqttClient::Disconnected) << "killed";
}

void tst_MqttClient::clientDeletedInStateChangedHandler()
{
    QFETCH(int, deleteOn);
    QFETCH(QString, how);

    MosquittoBroker broker;
    QVERIFY(broker.start());
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));

    auto *client = new MqttClient;
    QPointer<MqttClient> alive(client);
    client->setConnectTimeout(200);
    client->setHostname(QStringLiteral("127.0.0.1"));
    if (how == QLatin1String("refused"))
        client->setPort(freeTcpPort());
    else if (how == QLatin1String("silent"))
        client->setPort(silent.serverPort());
    else
        client->setPort(broker.port());
    connect(client, &MqttClient::stateChanged, this, [client, deleteOn](MqttClient::ClientState s) {
        if (int(s) == deleteOn)
            delete client;
    });

    client->connectToHost();
    if (how == QLatin1String("killed")) {
        QTRY_VERIFY_WITH_TIMEOUT(!alive || alive->state() == MqttClient::Connected, Timeout);
        QVERIFY(alive);
        broker.kill();
    }
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), Timeout);
}

QTEST_GUILESS_MAIN(tst_MqttClient)
#include "tst_mqttclient.moc"
