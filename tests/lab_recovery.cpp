// End to end in the virtual lab (run by scripts/lab.sh inside the workstation namespace): the
// recovery window asks simulated boxes, over their real broker port 1883, to restore their
// default system, and follows their reports to the restart or to the failure.
//
// Box 1 is well-behaved (its reports come slowly enough for the animation to run between
// them), box 2 fails at the second stage, box 3 sends a report that is not JSON (see
// lab_e2e.cmake).

#include "boxlog.h"
#include "labbox.h"
#include "localwait.h"
#include "recoveryform.h"
#include "recoverywindowdriver.h"
#include "scripteddialogs.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace {

// Animation and countdown at a twentieth of their length: the 61 s countdown takes 3 s.
constexpr double RunScale = 0.05;
constexpr int RunTimeoutMs = 30000;

const QString CountdownText = QStringLiteral("The system is restarting, please do not close the "
                                             "form. It takes about 1 minute. Countdown: ");
const QString Request =
        QStringLiteral("TalixTools_in/recovery_file_system \"RecoveryDefaultSystem\"");

// The box of the third row sends this instead of a report.
const QByteArray UnreadablePayload = QByteArrayLiteral("not json");

QString parserText(const QByteArray &payload)
{
    QJsonParseError error;
    QJsonDocument::fromJson(payload, &error);
    return error.errorString();
}

} // namespace

class LabRecoveryTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recoverySucceeds();
    void recoveryFails_data();
    void recoveryFails();

private:
    RecoveryForm *openWindow(const LabBox &box);
    QStringList questions() const;
    void verifyOtherBoxesUntouched(int except);

    QList<LabBox> m_boxes;
    QList<std::shared_ptr<BoxLog>> m_logs;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    QPointer<RecoveryForm> m_window;
};

void LabRecoveryTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("TALIX_LAB_NS"))
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    QVERIFY2(LabBox::insideLabNamespace(), "not inside the lab's workstation namespace");
    QApplication::setQuitOnLastWindowClosed(false);

    m_boxes = LabBox::fromEnvironment();
    QCOMPARE(m_boxes.size(), 3);
    for (const LabBox &box : qAsConst(m_boxes)) {
        QVERIFY2(QFile::exists(box.logPath), qPrintable(box.logPath));
        m_logs.append(std::make_shared<BoxLog>(box.logPath));
    }
}

void LabRecoveryTest::init()
{
    LocalWait::setTimeScaleForTests(1.0);
    for (auto &log : m_logs)
        log->mark();
    m_dialogs = std::make_unique<ScriptedDialogs>();
}

void LabRecoveryTest::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
    delete m_window;
    m_dialogs.reset();
}

RecoveryForm *LabRecoveryTest::openWindow(const LabBox &box)
{
    // As the device menu opens it: the row's texts, the box's own broker port, modal.
    auto *form = new RecoveryForm(box.ip, box.mac, box.sn);
    form->setAttribute(Qt::WA_ShowModal, true);
    form->show();
    m_window = form;
    return form;
}

QStringList LabRecoveryTest::questions() const
{
    QStringList out;
    for (const ScriptedDialogs::Call &call : m_dialogs->calls) {
        if (call.kind == QLatin1String("question"))
            out.append(call.text);
    }
    return out;
}

void LabRecoveryTest::verifyOtherBoxesUntouched(int except)
{
    for (int i = 0; i < m_boxes.size(); ++i) {
        if (i != except)
            QVERIFY2(m_logs.at(i)->received().isEmpty(),
                     qPrintable(QStringLiteral("box %1 received: %2")
                                        .arg(i + 1)
                                        .arg(m_logs.at(i)->received().join(QLatin1String(", ")))));
    }
}

