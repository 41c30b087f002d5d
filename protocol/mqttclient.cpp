#include "mqttclient.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <sys/socket.h>
#endif

namespace {

constexpr int KeepAliveSeconds = 60;

void ensureLibraryInitialised()
{
    static bool done = false;
    if (!done) {
        mosquitto_lib_init();
        qAddPostRoutine([] { mosquitto_lib_cleanup(); });
        done = true;
    }
}

} // namespace

MqttClient::MqttClient(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<MqttTopicName>("MqttTopicName");
    qRegisterMetaType<MqttClient::ClientState>("MqttClient::ClientState");
    ensureLibraryInitialised();
    m_miscTimer = new QTimer(this);
    m_miscTimer->setInterval(1000);
    connect(m_miscTimer, &QTimer::timeout, this, &MqttClient::onMisc);
    m_connectTimer = new QTimer(this);
    m_connectTimer->setSingleShot(true);
    connect(m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_state == Connecting) {
            destroyHandle();
            setState(Disconnected);
        }
    });
}

MqttClient::~MqttClient()
{
    destroyHandle();
}

void MqttClient::setHostname(const QString &hostname)
{
    m_hostname = hostname;
}

void MqttClient::setPort(quint16 port)
{
    m_port = port;
}

void MqttClient::createHandle()
{
    destroyHandle();
    m_mosq = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(m_mosq, &MqttClient::onConnectCallback);
    mosquitto_disconnect_callback_set(m_mosq, &MqttClient::onDisconnectCallback);
    mosquitto_message_callback_set(m_mosq, &MqttClient::onMessageCallback);
}

void MqttClient::destroyHandle()
{
    unwatchSocket();
    m_miscTimer->stop();
    m_connectTimer->stop();
    m_connAckPending = false;
    if (m_mosq) {
        mosquitto_destroy(m_mosq); // closes the socket
        m_mosq = nullptr;
    }
}

void MqttClient::connectToHost()
{
    if (m_state != Disconnected)
        return;
    createHandle();
    // A stateChanged handler may delete the client; nothing of it is touched after that.
    QPointer<MqttClient> self(this);
    setState(Connecting);
    if (!self)
        return;
    const QByteArray host = m_hostname.toUtf8();
    m_inLibraryCall = true;
    const int rc = mosquitto_connect_async(m_mosq, host.constData(), m_port, KeepAliveSeconds);
    m_inLibraryCall = false;
    if (rc != MOSQ_ERR_SUCCESS) {
        destroyHandle();
        setState(Disconnected);
        return;
    }
    watchSocket();
    m_miscTimer->start();
    m_connectTimer->start(m_connectTimeoutMs);
    afterLibraryCall(MOSQ_ERR_SUCCESS);
}

void MqttClient::disconnectFromHost()
{
    if (!m_mosq) {
        setState(Disconnected);
        return;
    }
    if (m_state == Connected) {
        // Say goodbye properly; what cannot be written at once is dropped with the handle.
        mosquitto_disconnect(m_mosq);
        if (mosquitto_socket(m_mosq) != -1)
            mosquitto_loop_write(m_mosq, 1);
    }
    destroyHandle();
    setState(Disconnected);
}

bool MqttClient::subscribe(const QString &topicFilter, quint8 qos)
{
    if (m_state != Connected || !m_mosq)
        return false;
    const QByteArray filter = topicFilter.toUtf8();
    m_inLibraryCall = true;
    const int rc = mosquitto_subscribe(m_mosq, nullptr, filter.constData(), qos);
    m_inLibraryCall = false;
    afterLibraryCall(rc);
    return rc == MOSQ_ERR_SUCCESS;
}

