#include "recoveryform.h"

#include "localwait.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "progressbar_workthread.h"
#include "recoveryform_workthread.h"
#include "scripteddialogs.h"
#include "ui_recoveryform.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMetaMethod>
#include <QPointer>
#include <QSignalSpy>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString PreparationText = QStringLiteral("Preparation is starting, please wait a moment...");
const QString CountdownPrefix = QStringLiteral(
        "The system is restarting, please do not close the form. It takes about 1 minute. "
        "Countdown: ");
const QString RestartDoneText = QStringLiteral("System restart successful.");
const QString RecoveringCloseText = QStringLiteral(
        "The system is recovering, it takes about 25 minutes. Please do not close the recovery "
        "system form.");
const QString RestartingCloseText = QStringLiteral(
        "The system is restarting, it takes about 1 minute. Please do not close the recovery "
        "system form.");
const QString NoReportText = QStringLiteral("Recovery Failed: No report from the device");
const QString ProbeTopic = QStringLiteral("test/probe");

QByteArray report(const char *type, const char *errorcode, const char *message,
                  const char *progress = "0")
{
    return QByteArray("{\"type\":\"") + type + "\",\"errorcode\":\"" + errorcode +
           "\",\"message\":\"" + message + "\",\"progress\":\"" + progress + "\"}";
}

QString parserText(const QByteArray &payload)
{
    QJsonParseError error;
    QJsonDocument::fromJson(payload, &error);
    return error.errorString();
}

struct Message
{
    QString topic;
    QByteArray payload;
};

// Runs `action` once, on the first pass of any event loop in which `ready` holds; event loops
// nest deeply here (animation, countdown), so plain code after a QTRY would come too late.
class Poll
{
public:
    Poll(std::function<bool()> ready, std::function<void()> action)
        : m_ready(std::move(ready))
        , m_action(std::move(action))
    {
        m_timer.setInterval(0);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (m_ready()) {
                m_timer.stop();
                m_action();
            }
        });
        m_timer.start();
    }
    bool done() const { return !m_timer.isActive(); }

private:
    std::function<bool()> m_ready;
    std::function<void()> m_action;
    QTimer m_timer;
};

// Hides a window whose animation would otherwise keep a test inside a nested loop forever.
class Watchdog
{
public:
    Watchdog(QWidget *window, int ms)
        : m_window(window)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            fired = true;
            if (m_window)
                m_window->hide();
        });
        m_timer.start(ms);
    }
    bool fired = false;

private:
    QPointer<QWidget> m_window;
    QTimer m_timer;
};

struct Snapshot
{
    QString tip;
    int bar = 0;
    bool barText = false;
    bool restarting = false;
};

} // namespace

Q_DECLARE_METATYPE(QList<Message>)

// Helpers that verify must stop the test function that called them.
#define START_RUN(window)                                                                          \
    do {                                                                                           \
        startRun(window);                                                                          \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)
#define CONNECT_CLIENT(window)                                                                     \
    do {                                                                                           \
        connectClient(window);                                                                     \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class RecoveryFormTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowLayout();
    void widgets_data();
    void widgets();
    void slotsAsDeclared();
    void answerNoChangesNothing();
    void requestOnTheWire();
    void brokerUnreachable();
    void secondRunReusesClient();
    void cycleValueCarriesOver();
    void reports_data();
    void reports();
    void completionAsFirstReport();
    void completionDuringAnimation();
    void closeGuard_data();
    void closeGuard();

    void deleteDuringWait_data();
    void deleteDuringWait();
    void deleteDuringAnimation();
    void deleteDuringCountdown();
    void oneCountdownAtATime();
    void progressDuringCountdown();
    void boxTextIsPlain();
    void noReportLimit();
    void noReportLimitEndsAnimation();
    void everyReportRestartsLimit();
    void completionStopsLimit();

private:
    RecoveryForm *makeForm();
    void connectClient(RecoveryForm *form);
    void startRun(RecoveryForm *form);
    void publish(const QString &topic, const QByteArray &payload, bool retain = false);
    bool syncBox();
    int requestCount() const;
    // Runs `action` after the window has handled its n-th message (counting from now).
    void afterHandled(RecoveryForm *form, int n, std::function<void()> action);
    // Runs `action` once the bar has changed n times (counting from now).
    void afterTicks(QProgressBar *bar, int n, std::function<void()> action);
    // Records the note label and the bar whenever either changes, from every event loop.
    std::unique_ptr<Poll> record(RecoveryForm *form, QList<Snapshot> *out);

    MosquittoBroker broker;
    MqttClient box; // plays the box: reads requests, publishes reports
    QList<Message> inbox;
    std::unique_ptr<ScriptedDialogs> dialogs;
    QPointer<RecoveryForm> form;
    int probeCounter = 0;
};

void RecoveryFormTest::initTestCase()
{
    QVERIFY2(!MosquittoBroker::executable().isEmpty(), "mosquitto is not installed");
    QVERIFY(broker.start());
    connect(&box, &MqttClient::messageReceived, this,
            [this](const QByteArray &payload, const MqttTopicName &topic) {
                inbox.append({topic.name(), payload});
            });
    box.setHostname(broker.address());
    box.setPort(broker.port());
    box.connectToHost();
    QTRY_COMPARE(box.state(), MqttClient::Connected);
    QVERIFY(box.subscribe(Topics::RecoveryRequest, 0));
    QVERIFY(box.subscribe(ProbeTopic, 0));
    QVERIFY(syncBox());
}

