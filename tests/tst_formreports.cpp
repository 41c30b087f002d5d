// The box's reports, published to a real broker, driving the update window: every state
// change, the busy animation, the restart question, the countdown and the silent-box limit.

#include "tst_formharness.h"

#include "mosquittobroker.h"

#include <QJsonParseError>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString SystemNote =
        QString::fromUtf8("Note: Please do not disconnect the power of the camera\xef\xbc\x8c"
                          "and it takes about 30 minutes to update the system fw.");
const QString Restarting = QStringLiteral("The system is restarting, it takes about 1 minute. "
                                          "Please do not close the system fw update form.");
const QString RestartQuestion = QStringLiteral(
        "This update needs to restart System to take effect. Do you want to restart System "
        "immediately?");
const QString Succeed = QStringLiteral("Connect Server Succeed...");
const QString Other = QStringLiteral("TalixTools_out/other");

QByteArray r(const char *type, const char *errorcode, const QString &message, const char *progress)
{
    return reportPayload(QString::fromLatin1(type), QString::fromLatin1(errorcode), message,
                         QString::fromLatin1(progress));
}

QString parserText(const QByteArray &payload)
{
    QJsonParseError error;
    QJsonDocument::fromJson(payload, &error);
    return error.errorString();
}

QStringList countdownTexts()
{
    QStringList texts;
    for (int n = 60; n >= 0; --n)
        texts << QStringLiteral("The system is restarting, please do not close the form. It "
                                "takes about 1 minute. Countdown: %1")
                         .arg(n);
    texts << QStringLiteral("System restart successful.");
    return texts;
}

int nextSweepValue(int value)
{
    return value + 5 > 100 ? 0 : value + 5;
}

} // namespace

class FormReportsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stateTable_data();
    void stateTable();
    void animationSweep_data();
    void animationSweep();
    void animationResumes();
    void countdown();
    void oneCountdownAtATime();
    void stageReportDuringCountdown();
    void restartQuestion_data();
    void restartQuestion();
    void closedDuringRestartQuestion();
    void closedDuringAnimation();
    void boxTextsShownPlain();
    void silentBoxEndsRun();

private:
    // A run under way as after Start and a finished stream of a small image; the window also
    // hears every report topic and one that no mode uses.
    void startRun(bool systemMode, double scale = 0.02);
    void startAgain();
    // Which state flags are set, in a fixed order, so a row can be compared at a glance.
    QString flags() const;
    Ui::Form *ui() { return FormHarness::ui(m_form); }
    void publish(const QString &topic, const QByteArray &payload)
    {
        m_peer.publish(topic, payload);
    }
    // Nothing reached the broker from the window if a marker sent now arrives first.
    QList<QByteArray> restartsPublished()
    {
        const int before = m_peer.received.size();
        m_peer.publish(QStringLiteral("TalixTools_in/marker"), "m");
        if (!QTest::qWaitFor([&] { return m_peer.received.size() > before; }, 10000))
            return {"marker lost"};
        return m_peer.payloadsOn(Topics::Restart);
    }

    MosquittoBroker m_broker;
    MqttPeer m_peer;
    QTemporaryDir m_dir;
    QString m_path;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::unique_ptr<TestReceiver> m_receiver;
    QPointer<Form> m_form;
};

void FormReportsTest::initTestCase()
{
    QVERIFY2(m_broker.start(), "mosquitto must be installed");
    QVERIFY(m_peer.connectTo(m_broker.port()));
    QVERIFY(m_dir.isValid());
    m_path = writeFile(m_dir.filePath(QStringLiteral("small.bin")), imageBytes(1000));
    QVERIFY(!m_path.isEmpty());
}

void FormReportsTest::init()
{
    m_dialogs.reset(new ScriptedDialogs);
    m_receiver.reset(new TestReceiver);
    QVERIFY(m_receiver->listen());
    m_peer.received.clear();
    m_peer.onMessage = nullptr;
}

