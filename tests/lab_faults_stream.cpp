// Fault scenarios of the image stream in the virtual lab (run by scripts/lab.sh inside the
// workstation namespace): the box closes the TCP connection half way, and the box sends garbage
// back on it. The window must neither crash nor hang, must tell what happened, must not hold
// what the box sends, and a new run must work afterwards.

#include "lab_faults_lab.h"
#include "localwait.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define TALIX_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALIX_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TALIX_ADDRESS_SANITIZER
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// A 1000 ms broker connection wait becomes 50 ms, the 200 ms between chunks 10 ms.
constexpr double RunScale = 0.05;
constexpr int Box = 1;
constexpr qint64 MiB = 1024 * 1024;

// The memory the tool holds, sampled while it runs. Resident memory, with its peak counted
// afresh from start() (Linux 4.0 and later); under AddressSanitizer, whose quarantine keeps
// freed memory resident, the bytes allocated and not yet freed instead.
class MemoryProbe
{
public:
    void start()
    {
        m_before = now();
#ifndef TALIX_ADDRESS_SANITIZER
        QFile f(QStringLiteral("/proc/self/clear_refs"));
        m_peakReset = f.open(QIODevice::WriteOnly) && f.write("5") == 1;
#endif
        m_peak = m_before;
        m_started = true;
    }
    void sample()
    {
        if (m_started)
            m_peak = qMax(m_peak, now());
    }
    bool started() const
    {
        return m_started;
    }
    qint64 beforeKiB() const
    {
        return m_before;
    }
    qint64 peakKiB()
    {
        sample();
        return m_peakReset ? qMax(m_peak, FaultLab::residentKiB("VmHWM")) : m_peak;
    }
    static const char *what()
    {
#ifdef TALIX_ADDRESS_SANITIZER
        return "heap in use";
#else
        return "resident memory";
#endif
    }

private:
    static qint64 now()
    {
#ifdef TALIX_ADDRESS_SANITIZER
        return qint64(__sanitizer_get_current_allocated_bytes() / 1024);
#else
        return FaultLab::residentKiB();
#endif
    }

    qint64 m_before = 0;
    qint64 m_peak = 0;
    bool m_peakReset = false;
    bool m_started = false;
};

} // namespace

class LabFaultsStreamTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void boxClosesTheConnectionHalfWay_data();
    void boxClosesTheConnectionHalfWay();
    void boxSendsGarbageBack();

private:
    QTemporaryDir m_dir;
};

void LabFaultsStreamTest::initTestCase()
{
    if (!FaultLab::started())
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // Never the real ports or the broadcast in the machine's own network.
    QVERIFY2(FaultLab::insideWorkstation(), "not inside the lab's workstation namespace");
    QVERIFY(m_dir.isValid());
    QApplication::setQuitOnLastWindowClosed(false);
}

void LabFaultsStreamTest::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
}

void LabFaultsStreamTest::boxClosesTheConnectionHalfWay_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("completion");
    QTest::newRow("camera") << false << QStringLiteral("Update camera fw failed: Transfer aborted")
                            << QStringLiteral("System Restart");
    QTest::newRow("system") << true << QStringLiteral("Update file system failed: Transfer aborted")
                            << QStringLiteral("Update file system succeeded, restarting");
}

void LabFaultsStreamTest::boxClosesTheConnectionHalfWay()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, failure);
    QFETCH(QString, completion);

    // Three chunks' worth in either mode; the box hangs up inside the second chunk.
    const qint64 chunk = systemMode ? 2 * MiB : MiB;
    const qint64 size = 3 * chunk - 1000;
    const qint64 cutAt = chunk + chunk / 2;
    QVERIFY(FaultLab::restartSim(Box,
                                 {QStringLiteral("--tcp-close-after"), QString::number(cutAt)}));
    const QString image = m_dir.filePath(QStringLiteral("half.bin"));
    QVERIFY(FaultLab::writeImage(image, size));

    ScriptedDialogs dialogs;
    LocalWait::setTimeScaleForTests(RunScale);
    LabUpdateWindow w(Box, systemMode);
    QVERIFY(w.complete());
    int mark = FaultLab::logMark(Box);
    w.chooseAndStart(&dialogs, image);

    // The box reports the transfer it cut short, and the run ends on it.
    QVERIFY2(FaultLab::waitUntil([&] { return w.state->text() == failure; }, 30000),
             qPrintable(w.state->text()));
    QVERIFY(w.start->isEnabled());
    QCOMPARE(w.bar->value(), 0);
    const QString abort = FaultLab::events(Box, mark, QStringLiteral("TCP_ABORT")).value(0);
    QVERIFY2(!abort.isEmpty(), "the box did not cut the connection");
    QVERIFY(BoxSimProcess::field(abort, QStringLiteral("bytes")).toLongLong() < size);
    // The stream stopped there: no new connection, nothing more reached the box.
    FaultLab::spin(int(LocalWait::scaled(3 * 200)) + 200);
    QCOMPARE(FaultLab::events(Box, mark, QStringLiteral("TCP_ACCEPT")).size(), 1);
    QCOMPARE(FaultLab::events(Box, mark, QStringLiteral("TCP_CLOSED")).size(), 0);
    // Nothing is running any more: the window closes without a word.
    dialogs.calls.clear();
    w.form->setAttribute(Qt::WA_DeleteOnClose, false);
    QVERIFY(w.form->close());
    QVERIFY(dialogs.calls.isEmpty());

    // A well-behaved box again: a new run in the same window goes through.
    QVERIFY(FaultLab::restartSim(Box));
    w.form->show();
    mark = FaultLab::logMark(Box);
    if (!systemMode)
        dialogs.answers = {QMessageBox::Yes}; // the restart question
    w.chooseAndStart(&dialogs, image);
    QVERIFY(!FaultLab::waitForEvent(Box, mark, QStringLiteral("TCP"), {QStringLiteral("result=ok")})
                     .isEmpty());
    if (systemMode) {
        QVERIFY2(FaultLab::waitUntil(
                         [&] {
                             return w.tip->text() == QLatin1String("System restart successful.");
                         },
                         60000),
                 qPrintable(w.tip->text()));
    } else {
        QVERIFY(FaultLab::waitUntil([&] { return w.state->text() == completion; }, 30000));
        QVERIFY(!FaultLab::waitForEvent(
                         Box, mark, QStringLiteral("POWER"),
                         {QStringLiteral("command=restart"), QStringLiteral("valid=1")})
                         .isEmpty());
    }
    QCOMPARE(w.state->text(), completion);
    QVERIFY(w.start->isEnabled());
    QCOMPARE(w.bar->value(), 100);
}