void RecoveryFormTest::init()
{
    LocalWait::setTimeScaleForTests(0.01);
    dialogs = std::make_unique<ScriptedDialogs>();
    inbox.clear();
}

void RecoveryFormTest::cleanup()
{
    delete form;
    dialogs.reset();
    // Some tests leave a retained report behind; an empty one removes it.
    publish(Topics::RecoveryReport, QByteArray(), true);
    QVERIFY(syncBox());
}

RecoveryForm *RecoveryFormTest::makeForm()
{
    form = new RecoveryForm(QStringLiteral("127.0.0.1"), QStringLiteral("00:11:22:33:44:55"),
                            QStringLiteral("TLX0001"));
    Endpoints endpoints;
    endpoints.brokerPort = broker.port();
    form->setEndpoints(endpoints);
    form->show();
    return form;
}

// The state an earlier run leaves behind: the window's client already connected. Lets the
// short scaled connection wait pass without racing the real connection.
void RecoveryFormTest::connectClient(RecoveryForm *form)
{
    form->mqttClient->setHostname(QStringLiteral("127.0.0.1"));
    form->mqttClient->setPort(broker.port());
    form->mqttClient->connectToHost();
    QTRY_COMPARE(form->mqttClient->state(), MqttClient::Connected);
}

void RecoveryFormTest::startRun(RecoveryForm *form)
{
    const int before = requestCount();
    dialogs->answers << QMessageBox::Yes;
    form->ui->pushButton_Recovery->click();
    QTRY_COMPARE_WITH_TIMEOUT(requestCount(), before + 1, 10000);
}

void RecoveryFormTest::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    QCOMPARE(box.publish(topic, payload, 0, retain), 0);
}

// The broker handles one client's packets in order: once the box reads its own probe back,
// everything it sent before has been handled.
bool RecoveryFormTest::syncBox()
{
    const QByteArray probe = QByteArray::number(++probeCounter);
    if (box.publish(ProbeTopic, probe) != 0)
        return false;
    QElapsedTimer timer;
    timer.start();
    auto seen = [&] {
        for (const Message &m : inbox)
            if (m.topic == ProbeTopic && m.payload == probe)
                return true;
        return false;
    };
    while (!seen() && timer.elapsed() < 5000)
        QTest::qWait(5);
    return seen();
}

int RecoveryFormTest::requestCount() const
{
    int n = 0;
    for (const Message &m : inbox)
        n += m.topic == Topics::RecoveryRequest;
    return n;
}

void RecoveryFormTest::afterHandled(RecoveryForm *form, int n, std::function<void()> action)
{
    auto count = std::make_shared<int>(0);
    connect(form->mqttClient, &MqttClient::messageReceived, form, [=] {
        if (++*count == n)
            action();
    });
}

void RecoveryFormTest::afterTicks(QProgressBar *bar, int n, std::function<void()> action)
{
    auto count = std::make_shared<int>(0);
    connect(bar, &QProgressBar::valueChanged, bar, [=] {
        if (++*count == n)
            action();
    });
}

std::unique_ptr<Poll> RecoveryFormTest::record(RecoveryForm *form, QList<Snapshot> *out)
{
    QPointer<RecoveryForm> guard(form);
    return std::make_unique<Poll>(
            [guard, out] {
                if (!guard)
                    return true;
                const Snapshot s{
                        guard->ui->label_Tip->text(), guard->ui->progressBar_Recovery->value(),
                        guard->ui->progressBar_Recovery->isTextVisible(), guard->restarting};
                if (out->isEmpty() || out->last().tip != s.tip || out->last().bar != s.bar ||
                    out->last().barText != s.barText)
                    out->append(s);
                return false;
            },
            [] {});
}