void LabRecoveryTest::recoverySucceeds()
{
    const LabBox &box = m_boxes.at(0);
    BoxLog &log = *m_logs.at(0);
    RecoveryForm *form = openWindow(box);
    RecoveryWindowDriver run(form, m_dialogs.get());
    QVERIFY(run.isValid());
    QCOMPARE(form->windowTitle(), QStringLiteral("Recovery Default System"));
    QCOMPARE(run.deviceTexts(), (QStringList{box.ip, box.mac, box.sn}));
    const QString noteBefore = run.tip->text();

    // While the box works and while it restarts, the window refuses to close, each time with
    // its reason. For the documentation, when asked for: the window during the countdown.
    QStringList refusals;
    auto tryClose = [&] {
        const int before = m_dialogs->calls.size();
        refusals.append(form->close() ? QStringLiteral("closed") : QStringLiteral("kept"));
        refusals.append(m_dialogs->texts().mid(before));
    };
    run.stateTexts.onChange = [&](const QString &text) {
        if (text == QLatin1String("Restoring default system"))
            tryClose();
    };
    run.tipTexts.onChange = [&](const QString &text) {
        if (text != CountdownText + QLatin1String("45"))
            return;
        tryClose();
        const QString dir = qEnvironmentVariable("TALIX_LAB_SCREENSHOT_DIR");
        if (!dir.isEmpty() &&
            !form->grab().save(QDir(dir).filePath(QStringLiteral("recovery.png"))))
            qWarning("could not save recovery.png in %s", qPrintable(dir));
    };

    run.start(&log, RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));
    QCOMPARE(questions(), QStringList{QStringLiteral("Do you want to recovery default system?")});

    // The box's stages in turn; the countdown, 60 down to 0; then the end of the restart.
    QVERIFY2(run.stateTexts.showedInOrder(
                     {QStringLiteral("Preparation is starting, please wait a moment..."),
                      QStringLiteral("Preparing recovery"),
                      QStringLiteral("Restoring default system"),
                      QStringLiteral("Writing default system"),
                      QStringLiteral("Recovery succeeded, restarting")}),
             qPrintable(run.stateTexts.values.join(" | ")));
    QCOMPARE(run.state->text(), QStringLiteral("Recovery succeeded, restarting"));
    QStringList expectedTips{noteBefore};
    for (int n = 60; n >= 0; --n)
        expectedTips.append(CountdownText + QString::number(n));
    expectedTips.append(QStringLiteral("System restart successful."));
    QCOMPARE(run.tipTexts.values, expectedTips);
    QCOMPARE(refusals,
             (QStringList{QStringLiteral("kept"),
                          QStringLiteral("The system is recovering, it takes about 25 minutes. "
                                         "Please do not close the recovery system form."),
                          QStringLiteral("kept"),
                          QStringLiteral("The system is restarting, it takes about 1 minute. "
                                         "Please do not close the recovery system form.")}));
    // The busy animation ran while the box worked and ends at 100 with its text.
    QVERIFY2(run.barValues.values.size() > 5, qPrintable(run.barValues.values.join(' ')));
    QTRY_COMPARE_WITH_TIMEOUT(run.bar->value(), 100, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(run.bar->isTextVisible(), 5000);
    QVERIFY(run.button->isEnabled());

    // The box received the request once, exactly, and played its whole report script.
    QCOMPARE(log.received(), QStringList{Request});
    QVERIFY(!log.waitForEvent(QStringLiteral("RECOVERY_REQUEST"),
                              {QStringLiteral("scenario=success")})
                     .isNull());
    verifyOtherBoxesUntouched(0);

    m_dialogs->calls.clear();
    QVERIFY(form->close());
    QVERIFY(m_dialogs->calls.isEmpty());
}

void LabRecoveryTest::recoveryFails_data()
{
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("expectedState");

    QTest::newRow("failure report") << 2 << QStringLiteral("Default system image damaged");
    QTest::newRow("unreadable report") << 3 << parserText(UnreadablePayload);
}

void LabRecoveryTest::recoveryFails()
{
    QFETCH(int, box);
    QFETCH(QString, expectedState);

    const LabBox &labBox = m_boxes.at(box - 1);
    BoxLog &log = *m_logs.at(box - 1);
    RecoveryForm *form = openWindow(labBox);
    RecoveryWindowDriver run(form, m_dialogs.get());
    QVERIFY(run.isValid());
    const QString noteBefore = run.tip->text();

    run.start(&log, RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));

    // The box's text as it sent it, the button enabled again, no countdown; the animation
    // started by the first report ends at 60.
    QCOMPARE(run.state->text(), expectedState);
    QVERIFY(run.button->isEnabled());
    QCOMPARE(run.tip->text(), noteBefore);
    QTRY_COMPARE_WITH_TIMEOUT(run.bar->value(), 60, 5000);
    QVERIFY(!run.bar->isTextVisible());

    QCOMPARE(log.received(), QStringList{Request});
    verifyOtherBoxesUntouched(box - 1);

    // The run is over: the window closes without a word.
    m_dialogs->calls.clear();
    QVERIFY(form->close());
    QVERIFY(m_dialogs->calls.isEmpty());
}

QTEST_MAIN(LabRecoveryTest)
#include "lab_recovery.moc"
