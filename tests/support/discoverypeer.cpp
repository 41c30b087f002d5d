#include "discoverypeer.h"

#include <QNetworkDatagram>

DiscoveryPeer::DiscoveryPeer(QObject *parent)
    : QObject(parent)
{
    m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram d = m_socket.receiveDatagram();
            requests.append({d.data(), quint16(d.senderPort())});
            for (const QByteArray &r : qAsConst(replies))
                m_socket.writeDatagram(r, QHostAddress::LocalHost, quint16(d.senderPort()));
            if (afterReplies)
                afterReplies();
        }
    });
}

Endpoints DiscoveryPeer::endpoints(quint16 bindPort) const
{
    Endpoints e;
    e.discoveryBindPort = bindPort;
    e.discoveryAddress = QStringLiteral("127.0.0.1");
    e.discoveryTargetPort = port();
    return e;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}