void FormReportsTest::cleanup()
{
    delete m_form;
    m_receiver.reset();
    m_dialogs.reset();
    m_peer.onMessage = nullptr;
    LocalWait::setTimeScaleForTests(1.0);
}

void FormReportsTest::startRun(bool systemMode, double scale)
{
    LocalWait::setTimeScaleForTests(scale);
    m_form = FormHarness::create(systemMode, m_broker.port(), m_receiver->port());
    QVERIFY(FormHarness::connectClient(m_form, m_broker.port()));
    FormHarness::choose(m_form, *m_dialogs, m_path);
    startAgain();
    if (QTest::currentTestFailed())
        return;

    MqttClient *client = FormHarness::client(m_form);
    QStringList extra{Other};
    if (systemMode)
        extra << Topics::UpdateCameraReport;
    else
        extra << Topics::UpdateSystemReport << Topics::RecoveryReport;
    QSignalSpy heard(client, &MqttClient::messageReceived);
    for (const QString &topic : extra) {
        client->subscribe(topic, 0);
        m_peer.publish(topic, "[]"); // valid JSON, not an object: no effect
    }
    QTRY_COMPARE_WITH_TIMEOUT(heard.count(), extra.size(), 10000);
    QCOMPARE(ui()->label_state->text(), Succeed);
    m_dialogs->calls.clear(); // the file choice and the confirmation
}

void FormReportsTest::startAgain()
{
    const int streams = m_receiver->streams.size();
    m_peer.received.clear();
    FormHarness::pressStart(m_form, *m_dialogs, m_peer, LocalWait::timeScale());
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->streams.size() == streams + 1 &&
                                     m_receiver->last()->data.size() == 1000 &&
                                     !m_form->streamRunning,
                             10000);
}

QString FormReportsTest::flags() const
{
    const Form *f = m_form;
    Ui::Form *u = FormHarness::ui(m_form);
    QStringList set;
    const QList<QPair<bool, const char *>> all{
            {f->cameraUpdating, "camera"},
            {f->systemUpdating, "system"},
            {f->restarting, "restarting"},
            {f->cycleStop, "stop"},
            {f->cycleStarted, "started"},
            {f->updateSucceeded, "succeeded"},
            {u->pushButton_Start->isEnabled(), "start"},
            {f->tcpSocket->state() == QAbstractSocket::ConnectedState, "open"},
            {u->progressBar->isTextVisible(), "text"},
            {f->noReportTimer->isActive(), "timer"},
    };
    for (const auto &flag : all) {
        if (flag.first)
            set << QString::fromLatin1(flag.second);
    }
    return set.join(QLatin1Char(' '));
}

