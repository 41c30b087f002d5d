// Any payloads on any topics as reports from a box: the report reader, and the report handling
// of a camera update window, a system update window and a recovery window. Messages are queued
// as the MQTT client delivers them, so later ones arrive nested inside the waits, questions and
// countdowns of earlier ones, and the operator may close a window between any two of them. Every
// window must come through without a crash or a hang; once the reports stop every countdown must
// end by itself, and once a last unreadable report has ended every run the window must let the
// operator close it.

#include "devicereport.h"
#include "form.h"
#include "fuzzdialogs.h"
#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "recoveryform.h"

#include <QApplication>
#include <QByteArray>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MaxMessages = 16;
// 61 s of countdown and the 100 ms animation steps become a few loop passes.
constexpr double TimeScale = 0.0001;
constexpr int UnwindLimitMs = 20000;
// A countdown of 61 scaled steps takes milliseconds; far longer means it is held up.
constexpr int SettleLimitMs = 2000;

const QByteArray Unreadable("{");
const QString CountdownStart =
        QStringLiteral("The system is restarting, please do not close the form.");

[[noreturn]] void fail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "fuzz_report: %s %s\n", what, qPrintable(detail));
    std::abort();
}

struct Message
{
    bool close = false; // the operator closes the windows instead
    QString topic;
    QByteArray payload;
    int windows = 0; // bit 0 camera update, bit 1 system update, bit 2 recovery
};

