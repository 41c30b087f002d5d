// End to end in the virtual lab (run by scripts/lab.sh inside the workstation namespace):
// firmware updates of simulated boxes through a real update window, over the boxes' real
// broker port 1883 and image port 8000. The box checks the size and MD5 of the image it
// received before it reports success.
//
// Box 1 is well-behaved, box 2 fails the camera update at its second stage, box 3 fails a
// system update while the image is still coming in (see lab_e2e.cmake).

#include "boxlog.h"
#include "boxsimprocess.h"
#include "form.h"
#include "labbox.h"
#include "labimage.h"
#include "localwait.h"
#include "scripteddialogs.h"
#include "updatewindowdriver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Stream, reports and countdown at a twentieth of their length: the 61 s countdown takes 3 s.
constexpr double RunScale = 0.05;
constexpr int RunTimeoutMs = 45000;

const QString CountdownText = QStringLiteral("The system is restarting, please do not close the "
                                             "form. It takes about 1 minute. Countdown: ");

} // namespace

class LabUpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cameraUpdate();
    void systemUpdate();
    void failureReported_data();
    void failureReported();

private:
    Form *openWindow(const LabBox &box, bool systemMode);
    // Nothing reached the boxes other than `except` since the test began.
    void verifyOtherBoxesUntouched(int except);
    void saveShot(QWidget *window, const QString &name);
    QStringList questions() const;

    QList<LabBox> m_boxes;
    QList<std::shared_ptr<BoxLog>> m_logs;
    // Where the operator keeps the images.
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/firmware-XXXXXX")};
    LabImage m_camera, m_system, m_largeSystem;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    QPointer<Form> m_window;
};

void LabUpdateTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("TALIX_LAB_NS"))
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // The windows use the boxes' real ports: only inside the lab.
    QVERIFY2(LabBox::insideLabNamespace(), "not inside the lab's workstation namespace");
    QApplication::setQuitOnLastWindowClosed(false);

    m_boxes = LabBox::fromEnvironment();
    QCOMPARE(m_boxes.size(), 3);
    for (const LabBox &box : qAsConst(m_boxes)) {
        QVERIFY2(QFile::exists(box.logPath), qPrintable(box.logPath));
        m_logs.append(std::make_shared<BoxLog>(box.logPath));
    }
    QVERIFY2(m_boxes.at(0).extraOptions.isEmpty(), "box 1 must be a well-behaved box");
    QVERIFY(m_dir.isValid());

    // A camera image of two full chunks and a short one, a system image of two full chunks,
    // and a system image long enough for the stream to be running when the box gives up.
    m_camera = LabImage::create(m_dir.path(), QStringLiteral("camera.bin"), 2500000, 1);
    m_system = LabImage::create(m_dir.path(), QStringLiteral("system.img"), 4194304, 2);
    m_largeSystem =
            LabImage::create(m_dir.path(), QStringLiteral("system-large.img"), 16 * 1024 * 1024, 3);
    QVERIFY(!m_camera.path.isEmpty() && !m_system.path.isEmpty() && !m_largeSystem.path.isEmpty());
}

void LabUpdateTest::init()
{
    LocalWait::setTimeScaleForTests(1.0);
    for (auto &log : m_logs)
        log->mark();
    m_dialogs = std::make_unique<ScriptedDialogs>();
}

void LabUpdateTest::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
    delete m_window;
    m_dialogs.reset();
}

Form *LabUpdateTest::openWindow(const LabBox &box, bool systemMode)
{
    // As the device menu opens it: the row's texts, the boxes' own ports, modal.
    auto *form = new Form(box.ip, box.mac, box.sn, systemMode);
    form->setAttribute(Qt::WA_ShowModal, true);
    form->show();
    m_window = form;
    return form;
}

