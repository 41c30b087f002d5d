#include "discovery.h"

#include "deviceinfoparse.h"
#include "framecheck.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QPair>
#include <QSet>
#include <QUdpSocket>
#include <QVector>

namespace {

// Writes `text` into a fixed field as Latin-1: a shorter text ends with a zero byte, a text
// that fills the field has none, a longer one is cut.
void putField(QByteArray *frame, int offset, int size, const QString &text)
{
    const QByteArray bytes = text.toLatin1().left(size);
    for (int i = 0; i < size; ++i)
        (*frame)[offset + i] = i < bytes.size() ? bytes.at(i) : '\0';
}

// All boxes of a site answer the one request within milliseconds; the socket has to hold
// that burst until the event loop gets to read it. Linux grants at most net.core.rmem_max.
constexpr int ReceiveBufferSize = 8 * 1024 * 1024;

using Subnet = QPair<quint32, int>; // network address, prefix length

// The IPv4 subnets of an interface, and its first IPv4 address in `first`.
QVector<Subnet> ipv4Subnets(const QNetworkInterface &interface, QHostAddress *first)
{
    QVector<Subnet> subnets;
    const QList<QNetworkAddressEntry> entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        bool ok = false;
        const quint32 ip = entry.ip().toIPv4Address(&ok);
        const int prefix = entry.prefixLength();
        if (!ok || prefix < 0 || prefix > 32)
            continue;
        const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
        subnets.append({ip & mask, prefix});
        if (subnets.size() == 1)
            *first = QHostAddress(ip);
    }
    return subnets;
}

// A way out for the limited broadcast: an interface and the address it sends from.
struct Way
{
    int index;
    QHostAddress source;
};

// The interfaces a limited broadcast should leave through: one per network.
QVector<Way> broadcastWays()
{
    QVector<Way> chosen;
    QSet<Subnet> covered;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto flags = interface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::CanBroadcast) ||
            (flags & QNetworkInterface::IsLoopBack) || interface.index() <= 0)
            continue;
        QHostAddress source;
        const QVector<Subnet> subnets = ipv4Subnets(interface, &source);
        // Two interfaces on one subnet are most likely one network: its boxes would hear
        // the request twice.
        bool known = subnets.isEmpty();
        for (const Subnet &subnet : subnets)
            known = known || covered.contains(subnet);
        if (known)
            continue;
        for (const Subnet &subnet : subnets)
            covered.insert(subnet);
        chosen.append({interface.index(), source});
    }
    return chosen;
}

} // namespace

namespace Discovery {

QByteArray request()
{
    return QByteArray::fromHex("fa0100003c61");
}

void sealFrame(QByteArray *frame)
{
    const int n = frame->size();
    uchar low = 0;
    uchar high = 0;
    FrameCheck().Crc16(reinterpret_cast<const uchar *>(frame->constData()), quint16(n - 2), &low,
                       &high);
    (*frame)[n - 2] = char(high);
    (*frame)[n - 1] = char(low);
}

QByteArray encodeReply(const DeviceRecord &record)
{
    QByteArray frame(ReplySize, '\0');
    frame[0] = char(ReplyHead0);
    frame[1] = char(ReplyHead1);
    frame[2] = char(ReplySize - 5);
    const quint32 v4 = record.ip.toIPv4Address();
    for (int i = 0; i < 4; ++i)
        frame[3 + i] = char(v4 >> (24 - 8 * i));
    for (int i = 0; i < 6; ++i)
        frame[7 + i] = i < record.mac.size() ? record.mac.at(i) : '\0';
    putField(&frame, 13, 20, record.sn);
    putField(&frame, 33, 20, record.name);
    putField(&frame, 53, 20, record.cameraType);
    putField(&frame, 73, 10, record.osVersion);
    putField(&frame, 83, 20, record.cameraFw);
    sealFrame(&frame);
    return frame;
}

QStringList decodeReply(const QByteArray &datagram, const FrameCheck &check,
                        const DeviceInfoParse &parse)
{
    if (datagram.size() != ReplySize)
        return {};
    uchar buffer[ReplySize];
    parse.CopyDatagram(datagram, buffer);
    if (!check.CheckFrame(buffer, ReplySize, ReplyHead0, ReplyHead1))
        return {};
    QString fields[DeviceInfoParse::FieldCount];
    parse.ParseDeviceInfo(buffer, fields);
    return QStringList(std::begin(fields), std::end(fields));
}

QStringList decodeReply(const QByteArray &datagram)
{
    return decodeReply(datagram, FrameCheck(), DeviceInfoParse());
}

bool bind(QUdpSocket *socket, quint16 port)
{
    socket->bind(port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    if (socket->state() != QAbstractSocket::BoundState)
        return false;
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, ReceiveBufferSize);
    return true;
}

int sendRequest(QUdpSocket *socket, const QHostAddress &target, quint16 port)
{
    const QVector<Way> ways =
            target == QHostAddress(QHostAddress::Broadcast) ? broadcastWays() : QVector<Way>();
    if (ways.isEmpty())
        return socket->writeDatagram(request(), target, port) < 0 ? 0 : 1;
    int sent = 0;
    for (const Way &way : ways) {
        QNetworkDatagram datagram(request(), target, port);
        datagram.setInterfaceIndex(uint(way.index));
        // With the interface's own address as source: Linux refuses an interface choice on
        // the search's dual-stack socket without one.
        datagram.setSender(way.source);
        if (socket->writeDatagram(datagram) >= 0)
            ++sent;
    }
    // Should every interface refuse, the routing table still finds one network.
    if (sent == 0 && socket->writeDatagram(request(), target, port) >= 0)
        sent = 1;
    return sent;
}

} // namespace Discovery
