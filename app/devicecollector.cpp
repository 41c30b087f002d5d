#include "devicecollector.h"

#include "discovery.h"

#include <QUdpSocket>
#include <QVector>

QList<QStringList> DeviceCollector::readFrom(QUdpSocket *socket, const FrameCheck &check,
                                             const DeviceInfoParse &parse)
{
    // Take everything the socket holds before decoding, so the kernel buffer is free again
    // for the rest of a burst.
    QVector<QByteArray> datagrams;
    while (socket->hasPendingDatagrams()) {
        QByteArray datagram;
        datagram.resize(int(qMax<qint64>(0, socket->pendingDatagramSize())));
        if (socket->readDatagram(datagram.data(), datagram.size()) < 0)
            break; // a read error must not spin this loop
        datagrams.append(datagram);
    }

    QList<QStringList> rows;
    for (const QByteArray &datagram : qAsConst(datagrams)) {
        const QStringList fields = Discovery::decodeReply(datagram, check, parse);
        if (fields.isEmpty() || m_seen.contains(fields.first()))
            continue;
        m_seen.insert(fields.first());
        rows.append(fields);
    }
    return rows;
}
