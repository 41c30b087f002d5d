#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

// The name of the topic a message arrived on.
class MqttTopicName
{
public:
    MqttTopicName() = default;
    explicit MqttTopicName(const QString &name)
        : m_name(name)
    {}
    QString name() const { return m_name; }

private:
    QString m_name;
};
Q_DECLARE_METATYPE(MqttTopicName)

// A small MQTT 3.1.1 client over libmosquitto, driven entirely from the GUI thread's event
// loop: socket notifiers call the library's non-blocking read and write, a timer keeps the
// connection alive. Messages are handed out only after the library call that read them has
// returned, so a handler may run a local event loop that reads further messages.
class MqttClient final : public QObject
{
    Q_OBJECT
public:
    enum ClientState { Disconnected, Connecting, Connected };
    Q_ENUM(ClientState)

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    void setHostname(const QString &hostname);
    QString hostname() const { return m_hostname; }
    void setPort(quint16 port);
    quint16 port() const { return m_port; }
    ClientState state() const { return m_state; }

    // Starts connecting and returns at once; the connection completes in the event loop.
    void connectToHost();
    void disconnectFromHost();

    // False when the request could not be queued (not connected, bad filter).
    bool subscribe(const QString &topicFilter, quint8 qos = 0);
    // 0 for an accepted QoS 0 message, the message id for QoS 1/2, -1 when it cannot be sent.
    int publish(const QString &topic, const QByteArray &payload, quint8 qos = 0,
                bool retain = false);

    // Local address of the connection to the broker; null when there is none.
    QHostAddress localAddress() const;

    // A broker that takes the TCP connection but never answers is given up after this time.
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }

signals:
    void stateChanged(MqttClient::ClientState state);
    void messageReceived(const QByteArray &message, const MqttTopicName &topic);

private:
    void createHandle();
    void destroyHandle();
    void watchSocket();
    void unwatchSocket();
    void afterLibraryCall(int rc);
    void updateWriteNotifier();
    void setState(ClientState state);
    void deliverMessages();
    void onReadable();
    void onWritable();
    void onMisc();

    static void onConnectCallback(mosquitto *, void *self, int rc);
    static void onDisconnectCallback(mosquitto *, void *self, int rc);
    static void onMessageCallback(mosquitto *, void *self, const mosquitto_message *msg);

    struct Pending
    {
        QByteArray payload;
        QString topic;
    };

    mosquitto *m_mosq = nullptr;
    QString m_hostname;
    quint16 m_port = 1883;
    ClientState m_state = Disconnected;
    int m_socket = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_miscTimer = nullptr;
    QTimer *m_connectTimer = nullptr;
    int m_connectTimeoutMs = 30000;
    bool m_connAckPending = false;
    int m_connAckRc = 0;
    bool m_inLibraryCall = false;
    QQueue<Pending> m_pending;
};