void RecoveryFormTest::windowLayout()
{
    RecoveryForm *w = makeForm();
    QCOMPARE(w->objectName(), QStringLiteral("RecoveryForm"));
    QCOMPARE(w->windowTitle(), QStringLiteral("Recovery Default System"));
    QCOMPARE(w->size(), QSize(461, 335));
    QCOMPARE(w->minimumSize(), QSize(461, 335));
    QCOMPARE(w->maximumSize(), QSize(461, 335));
    QVERIFY(w->isWindow());
    QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(!w->testAttribute(Qt::WA_QuitOnClose));

    QCOMPARE(w->ui->label_recovery_ip_value->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(w->ui->label_recovery_mac_value->text(), QStringLiteral("00:11:22:33:44:55"));
    QCOMPARE(w->ui->label_recovery_sn_value->text(), QStringLiteral("TLX0001"));
    QVERIFY(w->ui->label_state_recovery->text().isEmpty());
    QCOMPARE(w->ui->progressBar_Recovery->value(), 0);
    QVERIFY(!w->ui->progressBar_Recovery->isTextVisible());
    QCOMPARE(w->deviceIp, QStringLiteral("127.0.0.1"));
    QVERIFY(!w->recovering && !w->restarting && !w->cycleStop && !w->cycleStarted &&
            !w->recoverySucceeded);
    QCOMPARE(w->cycleValue, 0);
    QCOMPARE(w->mqttClient->parent(), w);
    QVERIFY(!w->recoveryWorker->parent() && !w->progressWorker->parent());

    QLabel *tip = w->ui->label_Tip;
    QCOMPARE(tip->font().pointSize(), 10);
    QCOMPARE(tip->font().weight(), 50);
    QVERIFY(!tip->autoFillBackground());
    QCOMPARE(tip->textFormat(), Qt::AutoText);
    QVERIFY(!tip->hasScaledContents());
    QCOMPARE(tip->alignment(), Qt::AlignLeft | Qt::AlignTop);
    QVERIFY(tip->wordWrap());
    QVERIFY(!tip->openExternalLinks());
}

void RecoveryFormTest::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("pointSize"); // 0: the default font
    QTest::addColumn<QString>("text");  // the design text where the window keeps it

    const QString colon = QString(QChar(0xFF1A));
    const QString comma = QString(QChar(0xFF0C));
    // In creation order.
    QTest::newRow("bar") << "progressBar_Recovery"
                         << "QProgressBar" << QRect(5, 275, 450, 23) << 0 << QString();
    QTest::newRow("sn value") << "label_recovery_sn_value"
                              << "QLabel" << QRect(110, 100, 200, 13) << 0 << QString();
    QTest::newRow("ip") << "label"
                        << "QLabel" << QRect(40, 40, 47, 13) << 0 << "IP" + colon;
    QTest::newRow("ip value") << "label_recovery_ip_value"
                              << "QLabel" << QRect(110, 40, 200, 13) << 0 << QString();
    QTest::newRow("state") << "label_state_recovery"
                           << "QLabel" << QRect(10, 315, 421, 16) << 9 << QString();
    QTest::newRow("sn") << "label_6"
                        << "QLabel" << QRect(40, 100, 47, 13) << 0 << "SN" + colon;
    QTest::newRow("mac value") << "label_recovery_mac_value"
                               << "QLabel" << QRect(110, 70, 200, 13) << 0 << QString();
    QTest::newRow("mac") << "label_4"
                         << "QLabel" << QRect(40, 70, 47, 13) << 0 << "MAC" + colon;
    QTest::newRow("button") << "pushButton_Recovery"
                            << "QPushButton" << QRect(180, 222, 75, 28) << 9 << "Recovery";
    QTest::newRow("note") << "label_Tip"
                          << "QLabel" << QRect(40, 136, 411, 61) << 10
                          << "Note: Please do not disconnect the power of the camera" + comma +
                                     "and it takes about 25 minutes to restore the default "
                                     "system.";
}

void RecoveryFormTest::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(int, pointSize);
    QFETCH(QString, text);

    RecoveryForm *w = makeForm();
    QWidgetList created;
    for (QObject *child : w->children())
        if (auto *widget = qobject_cast<QWidget *>(child))
            created << widget;
    QCOMPARE(created.size(), 10);
    const QStringList creationOrder{"progressBar_Recovery",
                                    "label_recovery_sn_value",
                                    "label",
                                    "label_recovery_ip_value",
                                    "label_state_recovery",
                                    "label_6",
                                    "label_recovery_mac_value",
                                    "label_4",
                                    "pushButton_Recovery",
                                    "label_Tip"};
    QWidget *widget = created.value(creationOrder.indexOf(name));
    QVERIFY(widget);
    QCOMPARE(widget->objectName(), name);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    if (pointSize)
        QCOMPARE(widget->font().pointSize(), pointSize);
    else
        QCOMPARE(widget->font().pointSize(), QFont().pointSize());
    if (!text.isNull())
        QCOMPARE(widget->property("text").toString(), text);
}

void RecoveryFormTest::slotsAsDeclared()
{
    const QMetaObject &mo = RecoveryForm::staticMetaObject;
    QStringList found;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod m = mo.method(i);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Private);
        found << QString::fromLatin1(m.methodSignature());
    }
    QCOMPARE(found, QStringList({"on_pushButton_Recovery_clicked()",
                                 "topicMessageReceived(QByteArray,MqttTopicName)",
                                 "RecoveryDefaultSystem()", "CycleProgressBar()"}));
}

void RecoveryFormTest::answerNoChangesNothing()
{
    RecoveryForm *w = makeForm();
    QSignalSpy requested(w->recoveryWorker, &RecoveryForm_WorkThread::Recovering_System);
    dialogs->answers << QMessageBox::No;
    w->ui->pushButton_Recovery->click();
    QCOMPARE(dialogs->calls.size(), 1);
    QCOMPARE(dialogs->calls[0].kind, QStringLiteral("question"));
    QCOMPARE(dialogs->calls[0].title, QStringLiteral("Tip"));
    QCOMPARE(dialogs->calls[0].text, QStringLiteral("Do you want to recovery default system?"));
    QCOMPARE(requested.count(), 0);
    QVERIFY(!w->recovering);
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
    QVERIFY(w->ui->label_state_recovery->text().isEmpty());
}