// Pulls bytes off the front of the input; reads past its end give nothing.
class Reader
{
public:
    Reader(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {}
    bool atEnd() const { return m_pos >= m_size; }
    int byte() { return atEnd() ? 0 : m_data[m_pos++]; }
    QByteArray bytes(size_t n)
    {
        n = qMin(n, m_size - m_pos);
        const QByteArray out(reinterpret_cast<const char *>(m_data + m_pos), int(n));
        m_pos += n;
        return out;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Each message: a selector byte (low 3 bits the topic, next 3 bits the windows it goes to,
// none meaning all), the topic's own bytes when it is an arbitrary one (a length byte first),
// then a two-byte big-endian payload length and the payload. Topic 7 is no message but the
// operator closing those windows.
QString topicFor(int selector, Reader *in)
{
    switch (selector & 0x07) {
    case 0:
        return Topics::UpdateCameraReport;
    case 1:
        return Topics::UpdateSystemReport;
    case 2:
        return Topics::RecoveryReport;
    case 3:
        return Topics::RecoveryRequest; // a topic the tool publishes on, never reads
    case 4:
        return QString();
    default: // 5 and 6
        return QString::fromUtf8(in->bytes(size_t(in->byte())));
    }
}

QList<Message> readMessages(Reader *in)
{
    QList<Message> out;
    while (!in->atEnd() && out.size() < MaxMessages) {
        Message m;
        const int selector = in->byte();
        m.windows = (selector >> 3) & 0x07;
        if (m.windows == 0)
            m.windows = 0x07;
        if ((selector & 0x07) == 7) {
            m.close = true;
            out.append(m);
            continue;
        }
        m.topic = topicFor(selector, in);
        const int high = in->byte();
        const int low = in->byte();
        m.payload = in->bytes(size_t((high << 8) | low));
        out.append(m);
    }
    return out;
}

// The reader on its own: an unreadable report always comes with the parser's text, which the
// windows show as the reason the run ended.
void checkReader(const QByteArray &payload)
{
    const ParsedReport parsed = ParseDeviceReport(payload);
    if (parsed.kind == ParsedReport::ParseError && parsed.errorText.isEmpty())
        fail("a parse error without its text for", QString::fromLatin1(payload.toHex()));
    if (parsed.kind == ParsedReport::Report)
        ReportProgressValue(parsed.report.progress);
}

// The three windows, made again whenever the operator has closed one.
struct Windows
{
    FuzzDialogs dialogs;
    QList<QPointer<QWidget>> list{nullptr, nullptr, nullptr};

    Windows()
    {
        // The operator takes a moment to answer: reports keep arriving meanwhile.
        dialogs.whileOpen = [] { QCoreApplication::processEvents(); };
    }

    void ensure()
    {
        const QString ip = QStringLiteral("127.0.0.1");
        const QString mac = QStringLiteral("00:1A:2B:3C:4D:5E");
        const QString sn = QStringLiteral("SN0001");
        for (int i = 0; i < list.size(); ++i) {
            if (list.at(i))
                continue;
            QWidget *w = nullptr;
            if (i == 2)
                w = new RecoveryForm(ip, mac, sn);
            else
                w = new Form(ip, mac, sn, i == 1);
            // Shown, so that the busy animation runs as it does for the operator.
            w->show();
            list[i] = w;
        }
    }
};

Windows *windows = nullptr;

const char *const Names[] = {"camera update window", "system update window", "recovery window"};
const QLatin1String ReportTopics[] = {Topics::UpdateCameraReport, Topics::UpdateSystemReport,
                                      Topics::RecoveryReport};

bool countdownShown(const QList<QPointer<QWidget>> &list)
{
    for (const QPointer<QWidget> &w : list) {
        const auto *tip = w ? w->findChild<QLabel *>(QStringLiteral("label_Tip")) : nullptr;
        if (tip && tip->text().startsWith(CountdownStart))
            return true;
    }
    return false;
}

void post(QWidget *window, const QString &topic, const QByteArray &payload)
{
    if (!window)
        return; // closed by the operator meanwhile
    const bool posted = QMetaObject::invokeMethod(window, "topicMessageReceived",
                                                  Qt::QueuedConnection, Q_ARG(QByteArray, payload),
                                                  Q_ARG(MqttTopicName, MqttTopicName(topic)));
    if (!posted)
        fail("cannot deliver to", QString::fromLatin1(window->metaObject()->className()));
}

void postClose(QWidget *window)
{
    if (window && !QMetaObject::invokeMethod(window, "close", Qt::QueuedConnection))
        fail("cannot close", QString::fromLatin1(window->metaObject()->className()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_report";
    static char *argv[] = {name, nullptr};
    auto *app = new QApplication(argc, argv);
    app->setQuitOnLastWindowClosed(false);
    qRegisterMetaType<MqttTopicName>("MqttTopicName");
    LocalWait::setTimeScaleForTests(TimeScale);
    windows = new Windows;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in(data, size);
    // The first byte answers up to eight questions, lowest bit first: set is Yes.
    const int answers = in.byte();
    const QList<Message> messages = readMessages(&in);

    windows->dialogs.clear();
    for (int bit = 0; bit < 8; ++bit)
        windows->dialogs.answers.append((answers >> bit) & 1 ? QMessageBox::Yes : QMessageBox::No);

    windows->ensure();
    const QList<QPointer<QWidget>> targets = windows->list;

    for (const Message &m : messages) {
        if (!m.close)
            checkReader(m.payload);
        for (int i = 0; i < targets.size(); ++i) {
            if (!(m.windows & (1 << i)))
                continue;
            if (m.close)
                postClose(targets.at(i));
            else
                post(targets.at(i), m.topic, m.payload);
        }
    }

    // Once the box falls silent every countdown must run to its end by itself. A watchdog timer
    // judges that, since it also fires inside the local loops of handlers still on the stack;
    // then a last report that no window can read ends whatever run or animation is still going.
    enum Phase { Delivering, Settling, Stopping, Done };
    Phase phase = Delivering;
    QElapsedTimer sinceSilent;
    QMetaObject::invokeMethod(
            qApp,
            [&] {
                phase = Settling;
                sinceSilent.start();
            },
            Qt::QueuedConnection);
    QElapsedTimer timer;
    timer.start();
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (timer.elapsed() > UnwindLimitMs)
            fail("the reports were not all handled in time");
        if (phase != Settling)
            return;
        if (countdownShown(targets)) {
            if (sinceSilent.elapsed() > SettleLimitMs)
                fail("a countdown does not end once the reports stop");
            return;
        }
        phase = Stopping;
        for (int i = 0; i < targets.size(); ++i)
            post(targets.at(i), ReportTopics[i], Unreadable);
        QMetaObject::invokeMethod(
                qApp, [&phase] { phase = Done; }, Qt::QueuedConnection);
    });
    watchdog.start(1);
    while (phase != Done)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    watchdog.stop();
    // What the handlers queued last (animation steps that now see the stop) runs out here.
    for (int pass = 0; pass < 4; ++pass)
        QCoreApplication::processEvents(QEventLoop::AllEvents);

    for (int i = 0; i < targets.size(); ++i) {
        QWidget *w = targets.at(i);
        if (!w)
            continue; // closed by the operator, as the input asked
        // Nothing runs any more: the window must let the operator close it.
        QCloseEvent close;
        QCoreApplication::sendEvent(w, &close);
        if (!close.isAccepted())
            fail("refuses to close after its last report:", QString::fromLatin1(Names[i]));
        if (countdownShown({w}))
            fail("shows a countdown that never ended:", QString::fromLatin1(Names[i]));
    }
    return 0;
}
