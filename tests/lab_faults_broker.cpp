// Fault scenarios in the virtual lab (run by scripts/lab.sh inside the workstation namespace):
// the box's broker is killed in the middle of a system update and of a recovery. The window
// must not crash or hang, must go on telling the truth (still waiting for the box, the close
// refused, then the run ended as failed once the box has been silent too long), and a new run
// must work once the broker is back.
//
// Box 1 serves the update, box 2 the recovery.

#include "form.h"
#include "lab_faults_lab.h"
#include "localwait.h"
#include "mqttclient.h"
#include "recoveryform.h"
#include "scripteddialogs.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Waits of the tool while the run is set up: a 1000 ms broker connection wait becomes 50 ms,
// still ample on the lab's bridge.
constexpr double RunScale = 0.05;
// While the broker is down: the 40 and 30 minute report limits become 7.2 and 5.4 s.
constexpr double SilenceScale = 0.003;

template<typename T>
T *child(QObject *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

// The broker's outage as the window lives it, driven from inside the window's own waits:
// once the run has reached the chosen report, the box's broker is stopped; once the window
// has noticed, its state is noted and a close is tried.
struct Outage
{
    enum Phase { Running, BrokerStopping, Over };

    // True once the outage has been observed.
    bool step(bool reached, MqttClient *client, QWidget *window, QPushButton *button, QLabel *state,
              ScriptedDialogs *dialogs)
    {
        if (phase == Running && reached) {
            kill.reset(FaultLab::startBoxCommand(FaultLab::stopBrokerArgs(box)));
            phase = BrokerStopping;
        } else if (phase == BrokerStopping && client->state() == MqttClient::Disconnected) {
            stateWhileDown = state->text();
            buttonEnabledWhileDown = button->isEnabled();
            dialogs->calls.clear();
            closedWhileDown = window->close();
            closeTexts = dialogs->texts();
            phase = Over;
        }
        return phase == Over;
    }

    int box = 0;
    Phase phase = Running;
    QScopedPointer<QProcess> kill;
    QString stateWhileDown;
    bool buttonEnabledWhileDown = true;
    bool closedWhileDown = true;
    QStringList closeTexts;
};

} // namespace

class LabFaultsBrokerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void brokerKilledDuringSystemUpdate();
    void brokerKilledDuringRecovery();

private:
    QTemporaryDir m_dir;
};

void LabFaultsBrokerTest::initTestCase()
{
    if (!FaultLab::started())
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // Never the real ports or the broadcast in the machine's own network.
    QVERIFY2(FaultLab::insideWorkstation(), "not inside the lab's workstation namespace");
    QVERIFY(FaultLab::boxCount() >= 2);
    QVERIFY(m_dir.isValid());
    QApplication::setQuitOnLastWindowClosed(false);
}

void LabFaultsBrokerTest::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
}

void LabFaultsBrokerTest::brokerKilledDuringSystemUpdate()
{
    const int box = 1;
    // Reports far enough apart that the broker goes down between two of them.
    QVERIFY(FaultLab::restartSim(box, {QStringLiteral("--report-interval"), QStringLiteral("1000"),
                                       QStringLiteral("--progress-steps"), QStringLiteral("100")}));
    const QString image = m_dir.filePath(QStringLiteral("system.img"));
    QVERIFY(FaultLab::writeImage(image, 3 * 1024 * 1024 + 12345));

    ScriptedDialogs dialogs;
    LocalWait::setTimeScaleForTests(RunScale);
    QPointer<Form> form = new Form(FaultLab::box(box, "IP"), FaultLab::box(box, "MAC"),
                                   FaultLab::box(box, "SN"), true);
    form->show();
    auto *start = child<QPushButton>(form, "pushButton_Start");
    auto *state = child<QLabel>(form, "label_state");
    auto *tip = child<QLabel>(form, "label_Tip");
    auto *bar = child<QProgressBar>(form, "progressBar");
    auto *client = form->findChild<MqttClient *>();
    QVERIFY(start && state && tip && bar && client);

    dialogs.files = QStringList{image};
    QTest::mouseClick(child<QPushButton>(form, "pushButton_Browser"), Qt::LeftButton);
    int mark = FaultLab::logMark(box);
    dialogs.answers = {QMessageBox::Yes};
    QTest::mouseClick(start, Qt::LeftButton);

    // The box has the whole image; the reports restart the report limit from now on at the
    // short scale.
    QVERIFY(!FaultLab::waitForEvent(box, mark, QStringLiteral("TCP"), {QStringLiteral("result=ok")})
                     .isEmpty());
    LocalWait::setTimeScaleForTests(SilenceScale);

    // The busy animation of a stage without a percentage runs from here to the end of the run,
    // so what happens meanwhile is done and noted inside the wait.
    Outage outage;
    outage.box = box;
    const bool ended = FaultLab::waitUntil(
            [&] {
                return outage.step(state->text() == QLatin1String("Checking file system"), client,
                                   form, start, state, &dialogs) &&
                       state->text() == QLatin1String("Update Failed: No report from the device");
            },
            60000);
    QVERIFY2(FaultLab::finishedWell(outage.kill.data()), "the broker could not be stopped");
    QVERIFY2(outage.phase == Outage::Over, qPrintable(QString::number(outage.phase)));
    // While the broker was down the window went on waiting for the box: the update was not
    // over, and the window refused to close.
    QCOMPARE(outage.stateWhileDown, QStringLiteral("Checking file system"));
    QVERIFY(!outage.buttonEnabledWhileDown);
    QVERIFY(!outage.closedWhileDown);
    QCOMPARE(outage.closeTexts,
             QStringList{QStringLiteral("The system fw is updating, it takes about 30 minutes. "
                                        "Please do not close the system fw update form.")});
    // No report for the (scaled) 40 minutes: the run ended as failed, the window can close.
    QVERIFY2(ended, qPrintable(state->text()));
    QVERIFY(start->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 60, 5000);
    QVERIFY(!bar->isTextVisible());
    // The box could not tell: its reports found no broker.
    QVERIFY(!FaultLab::events(box, mark, QStringLiteral("SEND_FAILED")).isEmpty());

    // The broker is back: a new run in the same window goes through to the restart.
    mark = FaultLab::logMark(box);
    QVERIFY(FaultLab::startBroker(box));
    QVERIFY(!FaultLab::waitForEvent(box, mark, QStringLiteral("MQTT_SUBSCRIBE"),
                                    {QStringLiteral("ok=1")})
                     .isEmpty());
    LocalWait::setTimeScaleForTests(RunScale);
    mark = FaultLab::logMark(box);
    dialogs.calls.clear();
    dialogs.answers = {QMessageBox::Yes};
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!FaultLab::waitForEvent(box, mark, QStringLiteral("TCP"), {QStringLiteral("result=ok")})
                     .isEmpty());
    QVERIFY2(FaultLab::waitUntil(
                     [&] { return tip->text() == QLatin1String("System restart successful."); },
                     60000),
             qPrintable(state->text() + QLatin1String(" / ") + tip->text()));
    QCOMPARE(state->text(), QStringLiteral("Update file system succeeded, restarting"));
    QVERIFY(start->isEnabled());
    QCOMPARE(bar->value(), 100);
    QCOMPARE(client->state(), MqttClient::Connected);

    dialogs.calls.clear();
    QVERIFY(form->close());
    QVERIFY(dialogs.calls.isEmpty());
    QTRY_VERIFY(form.isNull());
}