void RecoveryFormTest::requestOnTheWire()
{
    // A real connection within the scaled 1000 ms wait.
    LocalWait::setTimeScaleForTests(0.3);
    RecoveryForm *w = makeForm();
    // The box answers its request at once; the window can only see that answer if it
    // subscribed before it published.
    QMetaObject::Connection answer =
            connect(&box, &MqttClient::messageReceived, this,
                    [this](const QByteArray &, const MqttTopicName &topic) {
                        if (topic.name() == Topics::RecoveryRequest)
                            publish(Topics::RecoveryReport, report("1", "4", "Recovery refused"));
                    });
    QElapsedTimer clock;
    clock.start();
    dialogs->answers << QMessageBox::Yes;
    w->ui->pushButton_Recovery->click();
    // The request itself runs from the event loop after the click handler.
    QVERIFY(w->recovering);
    QVERIFY(!w->ui->pushButton_Recovery->isEnabled());
    QCOMPARE(w->ui->label_state_recovery->text(), PreparationText);
    QCOMPARE(requestCount(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(requestCount(), 1, 10000);
    QVERIFY(clock.elapsed() >= LocalWait::scaled(1000 + 100));
    const Message request = inbox.last();
    QCOMPARE(request.topic, QStringLiteral("TalixTools_in/recovery_file_system"));
    QCOMPARE(request.payload, QByteArray("RecoveryDefaultSystem"));
    QCOMPARE(request.payload.size(), 21);

    QTRY_COMPARE(w->ui->label_state_recovery->text(), QStringLiteral("Recovery refused"));
    QVERIFY(!w->recovering);
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
    QTRY_COMPARE(w->ui->progressBar_Recovery->value(), 60);
    disconnect(answer);
}

void RecoveryFormTest::brokerUnreachable()
{
    LocalWait::setTimeScaleForTests(0.2);
    RecoveryForm *w = makeForm();
    Endpoints endpoints;
    endpoints.brokerPort = freeTcpPort(); // nobody listens there
    QVERIFY(endpoints.brokerPort != 0);
    w->setEndpoints(endpoints);

    QElapsedTimer clock;
    clock.start();
    dialogs->answers << QMessageBox::Yes;
    w->ui->pushButton_Recovery->click();
    QCOMPARE(w->ui->label_state_recovery->text(), PreparationText);
    QTRY_COMPARE(w->ui->label_state_recovery->text(), QStringLiteral("Mqtt Connect Failed"));
    QVERIFY(clock.elapsed() >= LocalWait::scaled(1000));
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
    QVERIFY(!w->recovering);
    QVERIFY(!w->reportTimer->isActive());
    QCOMPARE(requestCount(), 0);

    // Nothing runs any more: the window closes at once.
    w->close();
    QVERIFY(dialogs->calls.size() == 1); // the confirmation only
    QTRY_VERIFY(!form);
}

void RecoveryFormTest::secondRunReusesClient()
{
    LocalWait::setTimeScaleForTests(0.3);
    // A retained message comes again on every subscription, also a repeated one; an array
    // is dropped by the window without a trace.
    publish(Topics::RecoveryReport, "[]", true);
    QVERIFY(syncBox());

    RecoveryForm *w = makeForm();
    int retainedSeen = 0;
    connect(w->mqttClient, &MqttClient::messageReceived, this,
            [&](const QByteArray &payload) { retainedSeen += payload == "[]"; });
    QMetaObject::Connection answer =
            connect(&box, &MqttClient::messageReceived, this,
                    [this](const QByteArray &, const MqttTopicName &topic) {
                        if (topic.name() == Topics::RecoveryRequest)
                            publish(Topics::RecoveryReport, report("2", "1", "Busy"));
                    });

    START_RUN(w);
    QTRY_VERIFY(w->ui->pushButton_Recovery->isEnabled());
    QCOMPARE(w->ui->label_state_recovery->text(), QStringLiteral("Busy"));
    QCOMPARE(retainedSeen, 1);
    QCOMPARE(w->mqttClient->state(), MqttClient::Connected);

    QSignalSpy states(w->mqttClient, &MqttClient::stateChanged);
    START_RUN(w);
    QTRY_VERIFY(w->ui->pushButton_Recovery->isEnabled());
    QCOMPARE(retainedSeen, 2);
    QCOMPARE(states.count(), 0);

    disconnect(answer);
}

void RecoveryFormTest::cycleValueCarriesOver()
{
    // 20 ms per animation step: the failure reaches the window within the step that follows 20.
    LocalWait::setTimeScaleForTests(0.2);
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    QProgressBar *bar = w->ui->progressBar_Recovery;
    Watchdog dog(w, 20000);

    START_RUN(w);
    bool failureSent = false;
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
        if (value == 20 && !failureSent) {
            failureSent = true;
            publish(Topics::RecoveryReport, report("1", "3", "Stopped"));
        }
    });
    publish(Topics::RecoveryReport, report("1", "0", "Working"));
    QTRY_VERIFY(failureSent && w->ui->pushButton_Recovery->isEnabled());
    QTRY_COMPARE(bar->value(), 60);
    const int left = w->cycleValue;
    QVERIFY2(left > 20 && left <= 100, qPrintable(QString::number(left)));
    disconnect(bar, nullptr, this, nullptr);

    QSignalSpy values(bar, &QProgressBar::valueChanged);
    START_RUN(w);
    QCOMPARE(values.count(), 1);
    QCOMPARE(values.at(0).at(0).toInt(), 0); // the confirmation resets the bar, not the sweep
    afterTicks(bar, 2, [this] { publish(Topics::RecoveryReport, report("1", "3", "Stopped")); });
    publish(Topics::RecoveryReport, report("1", "0", "Working"));
    QTRY_VERIFY(values.count() >= 2 && w->ui->pushButton_Recovery->isEnabled());
    QCOMPARE(values.at(1).at(0).toInt(), left);
    QVERIFY(!dog.fired);
}

