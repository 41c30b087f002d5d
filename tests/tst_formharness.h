#pragma once

// Shared pieces of the update window's tests: a loopback receiver that plays the box's image
// port, an MQTT peer that plays the box's reports and watches what the tool publishes, and
// helpers that build and drive a window the way an operator does.

#include "form.h"
#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "scripteddialogs.h"
#include "ui_form.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

// Image contents that never repeat from one chunk to the next, so that order and boundaries
// show at the receiving end.
inline QByteArray imageBytes(qint64 size, quint32 seed = 1)
{
    QByteArray data(int(size), Qt::Uninitialized);
    char *p = data.data();
    quint32 x = seed * 2654435761u + 1;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        p[i] = char(x >> 24);
    }
    return data;
}

inline QString writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return QString();
    return path;
}

// A report as a box sends it: every value a JSON string.
inline QByteArray reportPayload(const QString &type, const QString &errorcode,
                                const QString &message, const QString &progress)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("errorcode"), errorcode);
    o.insert(QStringLiteral("message"), message);
    o.insert(QStringLiteral("progress"), progress);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// One connection accepted by the receiver.
struct ReceivedStream
{
    QTcpSocket *socket = nullptr;
    QByteArray data;
    QList<QPair<qint64, int>> reads; // ms since the receiver started, bytes in that read
    bool closed = false;
};

// Plays port 8000 of a box on loopback: accepts connections and keeps every byte.
class TestReceiver
{
public:
    TestReceiver() { clock.start(); }
    ~TestReceiver()
    {
        for (ReceivedStream *s : streams) {
            if (s->socket)
                s->socket->disconnect();
            delete s->socket;
            delete s;
        }
    }

    bool listen(quint16 port = 0)
    {
        if (!server.listen(QHostAddress::LocalHost, port))
            return false;
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] { accept(); });
        return true;
    }
    quint16 port() const { return server.serverPort(); }
    // Lives as long as the receiver: a context for timers that act on it.
    QObject *context() { return &server; }

    // Stops taking bytes from the kernel, as a box that reads slowly does.
    void pause()
    {
        paused = true;
        for (ReceivedStream *s : streams)
            s->socket->setReadBufferSize(4096);
    }
    void resume()
    {
        paused = false;
        for (ReceivedStream *s : streams) {
            s->socket->setReadBufferSize(0);
            take(s);
        }
    }

    ReceivedStream *last() const { return streams.isEmpty() ? nullptr : streams.last(); }
    qint64 total() const
    {
        qint64 n = 0;
        for (ReceivedStream *s : streams)
            n += s->data.size();
        return n;
    }

    QTcpServer server;
    QList<ReceivedStream *> streams;
    QElapsedTimer clock;
    bool paused = false;
    // Called after every read, with the stream that grew.
    std::function<void(ReceivedStream *)> onData;
    // Called for every connection accepted.
    std::function<void()> onAccept;

private:
    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto *s = new ReceivedStream;
            s->socket = socket;
            if (paused)
                socket->setReadBufferSize(4096);
            streams.append(s);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, s] {
                if (!paused)
                    take(s);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [s] { s->closed = true; });
            if (onAccept)
                onAccept();
        }
    }
    void take(ReceivedStream *s)
    {
        const QByteArray bytes = s->socket->readAll();
        if (bytes.isEmpty())
            return;
        s->data += bytes;
        s->reads.append({clock.elapsed(), bytes.size()});
        if (onData)
            onData(s);
    }
};

// Plays the box's side of MQTT: publishes reports and records what the tool publishes.
class MqttPeer
{
public:
    MqttPeer()
    {
        QObject::connect(&client, &MqttClient::messageReceived, &client,
                         [this](const QByteArray &payload, const MqttTopicName &topic) {
                             received.append({topic.name(), payload});
                             if (onMessage)
                                 onMessage(topic.name(), payload);
                         });
    }