void LabUpdateTest::verifyOtherBoxesUntouched(int except)
{
    for (int i = 0; i < m_boxes.size(); ++i) {
        if (i != except)
            QVERIFY2(m_logs.at(i)->received().isEmpty(),
                     qPrintable(QStringLiteral("box %1 received: %2")
                                        .arg(i + 1)
                                        .arg(m_logs.at(i)->received().join(QLatin1String(", ")))));
    }
}

void LabUpdateTest::saveShot(QWidget *window, const QString &name)
{
    // For the documentation, when asked for: the window as the operator sees it mid-run.
    const QString dir = qEnvironmentVariable("TALIX_LAB_SCREENSHOT_DIR");
    if (dir.isEmpty() || !window)
        return;
    if (!window->grab().save(QDir(dir).filePath(name)))
        qWarning("could not save %s in %s", qPrintable(name), qPrintable(dir));
}

QStringList LabUpdateTest::questions() const
{
    QStringList out;
    for (const ScriptedDialogs::Call &call : m_dialogs->calls) {
        if (call.kind == QLatin1String("question"))
            out.append(call.text);
    }
    return out;
}

void LabUpdateTest::cameraUpdate()
{
    const LabBox &box = m_boxes.at(0);
    BoxLog &log = *m_logs.at(0);
    Form *form = openWindow(box, false);
    UpdateWindowDriver run(form, m_dialogs.get());
    QVERIFY(run.isValid());
    QCOMPARE(form->windowTitle(), QStringLiteral("Camera FW Update"));
    QCOMPARE(run.deviceTexts(), (QStringList{box.ip, box.mac, box.sn}));

    bool shot = false;
    run.barValues.onChange = [&](const QString &value) {
        if (!shot && value == QLatin1String("50") &&
            run.state->text() == QLatin1String("Receiving camera fw")) {
            saveShot(form, QStringLiteral("update-camera.png"));
            shot = true;
        }
    };
    run.start(m_camera.path, QMessageBox::Yes, &log, RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));

    // The window: the box's stages in turn, then the restart command sent.
    QCOMPARE(run.state->text(), QStringLiteral("System Restart"));
    QVERIFY2(run.stateTexts.showedInOrder(
                     {QStringLiteral("Preparation is starting, please wait a moment..."),
                      QStringLiteral("Connect Server Succeed..."),
                      QStringLiteral("Receiving camera fw"), QStringLiteral("Updating camera fw"),
                      QStringLiteral("System Restart")}),
             qPrintable(run.stateTexts.values.join(" | ")));
    QVERIFY2(run.barValues.showedInOrder({"25", "50", "75", "100"}),
             qPrintable(run.barValues.values.join(' ')));
    QCOMPARE(run.bar->value(), 100);
    QVERIFY(run.startButton->isEnabled());
    QCOMPARE(questions(),
             (QStringList{QStringLiteral("Do you want to update?"),
                          QStringLiteral("This update needs to restart System to take effect. Do "
                                         "you want to restart System immediately?")}));

    // The box: the request, exactly; the image from the workstation, whole and intact; then
    // the restart command.
    const QString ws = LabBox::workstationIp();
    QVERIFY(!log.waitForEvent(QStringLiteral("POWER"),
                              {QStringLiteral("command=restart"), QStringLiteral("valid=1")})
                     .isNull());
    QCOMPARE(log.received(),
             (QStringList{BoxLog::describe(QStringLiteral("TalixTools_in/update_camera_fw"),
                                           m_camera.requestBody(ws, 1048576)),
                          BoxLog::describe(QStringLiteral("TalixTools_in/restart"), "Restart")}));
    const QStringList accepts = log.events(QStringLiteral("TCP_ACCEPT"));
    QCOMPARE(accepts.size(), 1);
    QVERIFY2(BoxSimProcess::field(accepts.first(), QStringLiteral("from"))
                     .startsWith(ws + QLatin1Char(':')),
             qPrintable(accepts.first()));
    const QStringList transfers = log.events(QStringLiteral("TCP"));
    QCOMPARE(transfers.size(), 1);
    QCOMPARE(BoxSimProcess::field(transfers.first(), QStringLiteral("result")),
             QStringLiteral("ok"));
    QCOMPARE(BoxSimProcess::field(transfers.first(), QStringLiteral("bytes")),
             QString::number(m_camera.size));
    QCOMPARE(BoxSimProcess::field(transfers.first(), QStringLiteral("md5")), m_camera.md5);
    verifyOtherBoxesUntouched(0);

    // Idle again: the window closes.
    QVERIFY(form->close());
}