void RecoveryFormTest::reports_data()
{
    QTest::addColumn<QList<Message>>("messages");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("recovering");
    QTest::addColumn<bool>("cycleStarted");
    QTest::addColumn<bool>("cycleStop");
    QTest::addColumn<bool>("buttonEnabled");
    QTest::addColumn<int>("animationStarts");
    QTest::addColumn<int>("bar"); // -1: the animation still runs

    const QString topic = Topics::RecoveryReport;
    const QString other = Topics::UpdateSystemReport;
    const QByteArray truncated = "{\"type\":\"1\",\"errorcode\":\"0\"";
    const QByteArray garbage = "not json";

    QTest::newRow("first progress report starts the animation")
            << QList<Message>{{topic, report("1", "0", "Stage one")}} << "Stage one" << true << true
            << false << false << 1 << -1;
    QTest::newRow("further reports do not start it again")
            << QList<Message>{{topic, report("1", "0", "Stage one")},
                              {topic, report("2", "0", "Stage two")},
                              {topic, report("3", "0", "Stage three", "50")}}
            << "Stage three" << true << true << false << false << 1 << -1;
    QTest::newRow("type 3 at 99 only shows its message")
            << QList<Message>{{topic, report("3", "0", "Almost", "99")}} << "Almost" << true << true
            << false << false << 1 << -1;
    QTest::newRow("progress 100.0 is not 100")
            << QList<Message>{{topic, report("3", "0", "Nearly", "100.0")}} << "Nearly" << true
            << true << false << false << 1 << -1;
    QTest::newRow("failure as first report ends at 60")
            << QList<Message>{{topic, report("1", "5", "Disk error")}} << "Disk error" << false
            << false << true << true << 1 << 60;
    QTest::newRow("failure during the animation ends at 60")
            << QList<Message>{{topic, report("1", "0", "Working")},
                              {topic, report("2", "7", "Image damaged")}}
            << "Image damaged" << false << false << true << true << 1 << 60;
    QTest::newRow("type 3 failure at 100 is no completion")
            << QList<Message>{{topic, report("3", "2", "Failed at the end", "100")}}
            << "Failed at the end" << false << false << true << true << 1 << 60;
    QTest::newRow("errorcode 00 is a failure")
            << QList<Message>{{topic, report("2", "00", "Odd code")}} << "Odd code" << false
            << false << true << true << 1 << 60;
    QTest::newRow("missing errorcode is a failure")
            << QList<Message>{{topic, R"({"type":"2","message":"No code"})"}} << "No code" << false
            << false << true << true << 1 << 60;
    QTest::newRow("numeric errorcode is a failure")
            << QList<Message>{{topic, R"({"type":"1","errorcode":0,"message":"Numeric"})"}}
            << "Numeric" << false << false << true << true << 1 << 60;
    QTest::newRow("numeric type is ignored")
            << QList<Message>{{topic, R"({"type":1,"errorcode":"0","message":"x"})"}}
            << PreparationText << true << false << false << false << 0 << 0;
    QTest::newRow("other type is ignored")
            << QList<Message>{{topic, report("4", "0", "x", "100")}} << PreparationText << true
            << false << false << false << 0 << 0;
    QTest::newRow("JSON array is ignored")
            << QList<Message>{{topic, "[" + report("1", "5", "x") + "]"}} << PreparationText << true
            << false << false << false << 0 << 0;
    // Qt's parser takes only objects and arrays at the top level.
    QTest::newRow("JSON scalar is unreadable")
            << QList<Message>{{topic, "\"text\""}} << parserText("\"text\"") << false << false
            << true << true << 0 << 0;
    QTest::newRow("another topic is ignored")
            << QList<Message>{{other, report("1", "5", "x")}} << PreparationText << true << false
            << false << false << 0 << 0;
    QTest::newRow("another topic is not even parsed")
            << QList<Message>{{other, truncated}} << PreparationText << true << false << false
            << false << 0 << 0;
    QTest::newRow("unreadable first report keeps the bar at 0")
            << QList<Message>{{topic, truncated}} << parserText(truncated) << false << false << true
            << true << 0 << 0;
    QTest::newRow("unreadable report during the animation ends at 60")
            << QList<Message>{{topic, report("1", "0", "Working")}, {topic, garbage}}
            << parserText(garbage) << false << false << true << true << 1 << 60;
    QTest::newRow("report after the end starts the animation, not the run")
            << QList<Message>{{topic, report("1", "5", "Failed")},
                              {topic, report("2", "0", "Late")}}
            << "Late" << false << true << false << true << 2 << -1;
}

void RecoveryFormTest::reports()
{
    QFETCH(QList<Message>, messages);
    QFETCH(QString, state);
    QFETCH(bool, recovering);
    QFETCH(bool, cycleStarted);
    QFETCH(bool, cycleStop);
    QFETCH(bool, buttonEnabled);
    QFETCH(int, animationStarts);
    QFETCH(int, bar);

    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    // Lets messages on another topic reach the window, as a broader subscription would.
    QVERIFY(w->mqttClient->subscribe(Topics::UpdateSystemReport, 0));
    START_RUN(w);
    QCOMPARE(w->ui->label_state_recovery->text(), PreparationText);

    QSignalSpy starts(w->progressWorker, &ProgressBar_WorkThread::Cycling_ProgressBar);
    QSignalSpy ticks(w->ui->progressBar_Recovery, &QProgressBar::valueChanged);
    struct Seen
    {
        bool taken = false;
        QString state;
        bool recovering = false;
        bool cycleStarted = false;
        bool cycleStop = false;
        bool buttonEnabled = false;
    } seen;
    afterHandled(w, messages.size(), [&] {
        seen = {true,          w->ui->label_state_recovery->text(),
                w->recovering, w->cycleStarted,
                w->cycleStop,  w->ui->pushButton_Recovery->isEnabled()};
        // A running animation keeps the test inside its loop; hiding the window ends it.
        if (bar == -1)
            afterTicks(w->ui->progressBar_Recovery, 3, [w] { w->hide(); });
    });
    Watchdog dog(w, 20000);
    for (const Message &m : messages)
        publish(m.topic, m.payload);

    QTRY_VERIFY(seen.taken);
    QCOMPARE(seen.state, state);
    QCOMPARE(seen.recovering, recovering);
    QCOMPARE(seen.cycleStarted, cycleStarted);
    QCOMPARE(seen.cycleStop, cycleStop);
    QCOMPARE(seen.buttonEnabled, buttonEnabled);
    QVERIFY(!w->restarting);
    QVERIFY(!w->recoverySucceeded);
    QCOMPARE(w->ui->label_state_recovery->textFormat(), Qt::PlainText);
    if (bar == 60)
        QTRY_COMPARE(w->ui->progressBar_Recovery->value(), 60);
    else if (bar == 0)
        QCOMPARE(w->ui->progressBar_Recovery->value(), 0);
    else // the animation may start only after the last report's handler has returned
        QTRY_VERIFY(ticks.count() >= 3 && !w->isVisible());
    QVERIFY(!w->ui->progressBar_Recovery->isTextVisible());
    QCOMPARE(starts.count(), animationStarts);
    QVERIFY(!dog.fired);
}

