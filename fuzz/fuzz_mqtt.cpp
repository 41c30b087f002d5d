// Any bytes as what a box's broker sends back: a loopback server takes the MQTT client's
// connection, reads its CONNECT and answers with the input. The client must come through
// without a crash or a hang, say Connected only after a CONNACK, and notice a closed
// connection; its message handlers may wait in local loops or delete the client, as windows do.

#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr double TimeScale = 0.01;
constexpr int StepLimitMs = 3000;

// Bits of the first input byte.
enum Flags {
    SendConnAck = 0x01,   // a CONNACK that accepts goes first
    InPieces = 0x02,      // the bytes arrive in small pieces, the event loop running between
    CloseAfter = 0x04,    // the broker closes the connection after its bytes
    UseClient = 0x08,     // subscribe and publish once connected
    HandlerWaits = 0x10,  // message handlers run a local wait, as the windows' reports do
    HandlerDeletes = 0x20 // the first message handler deletes the client, as a closed window does
};

const QByteArray ConnAck = QByteArray::fromHex("20020000");

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_mqtt: %s\n", what);
    std::abort();
}

template<typename Condition>
bool spinUntil(Condition done, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

bool hasConnAckType(const QByteArray &bytes)
{
    for (const char c : bytes) {
        if ((uchar(c) & 0xF0) == 0x20)
            return true;
    }
    return false;
}

QTcpServer *broker = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_mqtt";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    LocalWait::setTimeScaleForTests(TimeScale);
    broker = new QTcpServer;
    if (!broker->listen(QHostAddress::LocalHost, 0))
        fail("cannot listen on loopback");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int flags = size > 0 ? data[0] : 0;
    const int piece = size > 1 ? (data[1] % 32) + 1 : 1;
    QByteArray bytes;
    if (size > 2)
        bytes = QByteArray(reinterpret_cast<const char *>(data + 2), int(size - 2));
    if (flags & SendConnAck)
        bytes.prepend(ConnAck);

    QPointer<MqttClient> client = new MqttClient;
    client->setHostname(QStringLiteral("127.0.0.1"));
    client->setPort(broker->serverPort());
    client->setConnectTimeout(LocalWait::scaled(30000));
    QObject::connect(client, &MqttClient::messageReceived, client,
                     [&client, flags](const QByteArray &, const MqttTopicName &) {
                         if (flags & HandlerWaits)
                             LocalWait::wait(100);
                         if ((flags & HandlerDeletes) && client)
                             delete client.data();
                     });
    client->connectToHost();

    if (!broker->waitForNewConnection(StepLimitMs))
        fail("the client did not connect");
    QTcpSocket *peer = broker->nextPendingConnection();
    if (!spinUntil([peer] { return peer->bytesAvailable() > 0; }, StepLimitMs))
        fail("the client sent no CONNECT");
    peer->readAll();

    for (int at = 0; at < bytes.size();) {
        const int n = (flags & InPieces) ? piece : bytes.size();
        peer->write(bytes.mid(at, n));
        peer->flush();
        at += n;
        if (flags & InPieces)
            QCoreApplication::processEvents();
    }
    if (flags & CloseAfter)
        peer->disconnectFromHost();

    // Let the client read it all: until it has gone, or for a few passes of the loop.
    spinUntil([&client] { return !client || client->state() == MqttClient::Disconnected; }, 5);
    // The library skips zero bytes, ignores the flags of a packet type and takes packets before
    // the CONNACK, so all that can be asked is that a byte of the CONNACK type came at all.
    if (client && client->state() == MqttClient::Connected && !hasConnAckType(bytes))
        fail("Connected without a CONNACK");
    if (client && (flags & UseClient) && client->state() == MqttClient::Connected) {
        client->subscribe(Topics::RecoveryReport, 0);
        if (client && client->publish(Topics::Restart, Payloads::Restart, 0, false) != 0 &&
            client && client->state() == MqttClient::Connected)
            fail("a connected client refused a publish");
    }
    if ((flags & CloseAfter) &&
        !spinUntil([&client] { return !client || client->state() == MqttClient::Disconnected; },
                   StepLimitMs))
        fail("the client did not notice the closed connection");

    delete client.data();
    peer->abort();
    delete peer;
    QCoreApplication::processEvents();
    return 0;
}