void LabFaultsStreamTest::boxSendsGarbageBack()
{
    // A megabyte back on accepting, after every read of the box and every 2 ms for as long as
    // the connection is open: the box has the image long before the report that ends the
    // stream, and keeps talking meanwhile.
    QVERIFY(FaultLab::restartSim(Box,
                                 {QStringLiteral("--tcp-garbage"), QString::number(MiB),
                                  QStringLiteral("--tcp-garbage-interval"), QStringLiteral("2"),
                                  QStringLiteral("--report-interval"), QStringLiteral("2000"),
                                  QStringLiteral("--progress-steps"), QStringLiteral("100")}));
    const qint64 size = 16 * MiB;
    const QString image = m_dir.filePath(QStringLiteral("garbage.bin"));
    QVERIFY(FaultLab::writeImage(image, size));

    ScriptedDialogs dialogs;
    LocalWait::setTimeScaleForTests(RunScale);
    LabUpdateWindow w(Box, false);
    QVERIFY(w.complete());

    // Twice: the second run shows that the first left nothing behind that gets in the way.
    for (int run = 1; run <= 2; ++run) {
        const int mark = FaultLab::logMark(Box);
        dialogs.answers = {QMessageBox::No}; // after the "Do you want to update?" Yes
        w.chooseAndStart(&dialogs, image);
        // Memory is counted from the moment the box takes the connection: the digest before
        // it reads the whole image at once and would hide what the stream itself costs.
        MemoryProbe memory;
        QVERIFY2(FaultLab::waitUntil(
                         [&] {
                             if (memory.started())
                                 memory.sample();
                             else if (!FaultLab::events(Box, mark, QStringLiteral("TCP_ACCEPT"))
                                               .isEmpty())
                                 memory.start();
                             return w.state->text() == QLatin1String("Updating camera fw") &&
                                    w.bar->value() == 100 && w.start->isEnabled();
                         },
                         60000),
                 qPrintable(w.state->text()));
        QVERIFY(memory.started());
        const qint64 before = memory.beforeKiB();
        const qint64 peak = memory.peakKiB();
        const QString received = FaultLab::events(Box, mark, QStringLiteral("TCP")).value(0);
        // The box got the image intact, garbage or not.
        QCOMPARE(BoxSimProcess::field(received, QStringLiteral("result")), QStringLiteral("ok"));
        const QString closed = FaultLab::waitForEvent(Box, mark, QStringLiteral("TCP_CLOSED"));
        const qint64 garbageKiB =
                BoxSimProcess::field(closed, QStringLiteral("garbage")).toLongLong() / 1024;
        qInfo("run %d: the box sent %lld KiB back; %s %lld KiB when the stream began, peak "
              "%lld KiB (growth %lld KiB)",
              run, garbageKiB, MemoryProbe::what(), before, peak, peak - before);
        // What the box sends back is dropped, not kept: the growth stays far below what came.
        QVERIFY2(garbageKiB >= 64 * 1024, "the box sent too little to tell");
        QVERIFY2(peak - before < 32 * 1024,
                 qPrintable(QStringLiteral("grew by %1 KiB").arg(peak - before)));
        QCOMPARE(dialogs.count(QStringLiteral("question")), 2 * run);
    }
}

QTEST_MAIN(LabFaultsStreamTest)
#include "lab_faults_stream.moc"