void RecoveryFormTest::completionAsFirstReport()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    QSignalSpy starts(w->progressWorker, &ProgressBar_WorkThread::Cycling_ProgressBar);
    QList<Snapshot> seen;
    auto recorder = record(w, &seen);
    bool handled = false;
    afterHandled(w, 1, [&] { handled = true; });

    publish(Topics::RecoveryReport, report("3", "0", "Recovery complete", "100"));
    QTRY_VERIFY_WITH_TIMEOUT(handled, 10000);
    recorder.reset();

    QStringList expected;
    for (int n = 60; n >= 0; --n)
        expected << CountdownPrefix + QString::number(n);
    expected << RestartDoneText;
    QStringList tips;
    for (const Snapshot &s : seen) {
        if ((s.tip.startsWith(CountdownPrefix) || s.tip == RestartDoneText) &&
            (tips.isEmpty() || tips.last() != s.tip))
            tips << s.tip;
        // The animation, started and stopped by the same report, ends at 100 at once.
        if (s.tip.startsWith(CountdownPrefix) && s.tip != CountdownPrefix + "60") {
            QCOMPARE(s.bar, 100);
            QVERIFY(s.barText);
        }
        if (s.tip.startsWith(CountdownPrefix))
            QVERIFY(s.restarting);
    }
    // The last text is set after the last event loop pass the recorder saw.
    tips << w->ui->label_Tip->text();
    QCOMPARE(tips, expected);
    QCOMPARE(tips.at(60), CountdownPrefix + "0"); // one blank before the number

    QCOMPARE(w->ui->label_state_recovery->text(), QStringLiteral("Recovery complete"));
    QCOMPARE(w->ui->label_Tip->text(), RestartDoneText);
    QCOMPARE(w->ui->progressBar_Recovery->value(), 100);
    QVERIFY(w->ui->progressBar_Recovery->isTextVisible());
    QVERIFY(!w->recovering && !w->restarting && !w->cycleStarted);
    QVERIFY(w->cycleStop && w->recoverySucceeded);
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
    QCOMPARE(starts.count(), 1);
}

void RecoveryFormTest::completionDuringAnimation()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    QList<Snapshot> seen;
    auto recorder = record(w, &seen);
    Watchdog dog(w, 20000);
    afterHandled(w, 1, [&] {
        afterTicks(w->ui->progressBar_Recovery, 4,
                   [this] { publish(Topics::RecoveryReport, report("3", "0", "Done", "100")); });
    });
    bool handled = false;
    afterHandled(w, 2, [&] { handled = true; });

    publish(Topics::RecoveryReport, report("2", "0", "Restoring"));
    QTRY_VERIFY(handled);
    // The animation below the countdown takes its last step once the countdown is over.
    QTRY_COMPARE(w->ui->progressBar_Recovery->value(), 100);
    QVERIFY(w->ui->progressBar_Recovery->isTextVisible());
    recorder.reset();

    int held = -1;
    int countdownTexts = 0;
    for (const Snapshot &s : seen) {
        if (!s.tip.startsWith(CountdownPrefix))
            continue;
        ++countdownTexts;
        if (held == -1)
            held = s.bar;
        QCOMPARE(s.bar, held);
        QVERIFY(!s.barText);
    }
    QCOMPARE(countdownTexts, 61);
    QCOMPARE(w->ui->label_Tip->text(), RestartDoneText);
    QVERIFY(!dog.fired);
}

void RecoveryFormTest::closeGuard_data()
{
    QTest::addColumn<bool>("recovering");
    QTest::addColumn<bool>("restarting");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("idle") << false << false << QStringList();
    QTest::newRow("recovering") << true << false << QStringList{RecoveringCloseText};
    QTest::newRow("restarting") << false << true << QStringList{RestartingCloseText};
    QTest::newRow("both, in order")
            << true << true << QStringList{RecoveringCloseText, RestartingCloseText};
}

void RecoveryFormTest::closeGuard()
{
    QFETCH(bool, recovering);
    QFETCH(bool, restarting);
    QFETCH(QStringList, messages);

    RecoveryForm *w = makeForm();
    w->recovering = recovering;
    w->restarting = restarting;
    const bool closed = w->close();
    QCOMPARE(dialogs->texts(), messages);
    QCOMPARE(dialogs->count(QStringLiteral("information")), messages.size());
    for (const ScriptedDialogs::Call &c : dialogs->calls)
        QCOMPARE(c.title, QStringLiteral("Tip"));
    QCOMPARE(closed, messages.isEmpty());
    if (messages.isEmpty())
        QTRY_VERIFY(!form); // deleted on close
    else
        QVERIFY(form && form->isVisible());
}

