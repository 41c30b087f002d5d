#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

class DeviceInfoParse;
class FrameCheck;
class QUdpSocket;

// The discovery exchange: the request the tool broadcasts and the reply every box sends back.
namespace Discovery {

constexpr int ReplySize = 105;
constexpr uchar ReplyHead0 = 0xFA;
constexpr uchar ReplyHead1 = 0x01;

// The six request bytes FA 01 00 00 3C 61.
QByteArray request();

// What a box says about itself in its reply.
struct DeviceRecord
{
    QHostAddress ip;
    QByteArray mac; // six bytes
    QString sn;
    QString name;
    QString cameraType;
    QString osVersion;
    QString cameraFw;
};

// The 105-byte reply a box sends for `record`: text fields in Latin-1, cut to their size and
// ended by a zero byte when shorter; CRC-16/MODBUS stored high byte first.
QByteArray encodeReply(const DeviceRecord &record);

// Stores the CRC of all but the last two bytes of `frame` in those two, high byte first.
void sealFrame(QByteArray *frame);

// The seven row texts (IP, MAC, SN, name, camera type, OS version, camera FW version) of a
// datagram, or an empty list when it is not a valid reply (size, head bytes, length, CRC).
QStringList decodeReply(const QByteArray &datagram, const FrameCheck &check,
                        const DeviceInfoParse &parse);
QStringList decodeReply(const QByteArray &datagram);

// Binds `socket` to `port` on every local address, shared with other searches, with room for
// the burst of replies a site sends at once. True when bound.
bool bind(QUdpSocket *socket, quint16 port);

// Sends the request to `target`:`port` and returns how many datagrams went out. For the
// limited broadcast it goes once through each up, broadcast-capable, non-loopback interface
// with an IPv4 address (interfaces sharing a subnet once), so boxes on every network the
// workstation is on hear it exactly once; with no such interface, or for any other target,
// it is sent once and the routing table picks the way.
int sendRequest(QUdpSocket *socket, const QHostAddress &target, quint16 port);

} // namespace Discovery
