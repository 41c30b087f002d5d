#include "mosquittobroker.h"
#include "mqttclient.h"
#include "rawmqttpeer.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

namespace {

constexpr int Timeout = 10000; // generous for sanitizer builds on a busy machine
const QString Host = QStringLiteral("127.0.0.1");
const QString Topic = QStringLiteral("TalixTools_out/update_camera_fw");

// Connects (if not yet connected) and subscribes, and waits until the broker has the
// subscription: a probe the client publishes itself after SUBSCRIBE comes back only once the
// broker has processed it.
bool connectSubscribed(MqttClient &client, quint16 port)
{
    client.setHostname(Host);
    client.setPort(port);
    client.connectToHost();
    if (!QTest::qWaitFor([&client] { return client.state() == MqttClient::Connected; }, Timeout))
        return false;
    bool probed = false;
    const auto c = QObject::connect(
            &client, &MqttClient::messageReceived,
            [&probed](const QByteArray &payload) { probed = probed || payload == "probe"; });
    const bool ok = client.subscribe(Topic, 0) && client.publish(Topic, "probe") == 0 &&
                    QTest::qWaitFor([&probed] { return probed; }, Timeout);
    QObject::disconnect(c);
    return ok;
}

} // namespace

// The MQTT adapter against a real mosquitto broker on a free loopback port, with a second,
// independent MQTT implementation at the other end.
class tst_MqttClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!MosquittoBroker::executable().isEmpty(), "mosquitto is not installed");
    }

    // Some tests kill the broker, as a box restarting would; the next one finds it running again.
    void init() { QVERIFY2(m_broker.start(), m_broker.output().constData()); }

    void stateMachine()
    {
        MqttClient client;
        QList<MqttClient::ClientState> states;
        connect(&client, &MqttClient::stateChanged, this,
                [&](MqttClient::ClientState s) { states << s; });
        QVERIFY(!client.subscribe(Topic));

        client.setHostname(Host);
        client.setPort(m_broker.port());
        client.connectToHost();
        QCOMPARE(client.state(), MqttClient::Connecting); // returns at once
        QCOMPARE(client.publish(Topic, "x"), -1);
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Connected, Timeout);
        client.connectToHost(); // already connected: left alone
        QCOMPARE(states,
                 (QList<MqttClient::ClientState>{MqttClient::Connecting, MqttClient::Connected}));
        QCOMPARE(client.publish(Topic, "x", 0, false), 0);

        client.disconnectFromHost();
        QCOMPARE(client.state(), MqttClient::Disconnected);
        QCOMPARE(states.last(), MqttClient::Disconnected);
        QVERIFY(client.localAddress().isNull());
    }

    void exactBytesBothWays_data()
    {
        QTest::addColumn<QList<QByteArray>>("payloads");

        QByteArray large(1 << 20, Qt::Uninitialized);
        QRandomGenerator rng(1);
        for (char &c : large)
            c = char(rng.bounded(256));
        QTest::newRow("zero bytes, empty")
                << QList<QByteArray>{QByteArray("\0a\0\0b\0", 6), QByteArray()};
        QTest::newRow("1 MiB, every byte value") << QList<QByteArray>{large};
    }

    void exactBytesBothWays()
    {
        QFETCH(QList<QByteArray>, payloads);

        MqttClient client;
        QVERIFY(connectSubscribed(client, m_broker.port()));
        QList<QByteArray> got;
        connect(&client, &MqttClient::messageReceived, this,
                [&](const QByteArray &payload, const MqttTopicName &name) {
                    got << (name.name() == Topic ? payload : "wrong topic");
                });
        RawMqttPeer peer;
        QVERIFY(peer.connectTo(Host, m_broker.port()));
        for (const QByteArray &payload : payloads)
            peer.publish(Topic, payload);
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), payloads.size(), Timeout);
        QVERIFY(got == payloads);

        QVERIFY(peer.subscribe(Topic));
        for (const QByteArray &payload : payloads)
            QCOMPARE(client.publish(Topic, payload, 0, false), 0);
        QVERIFY(peer.waitForMessages(payloads.size(), Timeout));
        QVERIFY(peer.inbox(Topic) == payloads);
    }

    void failedConnectionEndsDisconnected_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QByteArray>("answer");

        QTest::newRow("nothing listens") << "none" << QByteArray();
        QTest::newRow("accepts and never answers") << "silent" << QByteArray();
        QTest::newRow("accepts and closes") << "closes" << QByteArray();
        QTest::newRow("CONNACK refuses") << "silent" << QByteArray("\x20\x02\x00\x05", 4);
        QTest::newRow("broker killed while connected") << "killed" << QByteArray();
        QTest::newRow("broker killed, then publishing") << "killed, publishing" << QByteArray();
    }

    void failedConnectionEndsDisconnected()
    {
        QFETCH(QString, peer);
        QFETCH(QByteArray, answer);

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QByteArray seen;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *s = server.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [&, s] {
                seen += s->readAll();
                s->write(answer);
                if (peer == QLatin1String("closes"))
                    s->close();
            });
        });

        MqttClient client;
        client.setConnectTimeout(300);
        QList<MqttClient::ClientState> states;
        connect(&client, &MqttClient::stateChanged, this,
                [&](MqttClient::ClientState s) { states << s; });
        const bool viaBroker = peer.startsWith(QLatin1String("killed"));
        if (viaBroker) {
            QVERIFY(connectSubscribed(client, m_broker.port()));
            m_broker.kill(); // the box restarts or loses power
            // Writing to a connection whose peer has gone must not kill the process (SIGPIPE).
            for (int i = 0; peer.endsWith(QLatin1String("publishing")) && i < 50; ++i)
                client.publish(Topic, QByteArray(1000, 'r'));
        } else {
            client.setHostname(Host);
            client.setPort(peer == QLatin1String("none") ? freeTcpPort() : server.serverPort());
            client.connectToHost();
            if (peer != QLatin1String("none"))
                QTRY_COMPARE_WITH_TIMEOUT(seen.isEmpty() ? 0 : quint8(seen.at(0)), quint8(0x10),
                                          Timeout); // CONNECT
        }
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), MqttClient::Disconnected, Timeout);
        QCOMPARE(states.last(), MqttClient::Disconnected);
        QCOMPARE(client.publish(Topic, "x"), -1);

        // Disconnected means the next operation connects again, and the new session works.
        QVERIFY(m_broker.start());
        QVERIFY(connectSubscribed(client, m_broker.port()));
    }

    void nestedDelivery()
    {
        // A report handler that waits in a local loop (a question box, a countdown) must see the
        // reports that arrive meanwhile, delivered nested and in order. (The connection closing
        // while a handler waits is a seed of the MQTT fuzzer.)
        MqttClient client;
        QVERIFY(connectSubscribed(client, m_broker.port()));
        RawMqttPeer peer;
        QVERIFY(peer.connectTo(Host, m_broker.port()));

        QStringList log;
        connect(&client, &MqttClient::messageReceived, this, [&](const QByteArray &payload) {
            log << QString::fromLatin1(payload);
            if (payload != "1")
                return;
            peer.publish(Topic, "2");
            peer.publish(Topic, "3");
            QVERIFY(QTest::qWaitFor([&log] { return log.size() == 3; }, Timeout));
            log << QStringLiteral("end 1");
        });
        peer.publish(Topic, "1");
        QTRY_COMPARE_WITH_TIMEOUT(log.size(), 4, 2 * Timeout);
        QCOMPARE(log, (QStringList{"1", "2", "3", "end 1"}));
    }

    void clientDeleted_data()
    {
        QTest::addColumn<QString>("when");
        for (const char *when : {"in the message handler", "by deleteLater in the message handler",
                                 "while the message handler waits", "on Connected",
                                 "on Disconnected, no answer", "on Disconnected, broker lost"})
            QTest::newRow(when) << QString::fromLatin1(when);
    }

    void clientDeleted()
    {
        // A window closed in one of its client's handlers deletes the client under that handler.
        QFETCH(QString, when);
        const auto is = [&when](const char *what) { return when.contains(QLatin1String(what)); };
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        RawMqttPeer peer;
        QVERIFY(peer.connectTo(Host, m_broker.port()));
        QVERIFY(peer.subscribe(Topic));

        auto *client = new MqttClient;
        QPointer<MqttClient> alive(client);
        client->setConnectTimeout(200);
        client->setHostname(Host);
        client->setPort(is("no answer") ? silent.serverPort() : m_broker.port());
        connect(client, &MqttClient::stateChanged, this, [&, client](MqttClient::ClientState s) {
            if ((s == MqttClient::Connected && is("on Connected")) ||
                (s == MqttClient::Disconnected && is("on Disconnected")))
                delete client;
        });
        client->connectToHost();
        if (is("message") || is("lost")) {
            QVERIFY(connectSubscribed(*client, m_broker.port()));
        }
        int handled = 0;
        if (alive)
            connect(client, &MqttClient::messageReceived, this, [&, client] {
                if (++handled > 1 && !is("deleteLater"))
                    return;
                if (is("deleteLater")) {
                    client->deleteLater();
                } else if (is("waits")) {
                    QTimer::singleShot(0, [client] { delete client; });
                    peer.publish(Topic, "while deleted"); // more bytes for the dying socket
                    QVERIFY(QTest::qWaitFor([&alive] { return alive.isNull(); }, Timeout));
                } else {
                    delete client;
                }
            });

        if (is("message")) {
            for (int i = 0; i < 5; ++i)
                peer.publish(Topic, QByteArray(64 * 1024, char('a' + i)));
        } else if (is("lost")) {
            m_broker.kill();
        }
        QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), Timeout);
        if (m_broker.isRunning())
            QVERIFY(peer.sync(Timeout)); // the loop ran over whatever the dead socket still held
        if (when == QLatin1String("in the message handler") || is("waits"))
            QCOMPARE(handled, 1);
    }

private:
    MosquittoBroker m_broker;
};

QTEST_GUILESS_MAIN(tst_MqttClient)
#include "tst_mqttclient.moc"
