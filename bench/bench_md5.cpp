// Figures for the digest an update request carries: MD5 of a 1 GiB image by the update
// window's Create_Json_Object against md5sum on the same file (both reading it from the page
// cache), the longest time the window's event loop stood still meanwhile, and the memory the
// digest takes. Real time, nothing scaled.
//
//   bench_md5 [MIB]      image size in MiB (1024)

#include "form.h"
#include "procstatus.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr int Runs = 3;

using ProcStatus::resetPeak;
using ProcStatus::statusKiB;

// Contents that differ from block to block, written in 1 MiB blocks.
bool writeImage(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(int(MiB), Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < block.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        block[i] = char(x);
    }
    for (qint64 done = 0; done < size; done += MiB) {
        memcpy(block.data(), &done, sizeof done);
        if (f.write(block.constData(), qMin(MiB, size - done)) != qMin(MiB, size - done))
            return false;
    }
    return true;
}

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

} // namespace

// Runs the window's own digest on a file, as the request of an update does.
class Md5Bench
{
public:
    struct Result
    {
        double seconds = 0;
        QByteArray md5;
        double longestStallMs = 0;
        qint64 extraKiB = 0; // peak resident above what was resident before
    };

    static Result run(const QString &path, qint64 size)
    {
        Form form(QStringLiteral("127.0.0.1"), QString(), QString(), false);
        form.show();
        form.filePath = path;
        form.fileName = QStringLiteral("image.bin");
        form.fileSize = size;
        QCoreApplication::processEvents();

        Result result;
        const qint64 base = statusKiB("VmRSS");
        const bool peakReset = resetPeak();
        GapMeter gaps;
        QElapsedTimer clock;
        gaps.start();
        clock.start();
        const QByteArray body = form.Create_Json_Object();
        result.seconds = clock.nsecsElapsed() / 1e9;
        result.longestStallMs = gaps.stopMs();
        result.extraKiB = (peakReset ? statusKiB("VmHWM") : statusKiB("VmRSS")) - base;
        result.md5 = QJsonDocument::fromJson(body)
                             .object()
                             .value(QStringLiteral("file_md5"))
                             .toString()
                             .toLatin1();
        return result;
    }
};

namespace {

// md5sum on the same file: seconds, and its digest.
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

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 size = sizeMiB * MiB;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.bin"));
    if (!dir.isValid() || !writeImage(path, size)) {
        std::fprintf(stderr, "bench_md5: cannot write a %lld MiB image in %s\n", sizeMiB,
                     qPrintable(dir.path()));
        return 1;
    }

    // The idle event loop over one second: what the 1 ms timer shows when nothing blocks it.
    GapMeter idle;
    idle.start();
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double idleStallMs = idle.stopMs();

    // A first md5sum brings the file into the page cache; the runs alternate after it.
    QByteArray referenceMd5;
    if (md5sum(path, &referenceMd5) < 0) {
        std::fprintf(stderr, "bench_md5: md5sum failed\n");
        return 1;
    }
    QList<double> toolSeconds, md5sumSeconds, stalls;
    qint64 extraKiB = 0;
    bool match = true;
    for (int i = 0; i < Runs; ++i) {
        QByteArray md5;
        md5sumSeconds << md5sum(path, &md5);
        match = match && md5 == referenceMd5;
        const Md5Bench::Result r = Md5Bench::run(path, size);
        toolSeconds << r.seconds;
        stalls << r.longestStallMs;
        extraKiB = qMax(extraKiB, r.extraKiB);
        match = match && r.md5 == referenceMd5;
    }

    const double tool = median(toolSeconds);
    const double ref = median(md5sumSeconds);
    const double mib = double(size) / MiB;
    std::printf("MD5 of a %lld MiB image, median of %d runs, file in the page cache\n", sizeMiB,
                Runs);
    std::printf("  Create_Json_Object: %.2f s = %.0f MiB/s\n", tool, mib / tool);
    std::printf("  md5sum:             %.2f s = %.0f MiB/s\n", ref, mib / ref);
    std::printf("  ratio (Create_Json_Object / md5sum): %.2f\n", tool / ref);
    std::printf("  digests %s\n", match ? "agree" : "DIFFER");
    std::printf("  longest event-loop stall during Create_Json_Object: %.1f ms (median of runs; "
                "worst %.1f ms); idle event loop: %.1f ms\n",
                median(stalls), *std::max_element(stalls.begin(), stalls.end()), idleStallMs);
    std::printf("  peak resident memory above the window's own: %.1f MiB\n", extraKiB / 1024.0);
    // One line per figure for scripts/bench.sh: figure | value | reference | notes.
    std::printf("TABLE|MD5 of a %lld MiB image (Create_Json_Object)|%.2f s (%.0f MiB/s)|md5sum "
                "%.2f s (%.0f MiB/s)|ratio %.2f; digests %s; median of %d, page cache warm\n",
                sizeMiB, tool, mib / tool, ref, mib / ref, tool / ref, match ? "agree" : "DIFFER",
                Runs);
    std::printf("TABLE|Longest event-loop stall during that digest|%.0f ms|idle loop %.1f ms; "
                "200 ms click target|one 100 MiB read and digest between 1 ms waits; peak "
                "+%.0f MiB resident\n",
                median(stalls), idleStallMs, extraKiB / 1024.0);
    return match ? 0 : 1;
}
