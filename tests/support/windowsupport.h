#pragma once

// What the update and recovery window tests share: the box's stream port, report payloads,
// fixed texts, and one driver that runs either window the way an operator does.

#include "rawmqttpeer.h"
#include "scripteddialogs.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QMetaType>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class MqttClient;
class QTcpSocket;

namespace WindowTexts {
inline const QString Preparing = QStringLiteral("Preparation is starting, please wait a moment...");
inline const QString Succeed = QStringLiteral("Connect Server Succeed...");
inline const QString RestartDone = QStringLiteral("System restart successful.");
} // namespace WindowTexts

// Image bytes that never repeat from one chunk to the next, so order and boundaries show.
QByteArray imageBytes(int size, quint32 seed = 1);
bool writeFile(const QString &path, const QByteArray &data);
// A report as a box writes it, every value a JSON string; written out by hand, not by Qt.
QByteArray reportPayload(const QString &type, const QString &errorcode, const QString &message,
                         const QString &progress = QString());
// The label shows its text as written: no markup is rendered.
bool shownLiterally(const QLabel *label);
// This process holds `path` open, as a stream that still runs does.
bool fileOpenHere(const QString &path);

// Calls `ready` every millisecond from any event loop, nested ones too (code after a wait would
// come too late inside a window's local loops), and runs `action` once, on the first pass in
// which `ready` holds.
class Poll
{
public:
    Poll(std::function<bool()> ready, std::function<void()> action);

private:
    QTimer m_timer;
};

// Every text a label shows, in order; `onText` hears of each new one.
class LabelLog
{
public:
    explicit LabelLog(QLabel *label);
    void poll();

    QStringList texts;
    std::function<void(const QString &)> onText;

private:
    QPointer<QLabel> m_label;
    Poll m_poll;
};

// Plays port 8000 of a box on loopback: accepts every connection and keeps every byte with the
// time it came; `paced`, it takes at most that many bytes off a connection, and only in take().
class StreamReceiver
{
public:
    struct Stream
    {
        QTcpSocket *socket = nullptr;
        QByteArray data;
        QList<QPair<qint64, qint64>> reads; // (ms since start, offset after the read)
        bool closed = false;
    };

    StreamReceiver();
    quint16 port() const { return m_server.serverPort(); }
    Stream *last() const { return streams.empty() ? nullptr : streams.back().get(); }

    std::vector<std::unique_ptr<Stream>> streams;
    std::function<void(Stream &)> onData;
    QElapsedTimer clock;
    qint64 paced = 0;

    void take(Stream &stream);

private:
    QTcpServer m_server;
};

enum class WindowKind { Camera, System, Recovery };
Q_DECLARE_METATYPE(WindowKind)

// One update window (camera or system) or recovery window for the box at `ip`, with a real
// broker between it and a box peer and, for the update window, a receiver as the box's port.
class WindowDriver
{
public:
    WindowDriver(WindowKind kind, quint16 brokerPort,
                 const QString &ip = QStringLiteral("127.0.0.1"));
    ~WindowDriver();

    QLabel *state() const { return child<QLabel>(pick("label_state", "label_state_recovery")); }
    QLabel *tip() const { return child<QLabel>("label_Tip"); }
    QProgressBar *bar() const
    {
        return child<QProgressBar>(pick("progressBar", "progressBar_Recovery"));
    }
    QPushButton *startButton() const
    {
        return child<QPushButton>(pick("pushButton_Start", "pushButton_Recovery"));
    }
    MqttClient *client() const;
    QString requestTopic() const { return "TalixTools_in/" + topicName(); }
    // What the window says when it refuses to close during a run.
    QString busyText() const;

    void choose(const QString &path);
    void clickStart();
    // Starts a run of the chosen file (`image` if none is), every wait at `scale`.
    void begin(double scale = 0.01);
    // Runs begin() until the run gets past its broker connection; true once the request
    // reached the box and, for the update window, the whole file its port.
    bool startRun(double scale = 0.01);
    void report(const QByteArray &payload, const QString &topic = QString());
    // Closes the window; the texts of the boxes that refused it.
    QStringList close();
    int requests() const { return box.inbox(requestTopic()).size(); }

    bool recovery() const { return kind == WindowKind::Recovery; }
    const char *pick(const char *update, const char *recovery) const
    {
        return this->recovery() ? recovery : update;
    }
    QString topicName() const;
    template<typename T>
    T *child(const char *name) const
    {
        return window ? window->findChild<T *>(QLatin1String(name)) : nullptr;
    }

    const WindowKind kind;
    ScriptedDialogs dialogs;
    RawMqttPeer box;
    StreamReceiver receiver;
    QTemporaryDir dir;
    QString image;
    qint64 imageSize = 0; // as chosen
    QPointer<QWidget> window;
    // Messages the window has finished handling, and a hook called after each.
    int handled = 0;
    std::function<void(int)> onHandled;
};
