// Figures for the tool's start: time from process start to the main window shown (its first
// paint), and resident memory once it has been idle for a second. Each is measured on a child
// process started as a new process is; the reference is the same child showing an empty
// window of the same toolkit, and a bare process start (/bin/true).
//
//   bench_startup [RUNS]                 all figures, RUNS starts of each kind (10)
//   bench_startup --child tool|empty     one start (used by the above)

#include "mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

qint64 monotonicNs()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 residentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Notes the end of the window's first paint: the moment the operator can see it.
class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // After the paint itself has run.
            QTimer::singleShot(0, [] {
                std::printf("shown %lld\n", monotonicNs());
                std::fflush(stdout);
                // Idle for a second, then the resident memory.
                QTimer::singleShot(1000, [] {
                    std::printf("rss %lld\n", residentKiB());
                    std::fflush(stdout);
                    QCoreApplication::quit();
                });
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

int child(const QByteArray &kind)
{
    int argc = 1;
    char name[] = "bench_startup";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    FirstPaint firstPaint;
    if (kind == "tool") {
        MainWindow window;
        window.installEventFilter(&firstPaint);
        window.show();
        return app.exec();
    }
    QWidget window;
    window.resize(800, 600);
    window.installEventFilter(&firstPaint);
    window.show();
    return app.exec();
}

struct Start
{
    double ms = -1;
    qint64 rssKiB = -1;
};

Start startOnce(const QString &program, const QStringList &arguments)
{
    QProcess p;
    Start s;
    const qint64 t0 = monotonicNs();
    p.start(program, arguments);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return s;
    const qint64 end = monotonicNs();
    s.ms = (end - t0) / 1e6;
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        if (line.startsWith("shown "))
            s.ms = (line.mid(6).toLongLong() - t0) / 1e6;
        else if (line.startsWith("rss "))
            s.rssKiB = line.mid(4).toLongLong();
    }
    return s;
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.at(v.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc == 3 && qstrcmp(argv[1], "--child") == 0)
        return child(argv[2]);

    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 10;
    const QString self = QCoreApplication::applicationFilePath();

    // One start of each beforehand, so that every measured start finds the libraries and the
    // font cache as an operator's second start does.
    startOnce(self, {QStringLiteral("--child"), QStringLiteral("tool")});
    startOnce(self, {QStringLiteral("--child"), QStringLiteral("empty")});

    QList<double> tool, empty, bare, toolRss, emptyRss;
    for (int i = 0; i < runs; ++i) {
        const Start t = startOnce(self, {QStringLiteral("--child"), QStringLiteral("tool")});
        const Start e = startOnce(self, {QStringLiteral("--child"), QStringLiteral("empty")});
        const Start b = startOnce(QStringLiteral("/bin/true"), {});
        if (t.ms < 0 || e.ms < 0) {
            std::fprintf(stderr, "bench_startup: a child did not show its window\n");
            return 1;
        }
        tool << t.ms;
        empty << e.ms;
        bare << b.ms;
        toolRss << t.rssKiB / 1024.0;
        emptyRss << e.rssKiB / 1024.0;
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    std::printf("Start-up, median of %d starts, platform %s\n", runs, platform.constData());
    std::printf("  main window shown after      %7.1f ms (min %.1f, max %.1f)\n", median(tool),
                *std::min_element(tool.begin(), tool.end()),
                *std::max_element(tool.begin(), tool.end()));
    std::printf("  empty QWidget shown after    %7.1f ms\n", median(empty));
    std::printf("  bare process (/bin/true)     %7.1f ms\n", median(bare));
    std::printf("  resident at idle: main window %.1f MiB, empty QWidget %.1f MiB\n",
                median(toolRss), median(emptyRss));
    std::printf("TABLE|Start-up: process start to main window shown|%.0f ms|empty QWidget %.0f "
                "ms; /bin/true %.1f ms|ratio %.2f to the empty window; median of %d, platform "
                "%s\n",
                median(tool), median(empty), median(bare), median(tool) / median(empty), runs,
                platform.constData());
    std::printf("TABLE|Resident memory at idle (main window)|%.1f MiB|empty QWidget %.1f MiB|"
                "+%.1f MiB for the tool; VmRSS 1 s after the first paint\n",
                median(toolRss), median(emptyRss), median(toolRss) - median(emptyRss));
    return 0;
}
