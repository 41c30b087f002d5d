#include "discoveryreply.h"

#include "boxsettings.h"
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

const QByteArray DiscoveryReply::Request = QByteArray::fromHex("fa0100003c61");

void DiscoveryReply::seal(QByteArray *frame)
{
    const int n = frame->size();
    uchar low = 0;
    uchar high = 0;
    FrameCheck().Crc16(reinterpret_cast<const uchar *>(frame->constData()), quint16(n - 2), &low,
                       &high);
    (*frame)[n - 2] = char(high);
    (*frame)[n - 1] = char(low);
}

QByteArray DiscoveryReply::build(const QHostAddress &ip, const QByteArray &mac, const QString &sn,
                                 const QString &name, const QString &cameraType,
                                 const QString &osVersion, const QString &cameraFw)
{
    QByteArray frame(Size, '\0');
    frame[0] = char(0xFA);
    frame[1] = char(0x01);
    frame[2] = char(Size - 5);
    const quint32 v4 = ip.toIPv4Address();
    frame[3] = char(v4 >> 24);
    frame[4] = char(v4 >> 16);
    frame[5] = char(v4 >> 8);
    frame[6] = char(v4);
    for (int i = 0; i < 6; ++i)
        frame[7 + i] = i < mac.size() ? mac.at(i) : '\0';
    putField(&frame, 13, 20, sn);
    putField(&frame, 33, 20, name);
    putField(&frame, 53, 20, cameraType);
    putField(&frame, 73, 10, osVersion);
    putField(&frame, 83, 20, cameraFw);
    seal(&frame);
    return frame;
}

QByteArray DiscoveryReply::build(const BoxSettings &s)
{
    return build(s.ip, s.mac, s.sn, s.name, s.cameraType, s.osVersion, s.cameraFw);
}

QList<QByteArray> DiscoveryReply::forMode(const QString &mode, const BoxSettings &s)
{
    const QByteArray valid = build(s);
    if (mode == QLatin1String("normal"))
        return {valid};
    if (mode == QLatin1String("silent"))
        return {};
    if (mode == QLatin1String("bad-crc")) {
        QByteArray f = valid;
        f[Size - 1] = char(f.at(Size - 1) ^ 0x5A);
        return {f};
    }
    if (mode == QLatin1String("swapped-crc")) {
        // Low byte first, as Modbus serial framing would have it; equal bytes would make
        // the swap a no-op, so break the frame outright then.
        QByteArray f = valid;
        const char high = f.at(Size - 2);
        f[Size - 2] = f.at(Size - 1);
        f[Size - 1] = high;
        if (f == valid)
            f[Size - 1] = char(f.at(Size - 1) ^ 0x01);
        return {f};
    }
    if (mode == QLatin1String("wrong-length")) {
        QByteArray f = valid;
        f[2] = char(Size - 6);
        seal(&f); // a correct CRC, so only the length byte is wrong
        return {f};
    }
    if (mode == QLatin1String("wrong-head")) {
        QByteArray f = valid;
        f[1] = char(0x02);
        seal(&f);
        return {f};
    }
    if (mode == QLatin1String("short"))
        return {valid.left(Size - 1)};
    if (mode == QLatin1String("long"))
        return {valid + QByteArray(1, '\0')};
    if (mode == QLatin1String("duplicate")) {
        QList<QByteArray> frames;
        for (int k = 0; k < s.duplicates; ++k)
            frames.append(valid);
        return frames;
    }
    if (mode == QLatin1String("other-ip"))
        return {build(s.otherIp, s.mac, s.sn, s.name, s.cameraType, s.osVersion, s.cameraFw)};
    if (mode == QLatin1String("burst")) {
        // One valid reply per address from --ip upwards, MACs counting along, as a site
        // full of boxes answering the same broadcast.
        QList<QByteArray> frames;
        frames.reserve(s.burstCount);
        const quint32 base = s.ip.toIPv4Address();
        for (int k = 0; k < s.burstCount; ++k) {
            QByteArray mac = s.mac;
            mac[4] = char(quint8(mac.at(4)) + ((k >> 8) & 0xFF));
            mac[5] = char(quint8(mac.at(5)) + (k & 0xFF));
            frames.append(build(QHostAddress(base + quint32(k)), mac, s.sn, s.name, s.cameraType,
                                s.osVersion, s.cameraFw));
        }
        return frames;
    }
    return {};
}
