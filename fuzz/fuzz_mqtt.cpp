// Any bytes as what a box's broker sends back: a loopback server takes the MQTT client's
// connection, reads its CONNECT and answers with the input. The client must come through
// without a crash or a hang, say Connected only after a CONNACK, and notice a closed
// connection; its message handlers may wait in local loops or delete the client, as windows do.

#include "fuzzsupport.h"
#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <cstdint>

namespace {

// Bits of the first input byte.
enum Flags {
    SendConnAck = 0x01,   // a CONNACK that accepts goes first
    InPieces = 0x02,      // the bytes arrive in small pieces, the event loop running between
    CloseAfter = 0x04,    // the broker closes the connection after its bytes
    UseClient = 0x08,     // subscribe and publish once connected
    HandlerWaits = 0x10,  // message handlers run a local wait, as the windows' reports do
    HandlerDeletes = 0x20 // the first message handler deletes the client, as a closed window does
};

QTcpServer *broker = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzApp<QCoreApplication>();
    LocalWait::setTimeScaleForTests(0.01);
    broker = new QTcpServer;
    fuzzCheck(broker->listen(QHostAddress::LocalHost, 0), "cannot listen on loopback");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int flags = size > 0 ? data[0] : 0;
    const int piece = size > 1 ? (data[1] % 32) + 1 : 1;
    QByteArray bytes(reinterpret_cast<const char *>(data) + qMin<size_t>(size, 2),
                     int(size - qMin<size_t>(size, 2)));
    if (flags & SendConnAck)
        bytes.prepend(QByteArray::fromHex("20020000"));

    QPointer<MqttClient> client = new MqttClient;
    client->setHostname(QStringLiteral("127.0.0.1"));
    client->setPort(broker->serverPort());
    client->setConnectTimeout(LocalWait::scaled(30000));
    QObject::connect(client, &MqttClient::messageReceived, client, [&client, flags] {
        if (flags & HandlerWaits)
            LocalWait::wait(100);
        if ((flags & HandlerDeletes) && client)
            delete client.data();
    });
    client->connectToHost();

    fuzzCheck(broker->waitForNewConnection(3000), "the client did not connect");
    QTcpSocket *peer = broker->nextPendingConnection();
    fuzzCheck(QTest::qWaitFor([peer] { return peer->bytesAvailable() > 0; }, 3000),
              "the client sent no CONNECT");
    peer->readAll();
    for (int at = 0; at < bytes.size(); at += (flags & InPieces) ? piece : bytes.size()) {
        peer->write(bytes.mid(at, (flags & InPieces) ? piece : bytes.size()));
        peer->flush();
        if (flags & InPieces)
            QCoreApplication::processEvents();
    }
    if (flags & CloseAfter)
        peer->disconnectFromHost();
    const auto gone = [&client] { return !client || client->state() == MqttClient::Disconnected; };
    static_cast<void>(QTest::qWaitFor(gone, 5)); // let the client read it all

    // The library skips zero bytes, ignores the flags of a packet type and takes packets before
    // the CONNACK, so all that can be asked is that a byte of the CONNACK type came at all.
    const bool connAckType =
            std::any_of(bytes.begin(), bytes.end(), [](char c) { return (uchar(c) >> 4) == 2; });
    fuzzCheck(!client || client->state() != MqttClient::Connected || connAckType,
              "Connected without a CONNACK");
    if (client && (flags & UseClient) && client->state() == MqttClient::Connected) {
        client->subscribe(Topics::RecoveryReport, 0);
        fuzzCheck(!client || client->publish(Topics::Restart, Payloads::Restart, 0, false) == 0 ||
                          client->state() != MqttClient::Connected,
                  "a connected client refused a publish");
    }
    fuzzCheck(!(flags & CloseAfter) || QTest::qWaitFor(gone, 3000),
              "the client did not notice the closed connection");
    delete client.data();
    delete peer;
    QCoreApplication::processEvents();
    return 0;
}
