// Figures for the image stream of the update window: the rate it achieves against its pacing
// (one chunk per 200 ms: 5 MiB/s for camera images, 10 MiB/s for system images), and the
// tool's peak memory while a box reads slowly. Each run is an operator's: Browser, Start and
// Yes on a window whose box is a broker on loopback and a receiver process on the stream
// port, so that only the tool's memory is measured. Real time, nothing scaled.
//
//   bench_stream            all figures
//   bench_stream rate       achieved rate only
//   bench_stream memory     peak memory with a 2 MiB/s reader only

#include "form.h"
#include "mosquittobroker.h"
#include "mqtttopics.h"
#include "procstatus.h"
#include "rawmqttpeer.h"
#include "scripteddialogs.h"
#include "updatewindowrun.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

using ProcStatus::resetPeak;
using ProcStatus::statusKiB;
using UpdateWindowRun::MiB;

struct StreamFigures
{
    qint64 received = 0;
    qint64 paced = 0;          // bytes after the first chunk
    qint64 receiverSpanMs = 0; // first to last byte at the receiver
    qint64 baseKiB = 0;        // resident when the request was published
    qint64 peakKiB = 0;        // highest resident from then on
};

// The box's port 8000: accepts one connection and reads `expected` bytes, at most `rate`
// bytes per second (0: as fast as they come). Prints its port, then "bytes first_ms last_ms".
int runReceiver(qint64 rate, qint64 expected)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 1;
    std::printf("%d\n", server.serverPort());
    std::fflush(stdout);

    QTcpSocket *socket = nullptr;
    qint64 got = 0, first = -1, last = -1;
    QElapsedTimer clock;
    QEventLoop loop;
    auto take = [&] {
        if (!socket)
            return;
        qint64 allowed = socket->bytesAvailable();
        if (rate > 0)
            allowed = qMin(allowed, rate * clock.elapsed() / 1000 - got);
        if (allowed <= 0)
            return;
        const qint64 n = socket->read(qMin<qint64>(allowed, 4 * MiB)).size();
        if (n > 0) {
            if (first < 0)
                first = clock.elapsed();
            last = clock.elapsed();
            got += n;
        }
        if (got >= expected)
            loop.quit();
    };
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        socket = server.nextPendingConnection();
        clock.start();
        if (rate > 0)
            socket->setReadBufferSize(64 * 1024); // the kernel holds the rest back
        QObject::connect(socket, &QTcpSocket::readyRead, take);
        QObject::connect(socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    });
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, take);
    pace.start(10);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();
    std::printf("%lld %lld %lld\n", got, first, last);
    std::fflush(stdout);
    return 0;
}

// Streams one image to a receiver process: an operator's run (Browser, Start, Yes) on a window
// whose broker is `brokerPort` and whose stream port is the receiver's.
StreamFigures streamOnce(bool systemMode, const QString &path, qint64 size, qint64 readRate,
                         quint16 brokerPort, ScriptedDialogs &dialogs, RawMqttPeer &peer)
{
    StreamFigures result;
    QProcess receiver;
    receiver.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--receiver"), QString::number(readRate), QString::number(size)});
    if (!receiver.waitForReadyRead(10000))
        return result;
    const quint16 port = quint16(receiver.readLine().trimmed().toUInt());

    Form *form = UpdateWindowRun::openWindow(systemMode, brokerPort, port, dialogs, path);
    // From the request's publish on: the digest is over, the stream starts 5000 ms later.
    const int before = peer.messages.size();
    qint64 sampledPeak = 0;
    bool peakReset = false;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { sampledPeak = qMax(sampledPeak, statusKiB("VmRSS")); });
    const QMetaObject::Connection arrived =
            QObject::connect(&peer, &RawMqttPeer::messageArrived, [&] {
                if (sampler.isActive() || peer.messages.size() <= before)
                    return;
                result.baseKiB = sampledPeak = statusKiB("VmRSS");
                peakReset = resetPeak();
                sampler.start(20);
            });

    // The receiver exits when it has the whole image.
    QEventLoop drain;
    QObject::connect(&receiver, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &drain,
                     &QEventLoop::quit);
    QTimer::singleShot(600000, &drain, &QEventLoop::quit);
    if (UpdateWindowRun::startWithYes(form, dialogs) && receiver.state() != QProcess::NotRunning)
        drain.exec();
    sampler.stop();
    QObject::disconnect(arrived);
    result.peakKiB = peakReset ? qMax(statusKiB("VmHWM"), sampledPeak) : sampledPeak;
    delete form;

    const QList<QByteArray> figures = receiver.readAll().trimmed().split(' ');
    result.received = figures.value(0).toLongLong();
    result.receiverSpanMs = figures.value(2).toLongLong() - figures.value(1).toLongLong();
    // Each chunk after the first took one pacing period.
    const qint64 chunk = systemMode ? Transfer::SystemBufferSize : Transfer::CameraBufferSize;
    result.paced = qMax<qint64>(0, result.received - chunk);
    return result;
}

double mibPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / MiB / (double(ms) / 1000.0) : 0.0;
}

// The box: its broker, and a peer on it that sees the requests arrive.
struct Box
{
    ScriptedDialogs dialogs;
    MosquittoBroker broker;
    RawMqttPeer peer;

    bool start()
    {
        return broker.start() && peer.connectTo(broker.address(), broker.port()) &&
               peer.subscribe(Topics::UpdateCameraRequest) &&
               peer.subscribe(Topics::UpdateSystemRequest);
    }
    StreamFigures stream(bool systemMode, const QString &path, qint64 size, qint64 readRate)
    {
        return streamOnce(systemMode, path, size, readRate, broker.port(), dialogs, peer);
    }
};

void rate(const QTemporaryDir &dir, Box &box)
{
    std::printf("Achieved rate, receiver reading as fast as it can (32 MiB image)\n");
    const qint64 size = 32 * MiB;
    const QString path = dir.filePath(QStringLiteral("rate.img"));
    UpdateWindowRun::writeImage(path, size);
    for (const bool system : {false, true}) {
        const StreamFigures r = box.stream(system, path, size, 0);
        std::printf("  %-6s chunk %d MiB: %lld bytes, %lld after the first chunk in %lld ms = "
                    "%.2f MiB/s (limit %d MiB/s)\n",
                    system ? "system" : "camera", system ? 2 : 1, r.received, r.paced,
                    r.receiverSpanMs, mibPerSecond(r.paced, r.receiverSpanMs), system ? 10 : 5);
    }
}

void memory(const QTemporaryDir &dir, Box &box)
{
    std::printf("Peak memory, receiver reading at 2 MiB/s (64 MiB image)\n");
    const qint64 size = 64 * MiB;
    const QString path = dir.filePath(QStringLiteral("memory.img"));
    UpdateWindowRun::writeImage(path, size);
    for (const bool system : {true, false}) {
        const StreamFigures r = box.stream(system, path, size, 2 * MiB);
        std::printf("  %-6s chunk %d MiB: resident %.1f MiB before, peak %.1f MiB during"
                    " (+%.1f MiB); %lld bytes in %lld ms = %.2f MiB/s\n",
                    system ? "system" : "camera", system ? 2 : 1, r.baseKiB / 1024.0,
                    r.peakKiB / 1024.0, (r.peakKiB - r.baseKiB) / 1024.0, r.received,
                    r.receiverSpanMs, mibPerSecond(r.paced, r.receiverSpanMs));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--receiver") == 0) {
        QCoreApplication app(argc, argv);
        return runReceiver(QByteArray(argv[2]).toLongLong(), QByteArray(argv[3]).toLongLong());
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    Box box;
    if (!dir.isValid() || !box.start()) {
        std::fprintf(stderr, "bench_stream: no temporary folder or no broker\n");
        return 1;
    }
    const QByteArray which = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (which.isEmpty() || which == "rate")
        rate(dir, box);
    if (which.isEmpty() || which == "memory")
        memory(dir, box);
    return 0;
}
