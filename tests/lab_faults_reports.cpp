// Hostile reports in the virtual lab (run by scripts/lab.sh inside the workstation namespace):
// a box that floods an update window with 1000 reports a second, a 10 MiB report, and reports
// whose message is 100,000 characters long. The windows must stay responsive, show what the
// box said (as much of it as a one-line label can), reach the end of the run, and a new run
// must work afterwards.

#include "lab_faults_lab.h"
#include "localwait.h"
#include "recoveryform.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

// A 1000 ms broker connection wait becomes 50 ms, the 61 s countdown 3 s.
constexpr double RunScale = 0.05;
constexpr int Box = 1;
constexpr qint64 MiB = 1024 * 1024;
const QString CameraDone = QStringLiteral("Updating camera fw");
// A one-line state label shows a few dozen characters; it is given no more than a few thousand,
// whatever the box sends, so that laying its text out stays cheap.
constexpr int LabelTextBound = 4096;

QStringList hostileOptions(const QString &kind)
{
    if (kind == QLatin1String("10 MiB report"))
        return {QStringLiteral("--huge-report-bytes"), QString::number(10 * MiB)};
    return {QStringLiteral("--long-message-chars"), QStringLiteral("100000")};
}

// The message of a scripted report of the box, padded as --long-message-chars pads it.
QString paddedMessage(const QString &message)
{
    return (message + QLatin1Char(' ')).leftJustified(100000, QLatin1Char('.'), true);
}

// What the window shows is the box's message, or as much of its beginning as is shown.
bool showsStartOf(const QString &shown, const QString &message)
{
    return !shown.isEmpty() && message.startsWith(shown) &&
           (shown.size() == message.size() || shown.size() >= 80);
}

// What the state label shows right after the window has handled a report of a megabyte or
// more: the next reports may follow in the same read and replace it at once.
class HugeReportWatch
{
public:
    HugeReportWatch(MqttClient *client, QLabel *label)
    {
        // Connected after the window's own handler, so it runs after it.
        m_connection = QObject::connect(client, &MqttClient::messageReceived, label,
                                        [this, label](const QByteArray &payload) {
                                            if (payload.size() >= MiB)
                                                shown = label->text();
                                        });
    }
    ~HugeReportWatch() { QObject::disconnect(m_connection); }

    QString shown;

private:
    QMetaObject::Connection m_connection;
};

} // namespace

class LabFaultsReportsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void floodKeepsTheUpdateWindowResponsive();
    void hostileReportAtUpdate_data();
    void hostileReportAtUpdate();
    void hostileReportAtRecovery_data();
    void hostileReportAtRecovery();

private:
    QTemporaryDir m_dir;
    QString m_image;
};

void LabFaultsReportsTest::initTestCase()
{
    if (!FaultLab::started())
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // Never the real ports or the broadcast in the machine's own network.
    QVERIFY2(FaultLab::insideWorkstation(), "not inside the lab's workstation namespace");
    QVERIFY(m_dir.isValid());
    m_image = m_dir.filePath(QStringLiteral("camera.bin"));
    QVERIFY(FaultLab::writeImage(m_image, 2 * MiB + 4321));
    QApplication::setQuitOnLastWindowClosed(false);
}

void LabFaultsReportsTest::init()
{
    LocalWait::setTimeScaleForTests(RunScale);
}

void LabFaultsReportsTest::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
}

