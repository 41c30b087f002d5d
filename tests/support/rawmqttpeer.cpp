#include "rawmqttpeer.h"

#include <QTest>

namespace {

// Packet types of MQTT 3.1.1, already shifted into the high nibble.
constexpr quint8 Connect = 0x10;
constexpr quint8 ConnAck = 0x20;
constexpr quint8 Publish = 0x30;
constexpr quint8 Subscribe = 0x82; // the reserved flag bits of SUBSCRIBE must be 0010
constexpr quint8 SubAck = 0x90;

QByteArray u16(quint16 v)
{
    QByteArray out;
    out.append(char(v >> 8));
    out.append(char(v & 0xFF));
    return out;
}

} // namespace

RawMqttPeer::RawMqttPeer(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &RawMqttPeer::onReadyRead);
}

QByteArray RawMqttPeer::encodeRemainingLength(int length)
{
    QByteArray out;
    do {
        quint8 digit = quint8(length % 128);
        length /= 128;
        if (length > 0)
            digit |= 0x80;
        out.append(char(digit));
    } while (length > 0);
    return out;
}

QByteArray RawMqttPeer::encodeString(const QByteArray &utf8)
{
    return u16(quint16(utf8.size())) + utf8;
}

void RawMqttPeer::sendPacket(quint8 header, const QByteArray &body)
{
    QByteArray packet;
    packet.append(char(header));
    packet.append(encodeRemainingLength(body.size()));
    packet.append(body);
    m_socket.write(packet);
}

bool RawMqttPeer::connectTo(const QString &host, quint16 port, int timeoutMs)
{
    m_socket.connectToHost(host, port);
    if (!QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; },
                         timeoutMs))
        return false;
    QByteArray body = encodeString("MQTT");
    body.append(char(4));    // protocol level 3.1.1
    body.append(char(0x02)); // clean session
    body.append(u16(60));    // keep-alive seconds
    body.append(encodeString(QByteArray("raw-peer-") + QByteArray::number(quintptr(this), 16)));
    sendPacket(Connect, body);
    return QTest::qWaitFor([this] { return m_connected; }, timeoutMs);
}

bool RawMqttPeer::subscribe(const QString &filter, int timeoutMs)
{
    const quint16 id = m_nextPacketId++;
    QByteArray body = u16(id);
    body.append(encodeString(filter.toUtf8()));
    body.append(char(0)); // QoS 0
    sendPacket(Subscribe, body);
    return QTest::qWaitFor([this, id] { return m_subAcks.contains(id); }, timeoutMs);
}

void RawMqttPeer::publish(const QString &topic, const QByteArray &payload)
{
    sendPacket(Publish, encodeString(topic.toUtf8()) + payload);
}

bool RawMqttPeer::waitForMessages(int count, int timeoutMs)
{
    return QTest::qWaitFor([this, count] { return messages.size() >= count; }, timeoutMs);
}

void RawMqttPeer::onReadyRead()
{
    m_buffer.append(m_socket.readAll());
    for (;;) {
        if (m_buffer.size() < 2)
            return;
        int length = 0;
        int multiplier = 1;
        int pos = 1;
        for (;;) {
            if (pos >= m_buffer.size())
                return; // remaining length not complete yet
            const quint8 digit = quint8(m_buffer.at(pos++));
            length += (digit & 0x7F) * multiplier;
            multiplier *= 128;
            if (!(digit & 0x80))
                break;
        }
        if (m_buffer.size() < pos + length)
            return;
        const quint8 header = quint8(m_buffer.at(0));
        const QByteArray body = m_buffer.mid(pos, length);
        m_buffer.remove(0, pos + length);
        handlePacket(header, body);
    }
}

void RawMqttPeer::handlePacket(quint8 header, const QByteArray &body)
{
    switch (header & 0xF0) {
    case ConnAck:
        m_connected = body.size() == 2 && body.at(1) == 0;
        break;
    case SubAck:
        if (body.size() >= 2)
            m_subAcks.append(quint16((quint8(body.at(0)) << 8) | quint8(body.at(1))));
        break;
    case Publish: {
        const int topicLength = (quint8(body.at(0)) << 8) | quint8(body.at(1));
        int pos = 2 + topicLength;
        if (header & 0x06)
            pos += 2; // packet identifier of QoS 1/2; this peer only subscribes at 0
        messages.append({QString::fromUtf8(body.mid(2, topicLength)), body.mid(pos)});
        emit messageArrived();
        break;
    }
    default:
        break;
    }
}
