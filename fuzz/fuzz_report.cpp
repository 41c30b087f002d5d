// Any payloads on any topics as reports from a box: the report reader, and the report handling
// of a camera update window, a system update window and a recovery window, one after the other
// (each is modal, so the operator has one open at a time). Messages are queued as the MQTT client
// delivers them, so later ones arrive nested inside the waits, questions and countdowns of earlier
// ones, and the operator may close the window between any two of them. Every window must come
// through without a crash or a hang; once the reports stop its countdown must end by itself, and
// once a last unreadable report has ended its run the window must let the operator close it.

#include "devicereport.h"
#include "form.h"
#include "fuzzsupport.h"
#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "recoveryform.h"
#include "scripteddialogs.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QTimer>

#include <cstdint>

namespace {

constexpr int MaxMessages = 16;
const QString Countdown = QStringLiteral("The system is restarting, please do not close the form.");
const QLatin1String ReportTopics[] = {Topics::UpdateCameraReport, Topics::UpdateSystemReport,
                                      Topics::RecoveryReport};

bool countdownShown(QWidget *w)
{
    const auto *tip = w ? w->findChild<QLabel *>(QStringLiteral("label_Tip")) : nullptr;
    return tip && tip->text().startsWith(Countdown);
}

// Hands a message to the window as its MQTT client does, from the event loop.
void deliver(QWidget *window, const QString &topic, const QByteArray &payload)
{
    if (MqttClient *client = window ? window->findChild<MqttClient *>() : nullptr) {
        QMetaObject::invokeMethod(
                client, [=] { emit client->messageReceived(payload, MqttTopicName(topic)); },
                Qt::QueuedConnection);
    }
}

ScriptedDialogs *dialogs = nullptr;
QPointer<QWidget> windows[3];

// Once the box falls silent the countdown must run to its end by itself. A watchdog timer judges
// that, since it also fires inside the local loops of handlers still on the stack; then a last
// report that the window cannot read ends whatever run or animation still goes, and the window
// must let the operator close it.
void settle(const QPointer<QWidget> &target, const QString &topic)
{
    enum Phase { Delivering, Settling, Stopping, Done } phase = Delivering;
    QElapsedTimer sinceSilent;
    QMetaObject::invokeMethod(
            qApp, [&] { phase = Settling, sinceSilent.start(); }, Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (timer.elapsed() > 20000)
            fuzzFail("the reports were not all handled in time");
        if (phase != Settling)
            return;
        if (countdownShown(target)) {
            if (sinceSilent.elapsed() > 10000) // 61 scaled steps take milliseconds
                fuzzFail("a countdown does not end once the reports stop");
            return;
        }
        phase = Stopping;
        deliver(target, topic, "{");
        QMetaObject::invokeMethod(
                qApp, [&phase] { phase = Done; }, Qt::QueuedConnection);
    });
    watchdog.start(1);
    while (phase != Done)
        QCoreApplication::processEvents();
    watchdog.stop();
    for (int pass = 0; pass < 4; ++pass) // animation steps that now see the stop run out
        QCoreApplication::processEvents();
    if (!target)
        return;        // closed by the operator, as the input asked
    QCloseEvent close; // nothing runs any more: the window must let the operator close it
    QCoreApplication::sendEvent(target, &close);
    if (!close.isAccepted() || countdownShown(target))
        fuzzFail("refuses to close or counts down after its last report:", target->windowTitle());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzApp<QApplication>()->setQuitOnLastWindowClosed(false);
    LocalWait::setTimeScaleForTests(0.0001); // 61 s of countdown become a few loop passes
    dialogs = new ScriptedDialogs;
    // The operator takes a moment to answer: reports keep arriving meanwhile.
    dialogs->whileOpen = [](const ScriptedDialogs::Call &) { QCoreApplication::processEvents(); };
    return 0;
}

// The first byte answers up to eight questions, lowest bit first: set is Yes. Then each
// message: a selector byte (low 3 bits the topic, next 3 bits the windows it goes to, none
// meaning all), the topic's own bytes when it is an arbitrary one (a length byte first), then
// a two-byte big-endian payload length and the payload. Topic 7 is no message but the operator
// closing those windows.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t pos = 0;
    const auto byte = [&] { return pos < size ? data[pos++] : 0; };
    const auto bytes = [&](size_t n) {
        n = qMin(n, size - qMin(pos, size));
        pos += n;
        return QByteArray(reinterpret_cast<const char *>(data + pos - n), int(n));
    };
    const int answers = byte();
    struct Message
    {
        int mask, kind;
        QString topic;
        QByteArray payload;
    };
    QList<Message> messages;
    for (int n = 0; pos < size && n < MaxMessages; ++n) {
        const int selector = byte();
        const int mask = (selector >> 3) & 0x07 ? (selector >> 3) & 0x07 : 0x07;
        const int kind = selector & 0x07;
        QString topic = kind < 3 ? QString(ReportTopics[kind]) : QString();
        if (kind == 3)
            topic = Topics::RecoveryRequest; // a topic the tool publishes on, never reads
        else if (kind == 5 || kind == 6)
            topic = QString::fromUtf8(bytes(byte()));
        const int high = kind == 7 ? 0 : byte();
        const QByteArray payload = kind == 7 ? QByteArray() : bytes(size_t((high << 8) | byte()));
        const ParsedReport parsed = ParseDeviceReport(payload);
        if (parsed.kind == ParsedReport::ParseError && parsed.errorText.isEmpty())
            fuzzFail("a parse error without its text for", QString::fromLatin1(payload.toHex()));
        messages.append({mask, kind, topic, payload});
    }

    // One window at a time, as for the operator: each device window is modal.
    for (int i = 0; i < 3; ++i) {
        dialogs->clear();
        dialogs->answers.clear();
        for (int bit = 0; bit < 8; ++bit)
            dialogs->answers << ((answers >> bit) & 1 ? QMessageBox::Yes : QMessageBox::No);
        if (!windows[i]) {
            const QString ip = QStringLiteral("127.0.0.1"), mac = "00:1A:2B:3C:4D:5E", sn = "SN1";
            windows[i] = i == 2 ? static_cast<QWidget *>(new RecoveryForm(ip, mac, sn))
                                : new Form(ip, mac, sn, i == 1);
            windows[i]->show(); // so that the busy animation runs as it does for the operator
        }
        const QPointer<QWidget> target = windows[i];
        for (const Message &m : qAsConst(messages)) {
            if (!(m.mask & (1 << i)))
                continue;
            if (m.kind == 7)
                QMetaObject::invokeMethod(target, "close", Qt::QueuedConnection);
            else
                deliver(target, m.topic, m.payload);
        }
        settle(target, ReportTopics[i]);
    }
    return 0;
}
