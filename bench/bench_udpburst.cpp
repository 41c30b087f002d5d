// The reference for the search's figures (bench_discovery): the same bursts of N valid
// 105-byte replies, sent at once from loopback to a bare UDP socket with the receive buffer
// the search asks for, read and frame-checked only, no table. How many arrive and how fast
// is what the kernel and a socket alone achieve on this machine.
//
//   bench_udpburst       N = 100, 1000, 2000, 5000

#include "framecheck.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

namespace {

constexpr int ReplySize = 105;
// As much as the search asks of the kernel for its socket.
constexpr int ReceiveBufferSize = 8 * 1024 * 1024;

// A valid reply for box number `n`: its own record IP and MAC, the CRC stored high byte first.
QByteArray reply(int n)
{
    QByteArray f(ReplySize, '\0');
    f[0] = char(0xFA);
    f[1] = char(0x01);
    f[2] = char(ReplySize - 5);
    f[3] = char(10);
    f[4] = char((n >> 16) & 0xFF);
    f[5] = char((n >> 8) & 0xFF);
    f[6] = char(n & 0xFF);
    f[7] = char(0x02);
    f[11] = char((n >> 8) & 0xFF);
    f[12] = char(n & 0xFF);
    uchar low = 0, high = 0;
    FrameCheck().Crc16(reinterpret_cast<const uchar *>(f.constData()), ReplySize - 2, &low, &high);
    f[ReplySize - 2] = char(high);
    f[ReplySize - 1] = char(low);
    return f;
}

struct Result
{
    int sent = 0;
    int received = 0;
    double msToLast = -1;
};

Result burst(int n)
{
    QVector<QByteArray> replies;
    for (int i = 1; i <= n; ++i)
        replies << reply(i);

    QUdpSocket receiver;
    receiver.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    receiver.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, ReceiveBufferSize);
    QUdpSocket sender;
    sender.bind(QHostAddress(QHostAddress::LocalHost), 0);

    Result r;
    FrameCheck check;
    QElapsedTimer clock;
    QEventLoop loop;
    QTimer quiet; // no datagram for this long: the burst is over
    quiet.setSingleShot(true);
    quiet.setInterval(500);
    QObject::connect(&quiet, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&receiver, &QUdpSocket::readyRead, [&] {
        uchar buffer[2048];
        while (receiver.hasPendingDatagrams()) {
            const qint64 size =
                    receiver.readDatagram(reinterpret_cast<char *>(buffer), sizeof buffer);
            if (size == ReplySize && check.CheckFrame(buffer, ReplySize, 0xFA, 0x01))
                ++r.received;
        }
        r.msToLast = clock.nsecsElapsed() / 1e6;
        if (r.received >= n)
            loop.quit();
        else
            quiet.start();
    });

    clock.start();
    for (const QByteArray &datagram : qAsConst(replies))
        r.sent += sender.writeDatagram(datagram, QHostAddress::LocalHost, receiver.localPort()) ==
                  datagram.size();
    quiet.start();
    loop.exec();
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QFile rmem(QStringLiteral("/proc/sys/net/core/rmem_max"));
    if (rmem.open(QIODevice::ReadOnly))
        std::printf("net.core.rmem_max = %s\n", rmem.readAll().trimmed().constData());
    std::printf("%8s %8s %8s %8s %14s %14s\n", "N", "sent", "received", "lost", "ms to last",
                "per second");
    for (const int n : {100, 1000, 2000, 5000}) {
        const Result r = burst(n);
        std::printf("%8d %8d %8d %8d %14.1f %14.0f\n", n, r.sent, r.received, n - r.received,
                    r.msToLast, r.msToLast > 0 ? r.received / (r.msToLast / 1000) : 0.0);
        std::fflush(stdout);
    }
    return 0;
}