void RecoveryFormTest::deleteDuringWait_data()
{
    QTest::addColumn<int>("stage");
    QTest::newRow("first short wait") << 0;
    QTest::newRow("second short wait") << 1;
    QTest::newRow("connection wait") << 2;
    QTest::newRow("wait before the request") << 3;
}

// The window may be destroyed while any of its waits runs; what follows the wait must not
// touch it, and nothing more is sent.
void RecoveryFormTest::deleteDuringWait()
{
    QFETCH(int, stage);
    LocalWait::setTimeScaleForTests(1.0);
    if (stage == 3) {
        // Reaches the window right after its subscription, during the wait that follows.
        publish(Topics::RecoveryReport, "[]", true);
        QVERIFY(syncBox());
    }
    RecoveryForm *w = makeForm();
    int received = 0;
    connect(w->mqttClient, &MqttClient::messageReceived, this, [&] { ++received; });
    QPointer<RecoveryForm> guard(w);
    const std::function<bool()> inStage[] = {
            [&] {
                return !guard->ui->pushButton_Recovery->isEnabled() &&
                       guard->ui->label_state_recovery->text().isEmpty();
            },
            [&] { return guard->ui->label_state_recovery->text() == PreparationText; },
            [&] { return guard->mqttClient->state() == MqttClient::Connected; },
            [&] { return received > 0; },
    };
    Poll poll(inStage[stage], [&] { delete guard; });

    dialogs->answers << QMessageBox::Yes;
    w->ui->pushButton_Recovery->click();
    QTRY_VERIFY(poll.done());
    QVERIFY(!guard);
    // Whatever the window had sent would have reached the box before the probe.
    QVERIFY(syncBox());
    QCOMPARE(requestCount(), 0);
}

void RecoveryFormTest::deleteDuringAnimation()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    QPointer<RecoveryForm> guard(w);
    Watchdog dog(w, 20000);
    // Deleted from inside the animation's wait, between two steps.
    afterHandled(w, 1, [&] {
        afterTicks(w->ui->progressBar_Recovery, 3,
                   [&] { QTimer::singleShot(0, [&] { delete guard; }); });
    });
    publish(Topics::RecoveryReport, report("1", "0", "Working"));
    QTRY_VERIFY(!guard);
    QVERIFY(!dog.fired);

    // And by closing once the run has failed, as the operator would.
    RecoveryForm *second = makeForm();
    QPointer<RecoveryForm> secondGuard(second);
    CONNECT_CLIENT(second);
    START_RUN(second);
    afterHandled(second, 1, [&] {
        afterTicks(second->ui->progressBar_Recovery, 3,
                   [&] { publish(Topics::RecoveryReport, report("1", "8", "Failed")); });
    });
    afterHandled(second, 2, [&] { QVERIFY(second->close()); });
    publish(Topics::RecoveryReport, report("1", "0", "Working"));
    QTRY_VERIFY(!secondGuard);
}

void RecoveryFormTest::deleteDuringCountdown()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    QPointer<RecoveryForm> guard(w);
    Poll poll([&] { return guard && guard->ui->label_Tip->text() == CountdownPrefix + "58"; },
              [&] { delete guard; });
    publish(Topics::RecoveryReport, report("3", "0", "Done", "100"));
    QTRY_VERIFY(poll.done());
    QTRY_VERIFY(!guard);
}

void RecoveryFormTest::oneCountdownAtATime()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    QList<Snapshot> seen;
    auto recorder = record(w, &seen);
    Poll again([&] { return w->ui->label_Tip->text() == CountdownPrefix + "57"; },
               [&] { publish(Topics::RecoveryReport, report("3", "0", "Done again", "100")); });
    bool refused = false;
    Poll closing([&] { return w->ui->label_Tip->text() == CountdownPrefix + "20"; },
                 [&] { refused = !w->close(); });
    bool handled = false;
    afterHandled(w, 1, [&] { handled = true; });

    publish(Topics::RecoveryReport, report("3", "0", "Done", "100"));
    QTRY_VERIFY_WITH_TIMEOUT(handled, 10000);
    recorder.reset();
    QVERIFY(again.done() && closing.done());

    QStringList tips;
    for (const Snapshot &s : seen) {
        if ((s.tip.startsWith(CountdownPrefix) || s.tip == RestartDoneText) &&
            (tips.isEmpty() || tips.last() != s.tip))
            tips << s.tip;
        if (s.tip.startsWith(CountdownPrefix))
            QVERIFY(s.restarting);
    }
    QStringList expected;
    for (int n = 60; n >= 0; --n)
        expected << CountdownPrefix + QString::number(n);
    expected << RestartDoneText;
    // The last text is set after the last event loop pass the recorder saw.
    tips << w->ui->label_Tip->text();
    QCOMPARE(tips, expected);

    QVERIFY(refused);
    QCOMPARE(dialogs->texts().mid(1), QStringList{RestartingCloseText});
    QVERIFY(!w->restarting);
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
    QVERIFY(w->close());
    QTRY_VERIFY(!form);
}

