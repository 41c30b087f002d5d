#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

class DeviceInfoParse;
class FrameCheck;
class QUdpSocket;

// Turns the datagrams of one search into device rows: valid replies only, each IP address
// once, with the texts of its first reply. The window and the command line both list with it.
class DeviceCollector
{
public:
    // Reads every datagram `socket` holds and returns the rows of the new devices among them.
    QList<QStringList> readFrom(QUdpSocket *socket, const FrameCheck &check,
                                const DeviceInfoParse &parse);
    // Forgets the addresses seen: the next search lists every device again.
    void clear() { m_seen.clear(); }

private:
    QSet<QString> m_seen;
};
