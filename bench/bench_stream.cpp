// Figures for the image stream of the update window: the rate it achieves against its pacing
// (one chunk per 200 ms: 5 MiB/s for camera images, 10 MiB/s for system images), and the
// tool's peak memory while a box reads slowly. Real time, nothing scaled. The box's port is
// played by a child process, so that only the tool's memory is measured.
//
//   bench_stream            all figures
//   bench_stream rate       achieved rate only
//   bench_stream memory     peak memory with a 2 MiB/s reader only

#include "form.h"
#include "procstatus.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr qint64 MiB = 1024 * 1024;

using ProcStatus::resetPeak;
using ProcStatus::statusKiB;

QString writeImage(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    QByteArray block(int(MiB), Qt::Uninitialized);
    quint32 x = 12345;
    for (qint64 done = 0; done < size; done += block.size()) {
        char *p = block.data();
        for (int i = 0; i < block.size(); ++i) {
            x = x * 1664525u + 1013904223u;
            p[i] = char(x >> 24);
        }
        f.write(block.constData(), qMin<qint64>(block.size(), size - done));
    }
    return path;
}

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

} // namespace

// Streams one image to a receiver process through the window's own stream slot.
class StreamBench
{
public:
    struct Result
    {
        qint64 received = 0;
        qint64 streamMs = 0;       // the slot's run less its 1000 ms connect wait
        qint64 receiverSpanMs = 0; // first to last byte at the receiver
        qint64 baseKiB = 0;        // resident before the stream
        qint64 peakKiB = 0;        // highest resident during it
    };

    static Result run(bool systemMode, const QString &path, qint64 size, qint64 readRate)
    {
        Result result;
        QProcess receiver;
        receiver.start(
                QCoreApplication::applicationFilePath(),
                {QStringLiteral("--receiver"), QString::number(readRate), QString::number(size)});
        if (!receiver.waitForReadyRead(10000))
            return result;
        const quint16 port = quint16(receiver.readLine().trimmed().toUInt());

        Form form(QStringLiteral("127.0.0.1"), QString(), QString(), systemMode);
        Endpoints endpoints;
        endpoints.streamPort = port;
        form.setEndpoints(endpoints);
        form.show();
        // As after a published request for this file.
        form.filePath = path;
        form.fileSize = size;
        form.announcedSize = size;
        form.cameraUpdating = form.systemUpdating = true;

        QCoreApplication::processEvents();
        result.baseKiB = statusKiB("VmRSS");
        const bool peakReset = resetPeak();
        qint64 sampledPeak = result.baseKiB;
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout,
                         [&] { sampledPeak = qMax(sampledPeak, statusKiB("VmRSS")); });
        sampler.start(20);

        QElapsedTimer clock;
        clock.start();
        form.Tcp_Transfer_File();
        result.streamMs = clock.elapsed() - 1000;

        // What is still buffered drains to the receiver, which then reports and exits.
        QEventLoop drain;
        QObject::connect(&receiver, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                         &drain, &QEventLoop::quit);
        QTimer::singleShot(600000, &drain, &QEventLoop::quit);
        if (receiver.state() != QProcess::NotRunning)
            drain.exec();
        sampler.stop();
        result.peakKiB = peakReset ? qMax(statusKiB("VmHWM"), sampledPeak) : sampledPeak;

        const QList<QByteArray> figures = receiver.readAll().trimmed().split(' ');
        result.received = figures.value(0).toLongLong();
        result.receiverSpanMs = figures.value(2).toLongLong() - figures.value(1).toLongLong();
        form.cameraUpdating = form.systemUpdating = false;
        return result;
    }
};

namespace {

double mibPerSecond(qint64 bytes, qint64 ms)
{
    return ms > 0 ? double(bytes) / MiB / (double(ms) / 1000.0) : 0.0;
}

void rate(const QTemporaryDir &dir)
{
    std::printf("Achieved rate, receiver reading as fast as it can (32 MiB image)\n");
    const qint64 size = 32 * MiB;
    const QString path = writeImage(dir.filePath(QStringLiteral("rate.img")), size);
    for (const bool system : {false, true}) {
        const StreamBench::Result r = StreamBench::run(system, path, size, 0);
        std::printf("  %-6s chunk %d MiB: %lld bytes in %lld ms = %.2f MiB/s (limit %d MiB/s);"
                    " receiver first to last byte %lld ms\n",
                    system ? "system" : "camera", system ? 2 : 1, r.received, r.streamMs,
                    mibPerSecond(r.received, r.streamMs), system ? 10 : 5, r.receiverSpanMs);
    }
}

void memory(const QTemporaryDir &dir)
{
    std::printf("Peak memory, receiver reading at 2 MiB/s (64 MiB image)\n");
    const qint64 size = 64 * MiB;
    const QString path = writeImage(dir.filePath(QStringLiteral("memory.img")), size);
    for (const bool system : {true, false}) {
        const StreamBench::Result r = StreamBench::run(system, path, size, 2 * MiB);
        std::printf("  %-6s chunk %d MiB: resident %.1f MiB before, peak %.1f MiB during"
                    " (+%.1f MiB); %lld bytes in %lld ms = %.2f MiB/s\n",
                    system ? "system" : "camera", system ? 2 : 1, r.baseKiB / 1024.0,
                    r.peakKiB / 1024.0, (r.peakKiB - r.baseKiB) / 1024.0, r.received, r.streamMs,
                    mibPerSecond(r.received, r.streamMs));
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
    if (!dir.isValid())
        return 1;
    const QByteArray which = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (which.isEmpty() || which == "rate")
        rate(dir);
    if (which.isEmpty() || which == "memory")
        memory(dir);
    return 0;
}
