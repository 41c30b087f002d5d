#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpSocket>

// An MQTT 3.1.1 peer written straight on a TCP socket, independent of the tool's client, so
// that tests can check the bytes the client sends and receives against a second implementation.
// QoS 0 only. Every wait spins the event loop and is bounded.
class RawMqttPeer : public QObject
{
    Q_OBJECT
public:
    struct Message
    {
        QString topic;
        QByteArray payload;
    };

    explicit RawMqttPeer(QObject *parent = nullptr);

    // CONNECT with a clean session, then waits for an accepting CONNACK.
    bool connectTo(const QString &host, quint16 port, int timeoutMs = 5000);
    // SUBSCRIBE at QoS 0, then waits for its SUBACK.
    bool subscribe(const QString &filter, int timeoutMs = 5000);
    void publish(const QString &topic, const QByteArray &payload);
    // Waits until `count` messages have arrived in total.
    bool waitForMessages(int count, int timeoutMs = 5000);
    // Barrier: a message this peer sends itself has come back, so whatever the broker had
    // routed to it before is in `messages` (the barrier message is not).
    bool sync(int timeoutMs = 5000);
    // The payloads that arrived on `topic`, in order.
    QList<QByteArray> inbox(const QString &topic) const;

    QList<Message> messages;

signals:
    void messageArrived();

private:
    void onReadyRead();
    void sendPacket(quint8 header, const QByteArray &body);

    QTcpSocket m_socket;
    QByteArray m_buffer;
    bool m_connected = false;
    quint16 m_nextPacketId = 1;
    QList<quint16> m_subAcks;
    int m_syncs = 0;
};