void FormReportsTest::stateTable_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("bar"); // -1: animated, not looked at
    QTest::addColumn<QString>("flags");

    const QString cam = Topics::UpdateCameraReport;
    const QString sys = Topics::UpdateSystemReport;
    const QString rec = Topics::RecoveryReport;
    const QString running = QStringLiteral("camera system open text timer");
    using L = QList<QByteArray>;
    const QByteArray cut("{\"type\":\"1\",\"errorcode\":");
    const QByteArray notJson("progress 100");

    // Camera mode.
    QTest::newRow("camera stage 1 percentage")
            << false << cam << L{r("1", "0", "Receiving", "50")} << "Receiving" << 50 << running;
    QTest::newRow("camera stage 1 at 100 closes the stream")
            << false << cam << L{r("1", "0", "Received", "100")} << "Received" << 100
            << "camera system text timer";
    QTest::newRow("camera stage 2 percentage")
            << false << cam << L{r("2", "0", "Writing", "30")} << "Writing" << 30 << running;
    QTest::newRow("camera stage 1 failure")
            << false << cam << L{r("1", "7", "Bad image", "20")}
            << "Update camera fw failed: Bad image" << 0 << "system start text";
    QTest::newRow("camera stage 2 failure, errorcode missing")
            << false << cam << L{"{\"type\":\"2\",\"message\":\"Flash error\",\"progress\":\"40\"}"}
            << "Update camera fw failed: Flash error" << 0 << "system start text";
    QTest::newRow("camera errorcode 00 is not 0")
            << false << cam << L{r("1", "00", "Odd", "10")} << "Update camera fw failed: Odd" << 0
            << "system start text";
    QTest::newRow("camera complete, restart declined")
            << false << cam << L{r("2", "0", "Done", "100")} << "Done" << 100
            << "system start open text";
    QTest::newRow("camera numeric type ignored")
            << false << cam
            << L{"{\"type\":1,\"errorcode\":\"0\",\"message\":\"x\",\"progress\":\"50\"}"}
            << Succeed << 0 << running;
    QTest::newRow("camera stage 3 ignored")
            << false << cam << L{r("3", "0", "x", "50")} << Succeed << 0 << running;
    QTest::newRow("camera progress not a number")
            << false << cam << L{r("1", "0", "a", "40"), r("1", "0", "b", "abc")} << "b" << 0
            << running;
    QTest::newRow("camera progress out of range")
            << false << cam << L{r("1", "0", "a", "40"), r("1", "0", "b", "150")} << "b" << 40
            << running;
    QTest::newRow("camera 100.0 is not 100")
            << false << cam << L{r("1", "0", "a", "100.0")} << "a" << 0 << running;
    QTest::newRow("camera ignores the system topic")
            << false << sys << L{r("1", "1", "x", "0")} << Succeed << 0 << running;
    QTest::newRow("camera ignores the recovery topic")
            << false << rec << L{r("1", "1", "x", "0")} << Succeed << 0 << running;
    QTest::newRow("camera unreadable report")
            << false << cam << L{cut} << parserText(cut) << 0 << "stop start open text";
    QTest::newRow("camera unreadable on another topic")
            << false << Other << L{notJson} << parserText(notJson) << 0 << "stop start open text";
    QTest::newRow("camera array ignored") << false << cam << L{"[1,2]"} << Succeed << 0 << running;

    // System mode.
    QTest::newRow("system stage 1 percentage")
            << true << sys << L{r("1", "0", "Receiving", "30")} << "Receiving" << 30 << running;
    QTest::newRow("system stage 1 at 100 closes the stream")
            << true << sys << L{r("1", "0", "Received", "100")} << "Received" << 100
            << "camera system text timer";
    QTest::newRow("system stage 1 failure")
            << true << sys << L{r("1", "2", "Disk full", "10")}
            << "Update file system failed: Disk full" << 0 << "camera start text";
    QTest::newRow("system stage 2 starts the animation")
            << true << sys << L{r("2", "0", "Unpacking", "")} << "Unpacking" << -1
            << "camera system started open timer";
    QTest::newRow("system stage 3 after 2 changes only the text")
            << true << sys << L{r("2", "0", "Unpacking", ""), r("3", "0", "Writing", "")}
            << "Writing" << -1 << "camera system started open timer";
    QTest::newRow("system stage 4 failure shows the message only")
            << true << sys << L{r("4", "9", "Verify failed", "")} << "Verify failed" << -1
            << "camera system started open timer";
    QTest::newRow("system recovery stage reported")
            << true << rec << L{r("2", "0", "Restoring", "")}
            << "Update file system failed: Restoring" << 0 << running;
    QTest::newRow("system recovery failure")
            << true << rec << L{r("1", "4", "Restore failed", "")}
            << "Update file system failed: Restore failed" << 0 << "camera stop start open text";
    QTest::newRow("system recovery complete") << true << rec << L{r("3", "0", "Restored", "100")}
                                              << "Update file system failed: Restored" << 0
                                              << "camera stop succeeded start open text";
    QTest::newRow("system recovery stage 4 ignored")
            << true << rec << L{r("4", "1", "x", "100")} << Succeed << 0 << running;
    QTest::newRow("system ignores the camera topic")
            << true << cam << L{r("1", "1", "x", "0")} << Succeed << 0 << running;
    QTest::newRow("system numeric type ignored")
            << true << sys
            << L{"{\"type\":4,\"errorcode\":\"0\",\"message\":\"x\",\"progress\":\"100\"}"}
            << Succeed << 0 << running;
    QTest::newRow("system unreadable on the recovery topic")
            << true << rec << L{notJson} << parserText(notJson) << 0 << "stop start open text";
    QTest::newRow("system unreadable on another topic")
            << true << Other << L{cut} << parserText(cut) << 0 << "stop start open text";
}

