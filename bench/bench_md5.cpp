// Figures for the digest an update request carries, all from one run on the same image in the
// page cache, each next to md5sum on that file measured in the same round:
// - the digest the update window runs (on its worker, the window in a local event loop), its
//   longest event-loop stall and the resident memory it adds;
// - the two MD5 implementations a Debian system offers, Qt's and OpenSSL's, on one thread;
// - an operator's Yes to the request's publish on the box's broker, for that image and for a
//   64 MiB camera image. Real time, nothing scaled.
//
//   bench_md5 [MIB]      image size in MiB (1024)

#include "form.h"
#include "imagedigest.h"
#include "mosquittobroker.h"
#include "mqtttopics.h"
#include "procstatus.h"
#include "rawmqttpeer.h"
#include "scripteddialogs.h"
#include "updatewindowrun.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

using ProcStatus::resetPeak;
using ProcStatus::statusKiB;
using UpdateWindowRun::MiB;

constexpr int Runs = 3;

// The longest gap between two runs of a 1 ms timer: how long the event loop stood still.
class GapMeter
{
public:
    GapMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = qMax(m_longest, now - m_last);
            m_last = now;
        });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start(1);
    }
    double stopMs()
    {
        m_timer.stop();
        m_longest = qMax(m_longest, m_clock.nsecsElapsed() - m_last);
        return m_longest / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

double worst(const QList<double> &values)
{
    return values.isEmpty() ? 0 : *std::max_element(values.begin(), values.end());
}

QByteArray loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').mid(0, 3).join(' ') : "?";
}

// md5sum on the file: seconds, and its digest.
double md5sum(const QString &path, QByteArray *md5)
{
    QProcess p;
    QElapsedTimer clock;
    clock.start();
    p.start(QStringLiteral("md5sum"), {path});
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return -1;
    const double seconds = clock.nsecsElapsed() / 1e9;
    *md5 = p.readAllStandardOutput().split(' ').value(0);
    return seconds;
}

// Qt's MD5 over the file, read in the blocks the window's digest reads, on this thread.
QByteArray qtMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    QCryptographicHash md5(QCryptographicHash::Md5);
    QByteArray block(int(ImageDigest::BlockSize), Qt::Uninitialized);
    qint64 n = 0;
    while ((n = file.read(block.data(), block.size())) > 0)
        md5.addData(block.constData(), int(n));
    return n < 0 ? QByteArray() : md5.result().toHex();
}

// OpenSSL's MD5 over the file: the window's digest run on this thread.
QByteArray opensslMd5(const QString &path)
{
    const std::atomic_bool never(false);
    return ImageDigest::md5(path, never).md5Hex;
}

template<typename F>
double seconds(F f, QByteArray *md5)
{
    QElapsedTimer clock;
    clock.start();
    *md5 = f();
    return clock.nsecsElapsed() / 1e9;
}

struct DigestFigures
{
    double seconds = 0;
    double stallMs = 0;
    qint64 extraKiB = 0; // peak resident above what was resident before
    QByteArray md5;
};

// The digest as the update window runs it: on its worker, this thread in a local event loop.
DigestFigures windowDigest(const QString &path)
{
    QObject window;
    DigestFigures f;
    const qint64 base = statusKiB("VmRSS");
    const bool peakReset = resetPeak();
    GapMeter gaps;
    QElapsedTimer clock;
    gaps.start();
    clock.start();
    f.md5 = ImageDigest::md5InBackground(path, &window).md5Hex;
    f.seconds = clock.nsecsElapsed() / 1e9;
    f.stallMs = gaps.stopMs();
    f.extraKiB = (peakReset ? statusKiB("VmHWM") : statusKiB("VmRSS")) - base;
    return f;
}