void LabUpdateTest::systemUpdate()
{
    const LabBox &box = m_boxes.at(0);
    BoxLog &log = *m_logs.at(0);
    Form *form = openWindow(box, true);
    UpdateWindowDriver run(form, m_dialogs.get());
    QVERIFY(run.isValid());
    QCOMPARE(form->windowTitle(), QStringLiteral("System FW Update"));
    QCOMPARE(run.deviceTexts(), (QStringList{box.ip, box.mac, box.sn}));
    const QString noteBefore = run.tip->text();

    bool shot = false;
    run.barValues.onChange = [&](const QString &value) {
        if (!shot && value == QLatin1String("50") &&
            run.state->text() == QLatin1String("Receiving file system")) {
            saveShot(form, QStringLiteral("update-system.png"));
            shot = true;
        }
    };
    // The countdown runs inside the report handler: its texts are sampled as they show. A close
    // attempt during it is refused.
    QStringList closeRefusals;
    run.tipTexts.onChange = [&](const QString &text) {
        if (text == CountdownText + QLatin1String("30")) {
            const int before = m_dialogs->calls.size();
            closeRefusals.append(form->close() ? QStringLiteral("closed") : QStringLiteral("kept"));
            closeRefusals.append(m_dialogs->texts().mid(before));
        }
    };
    run.start(m_system.path, QMessageBox::No, &log, RunScale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));

    // The countdown, 60 down to 0, then the end of the restart.
    QStringList expectedTips{noteBefore};
    for (int n = 60; n >= 0; --n)
        expectedTips.append(CountdownText + QString::number(n));
    expectedTips.append(QStringLiteral("System restart successful."));
    QCOMPARE(run.tipTexts.values, expectedTips);
    QCOMPARE(questions(), QStringList{QStringLiteral("Do you want to update?")});
    QCOMPARE(closeRefusals,
             (QStringList{QStringLiteral("kept"),
                          QStringLiteral("The system is restarting, it takes about 1 minute. "
                                         "Please do not close the system fw update form.")}));

    QCOMPARE(run.state->text(), QStringLiteral("Update file system succeeded, restarting"));
    QVERIFY2(run.stateTexts.showedInOrder(
                     {QStringLiteral("Preparation is starting, please wait a moment..."),
                      QStringLiteral("Connect Server Succeed..."),
                      QStringLiteral("Receiving file system"),
                      QStringLiteral("Checking file system"), QStringLiteral("Writing file system"),
                      QStringLiteral("Update file system succeeded, restarting")}),
             qPrintable(run.stateTexts.values.join(" | ")));
    // The animation ends at 100 with its text once the countdown is over.
    QTRY_COMPARE_WITH_TIMEOUT(run.bar->value(), 100, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(run.bar->isTextVisible(), 5000);

    // The box: the request, exactly, and the whole image; no restart command.
    const QString ws = LabBox::workstationIp();
    QCOMPARE(log.received(),
             (QStringList{BoxLog::describe(QStringLiteral("TalixTools_in/update_file_system"),
                                           m_system.requestBody(ws, 2097152))}));
    const QStringList transfers = log.events(QStringLiteral("TCP"));
    QCOMPARE(transfers.size(), 1);
    QCOMPARE(BoxSimProcess::field(transfers.first(), QStringLiteral("result")),
             QStringLiteral("ok"));
    QCOMPARE(BoxSimProcess::field(transfers.first(), QStringLiteral("bytes")),
             QString::number(m_system.size));
    QCOMPARE(BoxSimProcess::field(transfers.first(), QStringLiteral("md5")), m_system.md5);
    QCOMPARE(log.events(QStringLiteral("TCP_ACCEPT")).size(), 1);
    verifyOtherBoxesUntouched(0);

    m_dialogs->calls.clear();
    QVERIFY(form->close());
    QVERIFY(m_dialogs->calls.isEmpty());
}

