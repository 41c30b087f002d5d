#pragma once

// Shared pieces of the fault scenarios that run in the virtual lab (scripts/lab.sh test N ...):
// the lab's boxes and their logs, stopping and starting a box's broker or simulator while the
// tool runs, waits that keep the event loop fully live, and a few measurements.

#include "boxsimprocess.h"
#include "form.h"
#include "mqttclient.h"
#include "scripteddialogs.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <functional>

// The lab this process runs in, as lab.sh describes it in the TALIX_LAB_* variables.
class FaultLab
{
public:
    // Whether lab.sh started this process (else the test is skipped).
    static bool started() { return !qEnvironmentVariableIsEmpty("TALIX_LAB_NS"); }
    // Whether this process runs in the lab's workstation namespace: only there may the tool
    // use its real ports and the real broadcast.
    static bool insideWorkstation()
    {
        struct stat mine = {};
        struct stat lab = {};
        const QByteArray labPath = "/run/netns/" + qgetenv("TALIX_LAB_NS");
        return ::stat("/proc/self/ns/net", &mine) == 0 && ::stat(labPath.constData(), &lab) == 0 &&
               mine.st_dev == lab.st_dev && mine.st_ino == lab.st_ino;
    }

    static int boxCount() { return qEnvironmentVariableIntValue("TALIX_LAB_BOXES"); }

    // IP, MAC, SN, NAME, LOG, ... of box `box` (1-based).
    static QString box(int box, const char *name)
    {
        return qEnvironmentVariable(qPrintable(
                QStringLiteral("TALIX_LAB_BOX_%1_%2").arg(box).arg(QLatin1String(name))));
    }

    // The box simulator's event lines so far.
    static QStringList logLines(int box)
    {
        QFile f(FaultLab::box(box, "LOG"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    // A mark for the events from now on.
    static int logMark(int box) { return logLines(box).size(); }

    // Events named `event` after `mark` whose fields include every "key=value" of `fields`.
    static QStringList events(int box, int mark, const QString &event,
                              const QStringList &fields = {})
    {
        QStringList out;
        const QStringList lines = logLines(box);
        for (int i = mark; i < lines.size(); ++i) {
            const QString &line = lines.at(i);
            if (BoxSimProcess::eventName(line) != event)
                continue;
            bool all = true;
            for (const QString &kv : fields) {
                const int eq = kv.indexOf(QLatin1Char('='));
                if (BoxSimProcess::field(line, kv.left(eq)) != kv.mid(eq + 1))
                    all = false;
            }
            if (all)
                out << line;
        }
        return out;
    }

    // The first such event, waiting for it with the event loop running; empty on time-out.
    static QString waitForEvent(int box, int mark, const QString &event,
                                const QStringList &fields = {}, int timeoutMs = 30000)
    {
        QString found;
        waitUntil(
                [&] {
                    const QStringList hits = events(box, mark, event, fields);
                    if (!hits.isEmpty())
                        found = hits.first();
                    return !found.isEmpty();
                },
                timeoutMs);
        return found;
    }

    // Starts `lab.sh box --id ID ARGS...` and returns at once; the caller owns the process.
    static QProcess *startBoxCommand(const QStringList &args)
    {
        auto *process = new QProcess;
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(qEnvironmentVariable("TALIX_LAB_SCRIPT"),
                       QStringList{QStringLiteral("box"), QStringLiteral("--id"),
                                   qEnvironmentVariable("TALIX_LAB_ID")} +
                               args);
        return process;
    }
    // Whether a command started so has ended well; waits for it with the event loop running.
    static bool finishedWell(QProcess *process, QString *output = nullptr)
    {
        if (!process)
            return false;
        waitUntil([&] { return process->state() == QProcess::NotRunning; }, 60000);
        if (process->state() != QProcess::NotRunning) {
            process->kill(); // our own child, by its PID
            process->waitForFinished(5000);
            return false;
        }
        if (output)
            *output = QString::fromUtf8(process->readAll());
        return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
    }
    static bool boxCommand(const QStringList &args, QString *output = nullptr)
    {
        QScopedPointer<QProcess> process(startBoxCommand(args));
        return finishedWell(process.data(), output);
    }

    static QStringList stopBrokerArgs(int box) { return boxArgs(box, "stop", "broker"); }
    static bool stopBroker(int box) { return boxCommand(stopBrokerArgs(box)); }
    // Returns once the broker takes connections again.
    static bool startBroker(int box) { return boxCommand(boxArgs(box, "start", "broker")); }
    // The simulator again with `options` (none: a well-behaved box); returns once it is ready
    // (and subscribed, when its broker runs).
    static bool restartSim(int box, const QStringList &options = {})
    {
        return boxCommand(boxArgs(box, "stop", "sim")) &&
               boxCommand(boxArgs(box, "start", "sim") + options);
    }

    // Runs the event loop (unscaled: not a local wait of the tool) and calls `done` every 5 ms
    // until it returns true or the time is up; true when it did. The tool's handlers run local
    // event loops of their own (a busy animation runs for a whole stage), and `done` is called
    // inside them too, but this call returns only once they have ended: what happens while
    // they run must be done and noted inside `done`.
    static bool waitUntil(const std::function<bool()> &done, int timeoutMs)
    {
        if (done())
            return true;
        bool seen = false;
        QEventLoop loop;
        QTimer poll;
        QElapsedTimer clock;
        clock.start();
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (!seen && done())
                seen = true;
            if (seen || clock.elapsed() >= timeoutMs) {
                poll.stop();
                loop.quit();
            }
        });
        poll.start(5);
        loop.exec();
        return seen;
    }
    static void spin(int ms)
    {
        QEventLoop loop;
        QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }

    // Resident memory of this process, KiB ("VmRSS" of /proc/self/status); -1 when unknown.
    static qint64 residentKiB(const char *field = "VmRSS")
    {
        QFile f(QStringLiteral("/proc/self/status"));
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray prefix = QByteArray(field) + ':';
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith(prefix))
                return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

    // Image contents that differ from chunk to chunk, so a mix-up shows in the box's MD5.
    static bool writeImage(const QString &path, qint64 size)
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        QByteArray block(1 << 20, Qt::Uninitialized);
        quint32 x = quint32(size);
        for (qint64 done = 0; done < size; done += block.size()) {
            for (int i = 0; i < block.size(); ++i) {
                x = x * 1664525u + 1013904223u;
                block[i] = char(x >> 24);
            }
            const qint64 n = qMin<qint64>(block.size(), size - done);
            if (f.write(block.constData(), n) != n)
                return false;
        }
        return true;
    }

private:
    static QStringList boxArgs(int box, const char *action, const char *what)
    {
        return {QString::number(box), QLatin1String(action), QLatin1String(what)};
    }
};