// An operator's run: Browser picks the image, Start and Yes; ends when the box's broker
// delivers the request, and the window is closed then.
DigestFigures yesToPublish(const QString &path, quint16 brokerPort, ScriptedDialogs &dialogs,
                           RawMqttPeer &peer)
{
    DigestFigures f;
    // Nothing listens on the stream port: the window is gone before it would stream.
    QPointer<Form> form =
            UpdateWindowRun::openWindow(false, brokerPort, freeTcpPort(), dialogs, path);
    const int before = peer.messages.size();
    QElapsedTimer clock;
    GapMeter gaps;
    const qint64 base = statusKiB("VmRSS");
    const bool peakReset = resetPeak();
    const QMetaObject::Connection arrived =
            QObject::connect(&peer, &RawMqttPeer::messageArrived, [&] {
                if (f.seconds > 0 || peer.messages.size() <= before)
                    return;
                f.seconds = clock.nsecsElapsed() / 1e9;
                f.stallMs = gaps.stopMs();
                f.extraKiB = (peakReset ? statusKiB("VmHWM") : statusKiB("VmRSS")) - base;
                f.md5 = QJsonDocument::fromJson(peer.messages.last().payload)
                                .object()
                                .value(QStringLiteral("file_md5"))
                                .toString()
                                .toLatin1();
                if (form)
                    form->deleteLater();
            });
    QEventLoop loop;
    QObject::connect(form, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    gaps.start();
    clock.start();
    if (!UpdateWindowRun::startWithYes(form, dialogs))
        return f;
    if (form)
        loop.exec();
    QObject::disconnect(arrived);
    delete form;
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 size = sizeMiB * MiB;
    const QByteArray loadBefore = loadAverage();

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    const QString cameraPath = dir.filePath(QStringLiteral("camera.bin"));
    if (!dir.isValid() || !UpdateWindowRun::writeImage(path, size) ||
        !UpdateWindowRun::writeImage(cameraPath, 64 * MiB)) {
        std::fprintf(stderr, "bench_md5: cannot write the images in %s\n", qPrintable(dir.path()));
        return 1;
    }

    // The box's broker, and a peer on it that sees the request arrive.
    ScriptedDialogs dialogs;
    MosquittoBroker broker;
    RawMqttPeer peer;
    if (!broker.start() || !peer.connectTo(broker.address(), broker.port()) ||
        !peer.subscribe(Topics::UpdateCameraRequest)) {
        std::fprintf(stderr, "bench_md5: no broker (is mosquitto installed?)\n");
        return 1;
    }

    // The idle event loop over one second: what the 1 ms timer shows when nothing blocks it.
    GapMeter idle;
    idle.start();
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double idleStallMs = idle.stopMs();

    // A first md5sum brings the file into the page cache; the rounds alternate after it.
    QByteArray reference, cameraReference;
    if (md5sum(path, &reference) < 0 || md5sum(cameraPath, &cameraReference) < 0) {
        std::fprintf(stderr, "bench_md5: md5sum failed\n");
        return 1;
    }
    QList<double> md5sumS, windowS, stalls, qtS, opensslS, yesS, yesStalls, cameraYesS;
    qint64 extraKiB = 0, yesExtraKiB = 0;
    bool match = true;
    for (int i = 0; i < Runs; ++i) {
        QByteArray md5;
        md5sumS << md5sum(path, &md5);
        match = match && md5 == reference;

        const DigestFigures w = windowDigest(path);
        windowS << w.seconds;
        stalls << w.stallMs;
        extraKiB = qMax(extraKiB, w.extraKiB);
        match = match && w.md5 == reference;

        qtS << seconds([&] { return qtMd5(path); }, &md5);
        match = match && md5 == reference;
        opensslS << seconds([&] { return opensslMd5(path); }, &md5);
        match = match && md5 == reference;

        const DigestFigures y = yesToPublish(path, broker.port(), dialogs, peer);
        yesS << y.seconds;
        yesStalls << y.stallMs;
        yesExtraKiB = qMax(yesExtraKiB, y.extraKiB);
        match = match && y.md5 == reference;

        const DigestFigures c = yesToPublish(cameraPath, broker.port(), dialogs, peer);
        cameraYesS << c.seconds;
        match = match && c.md5 == cameraReference;
    }
    const QByteArray loadAfter = loadAverage();

    const double ref = median(md5sumS), tool = median(windowS);
    const double qt = median(qtS), openssl = median(opensslS);
    const double yes = median(yesS), cameraYes = median(cameraYesS);
    const double mib = double(size) / MiB;
    // Start's two 10 ms waits and the 1000 ms wait for the broker connection.
    const double fixedWaits = 1.02;
    const char *agree = match ? "agree" : "DIFFER";

    std::printf("MD5 of a %lld MiB image, median of %d rounds, file in the page cache; load "
                "average %s before, %s after\n",
                sizeMiB, Runs, loadBefore.constData(), loadAfter.constData());
    std::printf("  window's digest (worker):   %.2f s = %.0f MiB/s\n", tool, mib / tool);
    std::printf("  md5sum:                     %.2f s = %.0f MiB/s\n", ref, mib / ref);
    std::printf("  ratio (window's digest / md5sum): %.2f (rounds:", tool / ref);
    for (int i = 0; i < Runs; ++i)
        std::printf(" %.2f", windowS.at(i) / md5sumS.at(i));
    std::printf(")\n");
    std::printf("  OpenSSL EVP, one thread:    %.2f s = %.0f MiB/s\n", openssl, mib / openssl);
    std::printf("  Qt QCryptographicHash:      %.2f s = %.0f MiB/s\n", qt, mib / qt);
    std::printf("  digests %s\n", agree);
    std::printf("  longest event-loop stall during the digest: %.1f ms (median; worst %.1f ms); "
                "idle event loop: %.1f ms\n",
                median(stalls), worst(stalls), idleStallMs);
    std::printf("  peak resident memory above that before the digest: %.1f MiB\n",
                extraKiB / 1024.0);
    std::printf("  Yes to publish, %lld MiB image: %.2f s (%.2f s of it fixed waits); longest "
                "stall %.1f ms (worst %.1f ms); peak +%.1f MiB resident\n",
                sizeMiB, yes, fixedWaits, median(yesStalls), worst(yesStalls),
                yesExtraKiB / 1024.0);
    std::printf("  Yes to publish, 64 MiB camera image: %.0f ms\n", cameraYes * 1000);

    // One line per figure for scripts/bench.sh: figure | value | reference | notes.
    std::printf(
            "TABLE|MD5 of a %lld MiB image (update window's digest)|%.2f s (%.0f MiB/s)|md5sum "
            "%.2f s (%.0f MiB/s)|ratio %.2f (worst round %.2f); digests %s; median of %d, "
            "page cache warm; load %s before, %s after\n",
            sizeMiB, tool, mib / tool, ref, mib / ref, tool / ref,
            [&] {
                double w = 0;
                for (int i = 0; i < Runs; ++i)
                    w = qMax(w, windowS.at(i) / md5sumS.at(i));
                return w;
            }(),
            agree, Runs, loadBefore.constData(), loadAfter.constData());
    std::printf("TABLE|MD5 library on that image, one thread, %lld MiB reads|OpenSSL EVP %.2f s "
                "(%.0f MiB/s)|Qt QCryptographicHash %.2f s (%.0f MiB/s)|ratio OpenSSL / Qt %.2f; "
                "the window uses OpenSSL\n",
                ImageDigest::BlockSize / MiB, openssl, mib / openssl, qt, mib / qt, openssl / qt);
    std::printf("TABLE|Longest event-loop stall during that digest|%.1f ms (worst %.1f ms)|idle "
                "loop %.1f ms; target 50 ms|digest on a worker thread, window in a local event "
                "loop\n",
                median(stalls), worst(stalls), idleStallMs);
    std::printf("TABLE|Extra resident memory during that digest|+%.1f MiB|target 16 MiB; one "
                "block %lld MiB|peak resident (VmHWM) above the resident before\n",
                extraKiB / 1024.0, ImageDigest::BlockSize / MiB);
    std::printf("TABLE|Yes to the request's publish, %lld MiB image|%.2f s|%.2f s fixed waits + "
                "md5sum %.2f s = %.2f s|longest stall %.1f ms (worst %.1f ms), peak +%.1f MiB; "
                "seen by a peer on the broker\n",
                sizeMiB, yes, fixedWaits, ref, fixedWaits + ref, median(yesStalls),
                worst(yesStalls), yesExtraKiB / 1024.0);
    std::printf("TABLE|Yes to the request's publish, 64 MiB camera image|%.0f ms|%.0f ms fixed "
                "waits|median of %d; seen by a peer on the broker\n",
                cameraYes * 1000, fixedWaits * 1000, Runs);
    return match ? 0 : 1;
}