void FormReportsTest::stateTable()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, topic);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(QString, label);
    QFETCH(int, bar);
    QFETCH(QString, flags);

    startRun(systemMode);
    if (QTest::currentTestFailed())
        return;

    // Looked at right after the last report is handled: an animation it started would keep
    // running, so the window is then hidden, which ends it.
    int handled = 0;
    QString seenFlags, seenLabel;
    int seenBar = -2;
    Form *form = m_form;
    connect(FormHarness::client(form), &MqttClient::messageReceived, form, [&, form] {
        if (++handled != payloads.size())
            return;
        seenFlags = this->flags();
        seenLabel = ui()->label_state->text();
        seenBar = ui()->progressBar->value();
        if (form->cycleStarted && !form->cycleStop)
            QTimer::singleShot(0, form, [form] { form->hide(); });
    });
    for (const QByteArray &payload : payloads)
        publish(topic, payload);
    QTRY_COMPARE_WITH_TIMEOUT(handled, payloads.size(), 10000);

    QCOMPARE(seenLabel, label);
    QCOMPARE(seenFlags, flags);
    if (bar >= 0)
        QCOMPARE(seenBar, bar);
    const bool asked = systemMode == false && label == QLatin1String("Done");
    QCOMPARE(m_dialogs->count(QStringLiteral("question")), asked ? 1 : 0);
}

void FormReportsTest::animationSweep_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("end");
    QTest::addColumn<int>("finalValue");
    QTest::newRow("update complete ends at 100")
            << QString(Topics::UpdateSystemReport) << r("4", "0", "Done", "100") << 100;
    QTest::newRow("recovery failure ends at 60")
            << QString(Topics::RecoveryReport) << r("2", "1", "Broken", "") << 60;
}

void FormReportsTest::animationSweep()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, end);
    QFETCH(int, finalValue);

    startRun(true);
    if (QTest::currentTestFailed())
        return;
    QProgressBar *bar = ui()->progressBar;
    QList<int> values;
    bool ended = false;
    connect(bar, &QProgressBar::valueChanged, this, [&](int v) {
        values << v;
        // A whole sweep and the start of the next, then the report that stops it.
        if (!ended && values.size() >= 23) {
            ended = true;
            publish(topic, end);
        }
    });
    publish(Topics::UpdateSystemReport, r("2", "0", "Unpacking", ""));
    QTRY_VERIFY_WITH_TIMEOUT(ended && m_form->cycleStop && !m_form->restarting, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), finalValue, 10000);

    // 5, 10, ... 100, 0, 5, ... one step at a time (the bar stood at 0), then the end value.
    QCOMPARE(values.value(0), 5);
    int i = 1;
    while (i < values.size() && values[i] == nextSweepValue(values[i - 1]))
        ++i;
    QVERIFY2(i >= 23, qPrintable(QString::number(i)));
    QVERIFY(values.size() - i <= 1);
    if (i < values.size())
        QCOMPARE(values[i], finalValue);
    QCOMPARE(bar->isTextVisible(), finalValue == 100);
}