// The longest time the event loop went without running a 1 ms timer: how long the window
// could not have reacted to the operator.
class StallMeter
{
public:
    StallMeter()
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longestNs = qMax(m_longestNs, now - m_lastNs);
            m_lastNs = now;
        });
        m_timer.setTimerType(Qt::PreciseTimer);
    }
    void start()
    {
        m_longestNs = 0;
        m_clock.start();
        m_lastNs = 0;
        m_timer.start(1);
    }
    void stop() { m_timer.stop(); }
    double longestMs() const { return m_longestNs / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
};

// An update window for one of the lab's boxes, on the box's real ports, with its widgets.
class LabUpdateWindow
{
public:
    LabUpdateWindow(int box, bool systemMode)
        : form(new Form(FaultLab::box(box, "IP"), FaultLab::box(box, "MAC"),
                        FaultLab::box(box, "SN"), systemMode))
    {
        form->show();
        browser = widget<QPushButton>("pushButton_Browser");
        start = widget<QPushButton>("pushButton_Start");
        state = widget<QLabel>("label_state");
        tip = widget<QLabel>("label_Tip");
        bar = widget<QProgressBar>("progressBar");
        client = form->findChild<MqttClient *>();
    }
    ~LabUpdateWindow() { delete form; }

    bool complete() const { return browser && start && state && tip && bar && client; }

    // "Browser" picks `image`, "Start" is pressed and the question answered Yes.
    void chooseAndStart(ScriptedDialogs *dialogs, const QString &image)
    {
        dialogs->files = QStringList{image};
        QTest::mouseClick(browser, Qt::LeftButton);
        dialogs->answers.prepend(QMessageBox::Yes);
        QTest::mouseClick(start, Qt::LeftButton);
    }

    QPointer<Form> form;
    QPushButton *browser = nullptr;
    QPushButton *start = nullptr;
    QLabel *state = nullptr;
    QLabel *tip = nullptr;
    QProgressBar *bar = nullptr;
    MqttClient *client = nullptr;

private:
    template<typename T>
    T *widget(const char *name)
    {
        return form->findChild<T *>(QLatin1String(name));
    }
};