// A progress report during the countdown shows its text but must not start the animation:
// run inside the countdown's wait it would hold the countdown, and the window, for good.
void RecoveryFormTest::progressDuringCountdown()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    Watchdog dog(w, 15000);
    Poll late([&] { return w->ui->label_Tip->text() == CountdownPrefix + "50"; },
              [&] { publish(Topics::RecoveryReport, report("2", "0", "Cleaning up")); });
    bool handled = false;
    afterHandled(w, 1, [&] { handled = true; });

    publish(Topics::RecoveryReport, report("3", "0", "Done", "100"));
    QTRY_VERIFY_WITH_TIMEOUT(handled, 20000);
    QVERIFY(!dog.fired);
    QVERIFY(late.done());
    QCOMPARE(w->ui->label_Tip->text(), RestartDoneText);
    QCOMPARE(w->ui->label_state_recovery->text(), QStringLiteral("Cleaning up"));
    QVERIFY(!w->restarting);
    QVERIFY(w->close());
    QTRY_VERIFY(!form);
}

void RecoveryFormTest::boxTextIsPlain()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    START_RUN(w);
    const QString markup = QStringLiteral("<b>Step</b> <a href='http://x'>1</a> &amp; <i>2</i>");
    QVERIFY(Qt::mightBeRichText(markup));
    publish(Topics::RecoveryReport, report("1", "9",
                                           "<b>Step</b> <a href='http://x'>1</a> "
                                           "&amp; <i>2</i>"));
    QTRY_VERIFY(w->ui->pushButton_Recovery->isEnabled());
    QCOMPARE(w->ui->label_state_recovery->text(), markup);
    QCOMPARE(w->ui->label_state_recovery->textFormat(), Qt::PlainText);
}

void RecoveryFormTest::noReportLimit()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    // 30 minutes become 1.8 s; the other waits vanish.
    LocalWait::setTimeScaleForTests(0.001);
    QElapsedTimer clock;
    clock.start();
    START_RUN(w);
    QVERIFY(w->reportTimer->isActive());
    QCOMPARE(w->ui->label_state_recovery->text(), PreparationText);
    QTRY_COMPARE_WITH_TIMEOUT(w->ui->label_state_recovery->text(), NoReportText, 20000);
    // A coarse timer may fire up to 5 % early.
    QVERIFY(clock.elapsed() >= LocalWait::scaled(30 * 60 * 1000) * 95 / 100);
    QVERIFY(!w->recovering);
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
    QVERIFY(w->close());
    QTRY_VERIFY(!form);
}

void RecoveryFormTest::noReportLimitEndsAnimation()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    LocalWait::setTimeScaleForTests(0.001);
    Watchdog dog(w, 30000);
    START_RUN(w);
    publish(Topics::RecoveryReport, report("1", "0", "Working"));
    // The animation runs until the limit stops it.
    QTRY_COMPARE_WITH_TIMEOUT(w->ui->label_state_recovery->text(), NoReportText, 30000);
    QVERIFY(!dog.fired);
    QTRY_COMPARE(w->ui->progressBar_Recovery->value(), 60);
    QVERIFY(!w->ui->progressBar_Recovery->isTextVisible());
    QVERIFY(!w->recovering && !w->cycleStarted && w->cycleStop && !w->recoverySucceeded);
    QVERIFY(w->ui->pushButton_Recovery->isEnabled());
}

void RecoveryFormTest::everyReportRestartsLimit()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    LocalWait::setTimeScaleForTests(0.001);
    const int limit = LocalWait::scaled(30 * 60 * 1000);
    Watchdog dog(w, 30000);
    START_RUN(w);
    QTRY_VERIFY_WITH_TIMEOUT(w->reportTimer->remainingTime() < limit / 2, 10000);

    // Without a restart the limit would end the run within `left` of the report.
    const int left = w->reportTimer->remainingTime();
    QElapsedTimer sinceReport;
    afterHandled(w, 1, [&] { sinceReport.start(); });
    publish(Topics::RecoveryReport, report("1", "0", "Working"));
    QTRY_COMPARE_WITH_TIMEOUT(w->ui->label_state_recovery->text(), NoReportText, 30000);
    QVERIFY(sinceReport.isValid());
    QVERIFY2(sinceReport.elapsed() > left + limit / 4,
             qPrintable(QStringLiteral("%1 ms after the report, %2 ms were left")
                                .arg(sinceReport.elapsed())
                                .arg(left)));
    QVERIFY(!dog.fired);
}

void RecoveryFormTest::completionStopsLimit()
{
    RecoveryForm *w = makeForm();
    CONNECT_CLIENT(w);
    LocalWait::setTimeScaleForTests(0.001);
    START_RUN(w);
    QVERIFY(w->reportTimer->isActive());
    bool activeDuringCountdown = true;
    Poll poll([&] { return w->ui->label_Tip->text() == CountdownPrefix + "30"; },
              [&] { activeDuringCountdown = w->reportTimer->isActive(); });
    bool handled = false;
    afterHandled(w, 1, [&] { handled = true; });
    publish(Topics::RecoveryReport, report("3", "0", "Done", "100"));
    QTRY_VERIFY(handled);
    QVERIFY(poll.done());
    QVERIFY(!activeDuringCountdown);
    QVERIFY(!w->reportTimer->isActive());
    QCOMPARE(w->ui->label_Tip->text(), RestartDoneText);
    QCOMPARE(w->ui->label_state_recovery->text(), QStringLiteral("Done"));
}

QTEST_MAIN(RecoveryFormTest)
#include "tst_recoveryform.moc"