void FormReportsTest::animationResumes()
{
    startRun(true);
    if (QTest::currentTestFailed())
        return;
    QProgressBar *bar = ui()->progressBar;
    QList<int> values;
    bool stopSent = false;
    // A stage 1 report at 1 % first, a value the animation never shows.
    auto stopAfter = [&](int count) {
        values.clear();
        stopSent = false;
        return connect(bar, &QProgressBar::valueChanged, this, [&, count](int v) {
            values << v;
            const int animated = values.size() - values.lastIndexOf(1) - 1;
            if (!stopSent && values.contains(1) && animated >= count) {
                stopSent = true;
                publish(Topics::RecoveryReport, r("1", "1", "Stopped", ""));
            }
        });
    };

    QMetaObject::Connection c = stopAfter(7);
    publish(Topics::UpdateSystemReport, r("1", "0", "a", "1"));
    publish(Topics::UpdateSystemReport, r("2", "0", "b", ""));
    QTRY_VERIFY_WITH_TIMEOUT(stopSent && bar->value() == 60, 20000);
    disconnect(c);
    const int stoppedAt = m_form->cycleValue;

    QVERIFY(ui()->pushButton_Start->isEnabled());
    startAgain();
    if (QTest::currentTestFailed())
        return;
    c = stopAfter(1);
    publish(Topics::UpdateSystemReport, r("1", "0", "a", "1"));
    publish(Topics::UpdateSystemReport, r("2", "0", "b", ""));
    QTRY_VERIFY_WITH_TIMEOUT(stopSent && bar->value() == 60, 20000);
    disconnect(c);
    const int firstAnimated = values.value(values.indexOf(1) + 1);
    QCOMPARE(firstAnimated, stoppedAt > 100 ? 0 : stoppedAt);
}

void FormReportsTest::countdown()
{
    startRun(true, 0.01);
    if (QTest::currentTestFailed())
        return;
    Form *form = m_form;
    LabelRecorder tip(ui()->label_Tip);
    bool timerDuringCountdown = true;
    tip.onText = [&, form](const QString &text) {
        if (text.endsWith(QLatin1String("Countdown: 30"))) {
            timerDuringCountdown = form->noReportTimer->isActive();
            form->close(); // refused while the box restarts
        }
    };
    publish(Topics::UpdateSystemReport, r("4", "0", "Update complete", "100"));
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_Tip->text(), QStringLiteral("System restart successful."),
                              20000);
    tip.poll();

    QCOMPARE(tip.texts, QStringList{SystemNote} + countdownTexts());
    QVERIFY(m_form);
    QCOMPARE(m_dialogs->texts(), QStringList{Restarting});
    QVERIFY(!timerDuringCountdown);
    QCOMPARE(flags(), QStringLiteral("camera stop succeeded start open text"));
    QCOMPARE(ui()->label_state->text(), QStringLiteral("Update complete"));
    // The first stage report was the completing one: its animation ends at 100 with its text.
    QTRY_COMPARE(ui()->progressBar->value(), 100);
    QVERIFY(ui()->progressBar->isTextVisible());

    QVERIFY(m_form->close());
    QTRY_VERIFY(m_form.isNull());
}

void FormReportsTest::oneCountdownAtATime()
{
    startRun(true, 0.01);
    if (QTest::currentTestFailed())
        return;
    Form *form = m_form;
    LabelRecorder tip(ui()->label_Tip);
    bool refusedLate = false;
    bool again = false;
    tip.onText = [&, form](const QString &text) {
        if (!again && text.endsWith(QLatin1String("Countdown: 50"))) {
            again = true;
            publish(Topics::UpdateSystemReport, r("4", "0", "Complete again", "100"));
        }
        if (text.endsWith(QLatin1String("Countdown: 5")))
            refusedLate = !form->close();
    };
    publish(Topics::UpdateSystemReport, r("4", "0", "Update complete", "100"));
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_Tip->text(), QStringLiteral("System restart successful."),
                              20000);
    tip.poll();
    QCOMPARE(ui()->label_state->text(), QStringLiteral("Complete again"));
    QCOMPARE(tip.texts, QStringList{SystemNote} + countdownTexts());
    QVERIFY(refusedLate);
    QVERIFY(!m_form->restarting);
}