int MqttClient::publish(const QString &topic, const QByteArray &payload, quint8 qos, bool retain)
{
    if (m_state != Connected || !m_mosq)
        return -1;
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    m_inLibraryCall = true;
    const int rc = mosquitto_publish(m_mosq, &mid, name.constData(), payload.size(),
                                     payload.constData(), qos, retain);
    m_inLibraryCall = false;
    afterLibraryCall(rc);
    if (rc != MOSQ_ERR_SUCCESS)
        return -1;
    return qos == 0 ? 0 : mid;
}

QHostAddress MqttClient::localAddress() const
{
    if (!m_mosq || m_socket == -1)
        return QHostAddress();
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(m_socket, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&addr));
}

void MqttClient::watchSocket()
{
    const int fd = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (fd == m_socket && (fd == -1 || m_readNotifier))
        return;
    unwatchSocket();
    if (fd == -1)
        return;
    m_socket = fd;
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &MqttClient::onReadable);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &MqttClient::onWritable);
}

void MqttClient::unwatchSocket()
{
    // Disabled at once so the dispatcher never polls a closed descriptor; deleted later
    // because this may run inside one of the notifiers' own signals.
    for (QSocketNotifier *n : {m_readNotifier, m_writeNotifier}) {
        if (n) {
            n->setEnabled(false);
            n->disconnect(this);
            n->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_socket = -1;
}

void MqttClient::updateWriteNotifier()
{
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(m_mosq && mosquitto_want_write(m_mosq));
}

void MqttClient::afterLibraryCall(int rc)
{
    if (!m_mosq)
        return;
    const bool lost = mosquitto_socket(m_mosq) == -1 || rc == MOSQ_ERR_CONN_LOST ||
                      rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_KEEPALIVE ||
                      rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_CONN_REFUSED;
    QPointer<MqttClient> self(this); // stateChanged handlers may delete the client
    bool refused = false;
    if (m_connAckPending) {
        m_connAckPending = false;
        refused = m_connAckRc != 0;
        if (!refused && !lost) {
            m_connectTimer->stop();
            setState(Connected);
            if (!self)
                return;
        }
    }
    if (lost || refused) {
        destroyHandle();
        setState(Disconnected);
        if (!self)
            return;
    } else {
        watchSocket();
        updateWriteNotifier();
    }
    deliverMessages();
}

void MqttClient::setState(ClientState state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

void MqttClient::deliverMessages()
{
    // Messages are taken one at a time so a handler that waits in a local event loop lets
    // the nested loop deliver later ones, in order.
    QPointer<MqttClient> self(this);
    while (self && !m_pending.isEmpty()) {
        const Pending next = m_pending.dequeue();
        emit messageReceived(next.payload, MqttTopicName(next.topic));
    }
}

void MqttClient::onReadable()
{
    if (!m_mosq || m_inLibraryCall)
        return;
    m_inLibraryCall = true;
    const int rc = mosquitto_loop_read(m_mosq, 1);
    m_inLibraryCall = false;
    afterLibraryCall(rc);
}

void MqttClient::onWritable()
{
    if (!m_mosq || m_inLibraryCall)
        return;
    m_inLibraryCall = true;
    const int rc = mosquitto_loop_write(m_mosq, 1);
    m_inLibraryCall = false;
    afterLibraryCall(rc);
}

void MqttClient::onMisc()
{
    if (!m_mosq || m_inLibraryCall)
        return;
    m_inLibraryCall = true;
    const int rc = mosquitto_loop_misc(m_mosq);
    m_inLibraryCall = false;
    afterLibraryCall(rc);
}

void MqttClient::onConnectCallback(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    client->m_connAckPending = true;
    client->m_connAckRc = rc;
}

void MqttClient::onDisconnectCallback(mosquitto *, void *, int)
{
    // The socket is gone by now; afterLibraryCall() sees that and ends in Disconnected.
}

void MqttClient::onMessageCallback(mosquitto *, void *self, const mosquitto_message *msg)
{
    auto *client = static_cast<MqttClient *>(self);
    Pending p;
    p.payload = QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen);
    p.topic = QString::fromUtf8(msg->topic);
    client->m_pending.enqueue(p);
}