void LabUpdateTest::failureReported_data()
{
    QTest::addColumn<int>("box");
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<bool>("large");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QString>("expectedState");
    QTest::addColumn<bool>("wholeImage");

    // After the whole image, at the box's second stage.
    QTest::newRow("camera, second stage")
            << 2 << false << false << RunScale
            << QStringLiteral("Update camera fw failed: Camera flash write error") << true;
    // While the image is still coming in: the stream stops. The stream keeps its full pace
    // here, so that most of the image is still to come when the report arrives.
    QTest::newRow("system, during the stream")
            << 3 << true << true << 1.0
            << QStringLiteral("Update file system failed: No space left for the image") << false;
}

void LabUpdateTest::failureReported()
{
    QFETCH(int, box);
    QFETCH(bool, systemMode);
    QFETCH(bool, large);
    QFETCH(double, scale);
    QFETCH(QString, expectedState);
    QFETCH(bool, wholeImage);

    const LabBox &labBox = m_boxes.at(box - 1);
    BoxLog &log = *m_logs.at(box - 1);
    const LabImage &image = systemMode ? (large ? m_largeSystem : m_system) : m_camera;
    Form *form = openWindow(labBox, systemMode);
    UpdateWindowDriver run(form, m_dialogs.get());
    QVERIFY(run.isValid());
    const QString noteBefore = run.tip->text();

    run.start(image.path, QMessageBox::Yes, &log, scale);
    QVERIFY2(run.waitForEnd(RunTimeoutMs), qPrintable(run.stateTexts.values.join(" | ")));

    // The box's message behind the window's prefix; Start enabled again; no restart asked for,
    // no countdown.
    QCOMPARE(run.state->text(), expectedState);
    QVERIFY(run.startButton->isEnabled());
    QCOMPARE(questions(), QStringList{QStringLiteral("Do you want to update?")});
    QCOMPARE(run.tip->text(), noteBefore);

    // The box received the request and nothing else.
    QCOMPARE(log.received().size(), 1);
    QVERIFY(log.received().first().startsWith(
            systemMode ? QStringLiteral("TalixTools_in/update_file_system \"{")
                       : QStringLiteral("TalixTools_in/update_camera_fw \"{")));
    const QString transfer = log.waitForEvent(QStringLiteral("TCP"));
    QVERIFY(!transfer.isNull());
    const qint64 received = BoxSimProcess::field(transfer, QStringLiteral("bytes")).toLongLong();
    if (wholeImage) {
        QCOMPARE(BoxSimProcess::field(transfer, QStringLiteral("result")), QStringLiteral("ok"));
        QCOMPARE(received, image.size);
    } else {
        // The window dropped the connection when the failure came: the rest of the image was
        // never sent.
        QVERIFY(!log.waitForEvent(QStringLiteral("UPDATE_FAILED_EARLY")).isNull());
        QVERIFY(!log.waitForEvent(QStringLiteral("TCP_CLOSED")).isNull());
        QVERIFY2(received < image.size, qPrintable(transfer));
    }
    QCOMPARE(log.events(QStringLiteral("TCP_ACCEPT")).size(), 1);
    verifyOtherBoxesUntouched(box - 1);

    QVERIFY(form->close());
}

QTEST_MAIN(LabUpdateTest)
#include "lab_update.moc"