void FormReportsTest::stageReportDuringCountdown()
{
    // A stage report after completion must not start an animation beneath the countdown,
    // which would hold the countdown, and with it the window, until a later report.
    startRun(true, 0.01);
    if (QTest::currentTestFailed())
        return;
    Form *form = m_form;
    LabelRecorder tip(ui()->label_Tip);
    bool late = false;
    tip.onText = [&](const QString &text) {
        if (!late && text.endsWith(QLatin1String("Countdown: 50"))) {
            late = true;
            publish(Topics::UpdateSystemReport, r("2", "0", "Late stage", ""));
        }
    };
    bool watchdog = false;
    QTimer::singleShot(10000, form, [&, form] {
        watchdog = true;
        form->hide(); // ends a stalled animation so the test can finish
    });
    publish(Topics::UpdateSystemReport, r("4", "0", "Update complete", "100"));
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_Tip->text(), QStringLiteral("System restart successful."),
                              30000);
    QVERIFY(!watchdog);
    tip.poll();
    QCOMPARE(tip.texts, QStringList{SystemNote} + countdownTexts());
    QCOMPARE(ui()->label_state->text(), QStringLiteral("Late stage"));
    QVERIFY(!m_form->restarting);
    QVERIFY(ui()->pushButton_Start->isEnabled());
}

void FormReportsTest::restartQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("brokerLost");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QList<QByteArray>>("restarts");
    QTest::newRow("yes") << int(QMessageBox::Yes) << false << "System Restart"
                         << QList<QByteArray>{"Restart"};
    QTest::newRow("no") << int(QMessageBox::No) << false << "Done" << QList<QByteArray>{};
    QTest::newRow("yes, broker gone meanwhile")
            << int(QMessageBox::Yes) << true << "System Restart Failed: Connect Server Failed"
            << QList<QByteArray>{};
}

void FormReportsTest::restartQuestion()
{
    QFETCH(int, answer);
    QFETCH(bool, brokerLost);
    QFETCH(QString, label);
    QFETCH(QList<QByteArray>, restarts);

    startRun(false);
    if (QTest::currentTestFailed())
        return;
    Form *form = m_form;
    m_dialogs->answers = {QMessageBox::StandardButton(answer)};
    m_dialogs->whileOpen = [brokerLost, form](const ScriptedDialogs::Call &) {
        if (brokerLost)
            FormHarness::client(form)->disconnectFromHost();
    };
    m_peer.received.clear();
    publish(Topics::UpdateCameraReport, r("2", "0", "Done", "100"));
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_state->text(), label, 10000);

    QCOMPARE(m_dialogs->calls.size(), 1);
    QCOMPARE(m_dialogs->calls[0].kind, QStringLiteral("question"));
    QCOMPARE(m_dialogs->calls[0].title, QStringLiteral("Tip"));
    QCOMPARE(m_dialogs->calls[0].text, RestartQuestion);
    QCOMPARE(restartsPublished(), restarts);
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(ui()->pushButton_Start->isEnabled());
}

void FormReportsTest::closedDuringRestartQuestion()
{
    // The camera update is complete, so the window may be closed while the question is open;
    // the handler must not go on into the deleted window.
    startRun(false);
    if (QTest::currentTestFailed())
        return;
    Form *form = m_form;
    m_dialogs->answers = {QMessageBox::Yes};
    m_dialogs->whileOpen = [form](const ScriptedDialogs::Call &) {
        form->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    };
    m_peer.received.clear();
    publish(Topics::UpdateCameraReport, r("2", "0", "Done", "100"));
    QTRY_VERIFY_WITH_TIMEOUT(m_form.isNull(), 10000);
    QCOMPARE(restartsPublished(), QList<QByteArray>{});
}

void FormReportsTest::closedDuringAnimation()
{
    // A stage 1 failure ends a system run without stopping the animation; closing the window
    // then deletes it while the animation waits.
    startRun(true);
    if (QTest::currentTestFailed())
        return;
    Form *form = m_form;
    int handled = 0;
    connect(FormHarness::client(form), &MqttClient::messageReceived, form, [&handled, form] {
        if (++handled == 2)
            QTimer::singleShot(0, form, [form] { form->close(); });
    });
    publish(Topics::UpdateSystemReport, r("2", "0", "Unpacking", ""));
    publish(Topics::UpdateSystemReport, r("1", "3", "Late failure", "0"));
    QTRY_VERIFY_WITH_TIMEOUT(m_form.isNull(), 10000);
}

