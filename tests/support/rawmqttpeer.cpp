#include "rawmqttpeer.h"

#include <QTest>

#include <algorithm>

namespace {

QByteArray u16(quint16 v)
{
    return QByteArray(1, char(v >> 8)) + char(v & 0xFF);
}

QByteArray encodeRemainingLength(int length)
{
    QByteArray out;
    do {
        out.append(char((length % 128) | (length >= 128 ? 0x80 : 0)));
        length /= 128;
    } while (length > 0);
    return out;
}

QByteArray encodeString(const QByteArray &utf8)
{
    return u16(quint16(utf8.size())) + utf8;
}

} // namespace

RawMqttPeer::RawMqttPeer(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &RawMqttPeer::onReadyRead);
}

void RawMqttPeer::sendPacket(quint8 header, const QByteArray &body)
{
    m_socket.write(char(header) + encodeRemainingLength(body.size()) + body);
}

bool RawMqttPeer::connectTo(const QString &host, quint16 port, int timeoutMs)
{
    m_socket.connectToHost(host, port);
    if (!m_socket.waitForConnected(timeoutMs))
        return false;
    // Protocol level 4 (3.1.1), clean session, 60 s keep-alive, a client id of its own.
    sendPacket(0x10, encodeString("MQTT") + QByteArray("\x04\x02", 2) + u16(60) +
                             encodeString("raw-peer-" + QByteArray::number(quintptr(this), 16)));
    return QTest::qWaitFor([this] { return m_connected; }, timeoutMs);
}

bool RawMqttPeer::subscribe(const QString &filter, int timeoutMs)
{
    const quint16 id = m_nextPacketId++;
    sendPacket(0x82, u16(id) + encodeString(filter.toUtf8()) + char(0));
    return QTest::qWaitFor([this, id] { return m_subAcks.contains(id); }, timeoutMs);
}

void RawMqttPeer::publish(const QString &topic, const QByteArray &payload)
{
    sendPacket(0x30, encodeString(topic.toUtf8()) + payload);
}

bool RawMqttPeer::waitForMessages(int count, int timeoutMs)
{
    return QTest::qWaitFor([this, count] { return messages.size() >= count; }, timeoutMs);
}

bool RawMqttPeer::sync(int timeoutMs)
{
    const QString topic = QStringLiteral("rawpeer/sync/%1").arg(quintptr(this), 0, 16);
    if (m_syncs == 0 && !subscribe(topic, timeoutMs))
        return false;
    const QByteArray token = QByteArray::number(++m_syncs);
    publish(topic, token);
    const auto isToken = [&](const Message &m) { return m.topic == topic && m.payload == token; };
    const bool ok = QTest::qWaitFor(
            [&] { return std::any_of(messages.cbegin(), messages.cend(), isToken); }, timeoutMs);
    messages.erase(std::remove_if(messages.begin(), messages.end(),
                                  [&](const Message &m) { return m.topic == topic; }),
                   messages.end());
    return ok;
}

QList<QByteArray> RawMqttPeer::inbox(const QString &topic) const
{
    QList<QByteArray> out;
    for (const Message &m : messages) {
        if (m.topic == topic)
            out << m.payload;
    }
    return out;
}

void RawMqttPeer::onReadyRead()
{
    m_buffer.append(m_socket.readAll());
    for (;;) {
        int length = 0;
        int pos = 1;
        for (int shift = 0;; shift += 7) { // remaining length, 7 bits per byte
            if (pos >= m_buffer.size())
                return;
            const quint8 digit = quint8(m_buffer.at(pos++));
            length |= (digit & 0x7F) << shift;
            if (!(digit & 0x80))
                break;
        }
        if (m_buffer.size() < pos + length)
            return;
        const quint8 header = quint8(m_buffer.at(0));
        const QByteArray body = m_buffer.mid(pos, length);
        m_buffer.remove(0, pos + length);
        if ((header & 0xF0) == 0x20) { // CONNACK
            m_connected = body.size() == 2 && body.at(1) == 0;
        } else if ((header & 0xF0) == 0x90 && body.size() >= 2) { // SUBACK
            m_subAcks.append(quint16((quint8(body.at(0)) << 8) | quint8(body.at(1))));
        } else if ((header & 0xF0) == 0x30 && body.size() >= 2) { // PUBLISH
            const int topicLength = (quint8(body.at(0)) << 8) | quint8(body.at(1));
            // A packet identifier follows the topic at QoS 1/2; this peer subscribes at 0.
            const int payloadAt = 2 + topicLength + ((header & 0x06) ? 2 : 0);
            messages.append({QString::fromUtf8(body.mid(2, topicLength)), body.mid(payloadAt)});
            emit messageArrived();
        }
    }
}