void LabFaultsReportsTest::floodKeepsTheUpdateWindowResponsive()
{
    // 1000 reports a second for 5 s from the request on; the box's own reports come 800 ms
    // apart, so the last of them arrives after the flood.
    QVERIFY(FaultLab::restartSim(Box,
                                 {QStringLiteral("--flood-rate"), QStringLiteral("1000"),
                                  QStringLiteral("--flood-count"), QStringLiteral("5000"),
                                  QStringLiteral("--report-interval"), QStringLiteral("800")}));
    ScriptedDialogs dialogs;
    LabUpdateWindow w(Box, false);
    QVERIFY(w.complete());

    // A click on "Browser" posted as the operator's mouse would post it; handled once the
    // file dialog is asked for. The same file is chosen again, so the run goes on unchanged.
    QElapsedTimer clock;
    clock.start();
    qint64 clickedAt = -1;
    QList<double> latencies;
    dialogs.whileOpen = [&](const ScriptedDialogs::Call &call) {
        if (call.kind == QLatin1String("file") && clickedAt >= 0) {
            latencies << (clock.nsecsElapsed() - clickedAt) / 1e6;
            clickedAt = -1;
        }
    };
    auto click = [&] {
        const QPoint centre = w.browser->rect().center();
        dialogs.files << m_image;
        clickedAt = clock.nsecsElapsed();
        QCoreApplication::postEvent(w.browser, new QMouseEvent(QEvent::MouseButtonPress, centre,
                                                               Qt::LeftButton, Qt::LeftButton,
                                                               Qt::NoModifier));
        QCoreApplication::postEvent(w.browser,
                                    new QMouseEvent(QEvent::MouseButtonRelease, centre,
                                                    Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
    };

    const int mark = FaultLab::logMark(Box);
    dialogs.answers = {QMessageBox::No}; // the restart question, after the Yes to the update
    w.chooseAndStart(&dialogs, m_image);
    qint64 lastClick = 0;
    const bool done = FaultLab::waitUntil(
            [&] {
                const bool flooding =
                        !FaultLab::events(Box, mark, QStringLiteral("FLOOD_START")).isEmpty() &&
                        FaultLab::events(Box, mark, QStringLiteral("FLOOD_DONE")).isEmpty();
                if (flooding && clickedAt < 0 && clock.elapsed() - lastClick >= 150) {
                    lastClick = clock.elapsed();
                    click();
                }
                return !flooding && clickedAt < 0 && w.state->text() == CameraDone &&
                       w.bar->value() == 100 && w.start->isEnabled();
            },
            150000);
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies.isEmpty() ? -1 : latencies.at(latencies.size() / 2);
    const double longest = latencies.isEmpty() ? -1 : latencies.last();
    qInfo("%d clicks during the flood: handled after %.1f ms (median), %.1f ms (longest)",
          int(latencies.size()), median, longest);
    QVERIFY2(done, qPrintable(w.state->text()));

    const QString flood = FaultLab::events(Box, mark, QStringLiteral("FLOOD_DONE")).value(0);
    QCOMPARE(BoxSimProcess::field(flood, QStringLiteral("sent")), QStringLiteral("5000"));
    QCOMPARE(FaultLab::events(Box, mark, QStringLiteral("TCP"))
                     .value(0)
                     .contains(QLatin1String("result=ok")),
             true);
    QVERIFY(latencies.size() >= 10);
    // 200 ms is the aim; the bound only catches a window that stopped taking input.
    QVERIFY2(longest < 1000, qPrintable(QString::number(longest)));
    QCOMPARE(dialogs.count(QStringLiteral("question")), 2);

    // A new run against a box that behaves.
    QVERIFY(FaultLab::restartSim(Box));
    const int again = FaultLab::logMark(Box);
    dialogs.answers = {QMessageBox::No};
    w.chooseAndStart(&dialogs, m_image);
    QVERIFY(FaultLab::waitUntil(
            [&] { return w.state->text() == CameraDone && w.start->isEnabled(); }, 30000));
    QVERIFY(!FaultLab::events(Box, again, QStringLiteral("TCP"), {QStringLiteral("result=ok")})
                     .isEmpty());
    QCOMPARE(w.bar->value(), 100);
}

void LabFaultsReportsTest::hostileReportAtUpdate_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("10 MiB report") << QStringLiteral("10 MiB report");
    QTest::newRow("100000-character messages") << QStringLiteral("100000-character messages");
}

void LabFaultsReportsTest::hostileReportAtUpdate()
{
    QFETCH(QString, kind);
    const bool huge = kind == QLatin1String("10 MiB report");
    QVERIFY(FaultLab::restartSim(Box, hostileOptions(kind)));
    ScriptedDialogs dialogs;
    LabUpdateWindow w(Box, false);
    QVERIFY(w.complete());

    // Twice: the second run is the new run after the first.
    for (int run = 1; run <= 2; ++run) {
        const int mark = FaultLab::logMark(Box);
        StallMeter stall;
        stall.start();
        const HugeReportWatch hugeWatch(w.client, w.state);
        dialogs.answers = {QMessageBox::No};
        w.chooseAndStart(&dialogs, m_image);
        const QString done = huge ? CameraDone : paddedMessage(CameraDone);
        QVERIFY2(FaultLab::waitUntil(
                         [&] {
                             return showsStartOf(w.state->text(), done) && w.bar->value() == 100 &&
                                    w.start->isEnabled();
                         },
                         120000),
                 qPrintable(w.state->text().left(200)));
        stall.stop();
        qInfo("%s, run %d: the window went %.1f ms at most without running its event loop; "
              "%d characters of the last message shown",
              qPrintable(kind), run, stall.longestMs(), int(w.state->text().size()));

        QVERIFY(!FaultLab::events(Box, mark, QStringLiteral("TCP"), {QStringLiteral("result=ok")})
                         .isEmpty());
        if (huge) {
            // The 10 MiB report was shown, as far as a one-line label shows anything.
            QVERIFY(!FaultLab::events(Box, mark, QStringLiteral("SEND"),
                                      {QString::fromLatin1("bytes=%1").arg(10 * MiB)})
                             .isEmpty());
            QVERIFY2(!hugeWatch.shown.isEmpty(), "the 10 MiB report was not shown");
            QVERIFY(hugeWatch.shown.count(QLatin1Char('H')) == hugeWatch.shown.size());
            QVERIFY2(hugeWatch.shown.size() <= LabelTextBound,
                     qPrintable(QString::number(hugeWatch.shown.size())));
        }
        QVERIFY(w.state->text().size() <= LabelTextBound);
        QCOMPARE(dialogs.count(QStringLiteral("question")), 2 * run);
        // How long the window stood still is a figure, printed; only a stall that amounts to a
        // hang fails here (timing bounds would fail on a slow or loaded machine).
        qInfo("longest stall of the update window: %.1f ms", stall.longestMs());
        QVERIFY2(stall.longestMs() < 10000, qPrintable(QString::number(stall.longestMs())));
    }
}

void LabFaultsReportsTest::hostileReportAtRecovery_data()
{
    hostileReportAtUpdate_data();
}

void LabFaultsReportsTest::hostileReportAtRecovery()
{
    QFETCH(QString, kind);
    const bool huge = kind == QLatin1String("10 MiB report");
    QVERIFY(FaultLab::restartSim(Box, hostileOptions(kind)));
    ScriptedDialogs dialogs;
    QPointer<RecoveryForm> form = new RecoveryForm(
            FaultLab::box(Box, "IP"), FaultLab::box(Box, "MAC"), FaultLab::box(Box, "SN"));
    form->show();
    auto *button = form->findChild<QPushButton *>(QStringLiteral("pushButton_Recovery"));
    auto *state = form->findChild<QLabel *>(QStringLiteral("label_state_recovery"));
    auto *tip = form->findChild<QLabel *>(QStringLiteral("label_Tip"));
    auto *bar = form->findChild<QProgressBar *>(QStringLiteral("progressBar_Recovery"));
    QVERIFY(button && state && tip && bar);

    const QString done = huge ? QStringLiteral("Recovery succeeded, restarting")
                              : paddedMessage(QStringLiteral("Recovery succeeded, restarting"));
    for (int run = 1; run <= 2; ++run) {
        const int mark = FaultLab::logMark(Box);
        StallMeter stall;
        stall.start();
        const HugeReportWatch hugeWatch(form->findChild<MqttClient *>(), state);
        tip->clear();
        dialogs.answers = {QMessageBox::Yes};
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY2(FaultLab::waitUntil(
                         [&] { return tip->text() == QLatin1String("System restart successful."); },
                         120000),
                 qPrintable(state->text().left(200)));
        stall.stop();
        qInfo("%s at recovery, run %d: the window went %.1f ms at most without running its "
              "event loop",
              qPrintable(kind), run, stall.longestMs());
        QVERIFY2(showsStartOf(state->text(), done), qPrintable(state->text().left(200)));
        QVERIFY(state->text().size() <= LabelTextBound);
        QVERIFY(button->isEnabled());
        QCOMPARE(bar->value(), 100);
        QVERIFY(!FaultLab::events(Box, mark, QStringLiteral("RECOVERY_REQUEST")).isEmpty());
        if (huge)
            QVERIFY2(!hugeWatch.shown.isEmpty() &&
                             hugeWatch.shown.count(QLatin1Char('H')) == hugeWatch.shown.size(),
                     "the 10 MiB report was not shown");
        if (huge)
            QVERIFY2(hugeWatch.shown.size() <= LabelTextBound,
                     qPrintable(QString::number(hugeWatch.shown.size())));
        qInfo("longest stall of the recovery window: %.1f ms", stall.longestMs());
        QVERIFY2(stall.longestMs() < 10000, qPrintable(QString::number(stall.longestMs())));
    }
    QVERIFY(form->close());
    QTRY_VERIFY(form.isNull());
}

QTEST_MAIN(LabFaultsReportsTest)
#include "lab_faults_reports.moc"