    bool connectTo(quint16 port)
    {
        client.setHostname(QStringLiteral("127.0.0.1"));
        client.setPort(port);
        client.connectToHost();
        if (!QTest::qWaitFor([this] { return client.state() == MqttClient::Connected; }, 10000))
            return false;
        client.subscribe(QStringLiteral("TalixTools_in/#"), 0);
        // The subscription is in force once our own probe comes back.
        client.publish(QStringLiteral("TalixTools_in/probe"), "probe");
        const bool ok = QTest::qWaitFor([this] { return !received.isEmpty(); }, 10000);
        received.clear();
        return ok;
    }

    void publish(const QString &topic, const QByteArray &payload)
    {
        client.publish(topic, payload, 0, false);
    }

    QList<QByteArray> payloadsOn(const QString &topic) const
    {
        QList<QByteArray> out;
        for (const auto &m : received) {
            if (m.first == topic)
                out << m.second;
        }
        return out;
    }

    MqttClient client;
    QList<QPair<QString, QByteArray>> received;
    std::function<void(const QString &topic, const QByteArray &payload)> onMessage;
};

// Records every text a label shows, polling often enough to see each step of a countdown.
class LabelRecorder
{
public:
    explicit LabelRecorder(QLabel *label)
        : m_label(label)
    {
        texts << label->text();
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { poll(); });
        m_timer.start(1);
    }
    void poll()
    {
        if (!m_label)
            return;
        const QString now = m_label->text();
        if (now != texts.last()) {
            texts << now;
            if (onText)
                onText(now);
        }
    }

    QStringList texts;
    std::function<void(const QString &)> onText;

private:
    QPointer<QLabel> m_label;
    QTimer m_timer;
};

// Builds and drives windows through their own widgets and slots.
class FormHarness
{
public:
    static Form *create(bool systemMode, quint16 brokerPort, quint16 streamPort)
    {
        auto *form = new Form(QStringLiteral("127.0.0.1"), QStringLiteral("00:11:22:33:44:55"),
                              QStringLiteral("SN0001"), systemMode);
        Endpoints e;
        e.brokerPort = brokerPort;
        e.streamPort = streamPort;
        form->setEndpoints(e);
        form->setAttribute(Qt::WA_ShowModal, true);
        form->show();
        return form;
    }

    static Ui::Form *ui(Form *form) { return form->ui; }
    static MqttClient *client(Form *form) { return form->mqttClient; }

    // Connects the window's client ahead of Start, so that the 1000 ms wait may be scaled
    // down below what a real connection takes.
    static bool connectClient(Form *form, quint16 brokerPort)
    {
        form->mqttClient->setHostname(QStringLiteral("127.0.0.1"));
        form->mqttClient->setPort(brokerPort);
        form->mqttClient->connectToHost();
        return QTest::qWaitFor(
                [form] { return form->mqttClient->state() == MqttClient::Connected; }, 10000);
    }

    // Chooses `path` with "Browser".
    static void choose(Form *form, ScriptedDialogs &dialogs, const QString &path)
    {
        dialogs.files = QStringList{path};
        form->ui->pushButton_Browser->click();
    }

    // Presses Start and answers Yes. When the request reaches the peer, the time scale
    // becomes `streamScale` for the stream and what follows.
    static void pressStart(Form *form, ScriptedDialogs &dialogs, MqttPeer &peer, double streamScale)
    {
        peer.onMessage = [streamScale](const QString &topic, const QByteArray &) {
            if (topic == Topics::UpdateCameraRequest || topic == Topics::UpdateSystemRequest)
                LocalWait::setTimeScaleForTests(streamScale);
        };
        dialogs.answers = {QMessageBox::Yes};
        form->ui->pushButton_Start->click();
    }

    static bool requestSeen(const MqttPeer &peer)
    {
        return !peer.payloadsOn(Topics::UpdateCameraRequest).isEmpty() ||
               !peer.payloadsOn(Topics::UpdateSystemRequest).isEmpty();
    }
};