void FormReportsTest::boxTextsShownPlain()
{
    const QString markup = QStringLiteral("<h1>Big</h1><br>second line");
    auto plainHint = [](QLabel *label) {
        QLabel plain;
        plain.setFont(label->font());
        plain.setWordWrap(label->wordWrap());
        plain.setTextFormat(Qt::PlainText);
        plain.setText(label->text());
        return plain.sizeHint();
    };
    auto richHint = [](QLabel *label) {
        QLabel rich;
        rich.setFont(label->font());
        rich.setTextFormat(Qt::RichText);
        rich.setText(label->text());
        return rich.sizeHint();
    };

    startRun(false);
    if (QTest::currentTestFailed())
        return;
    QLabel *state = ui()->label_state;
    publish(Topics::UpdateCameraReport, r("1", "0", markup, "10"));
    QTRY_COMPARE_WITH_TIMEOUT(state->text(), markup, 10000);
    QVERIFY(plainHint(state) != richHint(state)); // the comparison below can tell them apart
    QCOMPARE(state->sizeHint(), plainHint(state));

    publish(Topics::UpdateCameraReport, r("1", "1", markup, "0"));
    QTRY_COMPARE_WITH_TIMEOUT(state->text(), "Update camera fw failed: " + markup, 10000);
    QCOMPARE(state->sizeHint(), plainHint(state));

    // The device texts from the discovery reply are the box's too.
    Form other(markup, markup, markup, false);
    Ui::Form *u = FormHarness::ui(&other);
    for (QLabel *label : {u->label_ip_value, u->label_mac_value, u->label_sn_value})
        QCOMPARE(label->sizeHint(), plainHint(label));
}

void FormReportsTest::silentBoxEndsRun()
{
    // 40 minutes without a report become 1 s; reports come every 0.35 s three times, then the
    // box falls silent. The run ends 1 s after the last report, not after the first.
    startRun(true);
    if (QTest::currentTestFailed())
        return;
    LocalWait::setTimeScaleForTests(1000.0 / (40 * 60 * 1000));
    Form *form = m_form;
    QElapsedTimer clock;
    clock.start();
    QList<qint64> reports;
    qint64 failedAt = -1;
    LabelRecorder state(ui()->label_state);
    state.onText = [&](const QString &text) {
        if (failedAt < 0 && text == QLatin1String("Update Failed: No report from the device"))
            failedAt = clock.elapsed();
    };
    for (int i = 1; i <= 3; ++i) {
        QTimer::singleShot(350 * i, form, [&] {
            reports << clock.elapsed();
            publish(Topics::UpdateSystemReport, r("2", "0", "Working", ""));
        });
    }
    bool watchdog = false;
    QTimer::singleShot(15000, form, [&, form] {
        watchdog = true;
        form->hide();
    });
    QTRY_VERIFY_WITH_TIMEOUT(failedAt >= 0 || watchdog, 20000);
    QVERIFY(!watchdog);
    QCOMPARE(reports.size(), 3);
    QVERIFY2(failedAt - reports.last() >= 950,
             qPrintable(QStringLiteral("%1 after the last report").arg(failedAt - reports.last())));

    // Ended as a failure: Start again, the animation at 60, the stream closed.
    QCOMPARE(flags(), QStringLiteral("stop start"));
    QTRY_COMPARE(ui()->progressBar->value(), 60);
    QVERIFY(!m_form->streamRunning);
    QTRY_VERIFY(m_receiver->last()->closed);
    QVERIFY(m_form->close());
}

QTEST_MAIN(FormReportsTest)
#include "tst_formreports.moc"