void LabFaultsBrokerTest::brokerKilledDuringRecovery()
{
    const int box = 2;
    QVERIFY(FaultLab::restartSim(box,
                                 {QStringLiteral("--report-interval"), QStringLiteral("1000")}));

    ScriptedDialogs dialogs;
    LocalWait::setTimeScaleForTests(RunScale);
    QPointer<RecoveryForm> form = new RecoveryForm(
            FaultLab::box(box, "IP"), FaultLab::box(box, "MAC"), FaultLab::box(box, "SN"));
    form->show();
    auto *button = child<QPushButton>(form, "pushButton_Recovery");
    auto *state = child<QLabel>(form, "label_state_recovery");
    auto *tip = child<QLabel>(form, "label_Tip");
    auto *bar = child<QProgressBar>(form, "progressBar_Recovery");
    auto *client = form->findChild<MqttClient *>();
    QVERIFY(button && state && tip && bar && client);

    // The report limit starts when the request goes out, at the scale of that moment: switch
    // to the short scale once the connection to the box's broker is up.
    const QMetaObject::Connection shorten =
            connect(client, &MqttClient::stateChanged, this, [](MqttClient::ClientState s) {
                if (s == MqttClient::Connected)
                    LocalWait::setTimeScaleForTests(SilenceScale);
            });
    int mark = FaultLab::logMark(box);
    dialogs.answers = {QMessageBox::Yes};
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!FaultLab::waitForEvent(box, mark, QStringLiteral("RECOVERY_REQUEST")).isEmpty());
    disconnect(shorten);
    Outage outage;
    outage.box = box;
    const bool ended = FaultLab::waitUntil(
            [&] {
                return outage.step(state->text() == QLatin1String("Preparing recovery"), client,
                                   form, button, state, &dialogs) &&
                       state->text() == QLatin1String("Recovery Failed: No report from the device");
            },
            60000);
    QVERIFY2(FaultLab::finishedWell(outage.kill.data()), "the broker could not be stopped");
    QVERIFY2(outage.phase == Outage::Over, qPrintable(QString::number(outage.phase)));
    QCOMPARE(outage.stateWhileDown, QStringLiteral("Preparing recovery"));
    QVERIFY(!outage.buttonEnabledWhileDown);
    QVERIFY(!outage.closedWhileDown);
    QCOMPARE(outage.closeTexts,
             QStringList{QStringLiteral("The system is recovering, it takes about 25 minutes. "
                                        "Please do not close the recovery system form.")});
    QVERIFY2(ended, qPrintable(state->text()));
    QVERIFY(button->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 60, 5000);

    // A new run once the broker is back.
    mark = FaultLab::logMark(box);
    QVERIFY(FaultLab::startBroker(box));
    QVERIFY(!FaultLab::waitForEvent(box, mark, QStringLiteral("MQTT_SUBSCRIBE"),
                                    {QStringLiteral("ok=1")})
                     .isEmpty());
    LocalWait::setTimeScaleForTests(RunScale);
    mark = FaultLab::logMark(box);
    dialogs.answers = {QMessageBox::Yes};
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!FaultLab::waitForEvent(box, mark, QStringLiteral("RECOVERY_REQUEST")).isEmpty());
    QVERIFY2(FaultLab::waitUntil(
                     [&] { return tip->text() == QLatin1String("System restart successful."); },
                     60000),
             qPrintable(state->text() + QLatin1String(" / ") + tip->text()));
    QCOMPARE(state->text(), QStringLiteral("Recovery succeeded, restarting"));
    QVERIFY(button->isEnabled());
    QCOMPARE(bar->value(), 100);

    dialogs.calls.clear();
    QVERIFY(form->close());
    QVERIFY(dialogs.calls.isEmpty());
    QTRY_VERIFY(form.isNull());
}

QTEST_MAIN(LabFaultsBrokerTest)
#include "lab_faults_broker.moc"
