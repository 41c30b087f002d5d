#include "discovery.h"

#include "deviceinfoparse.h"
#include "framecheck.h"

namespace {

// Writes `text` into a fixed field as Latin-1: a shorter text ends with a zero byte, a text
// that fills the field has none, a longer one is cut.
void putField(QByteArray *frame, int offset, int size, const QString &text)
{
    const QByteArray bytes = text.toLatin1().left(size);
    for (int i = 0; i < size; ++i)
        (*frame)[offset + i] = i < bytes.size() ? bytes.at(i) : '\0';
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

} // namespace Discovery
