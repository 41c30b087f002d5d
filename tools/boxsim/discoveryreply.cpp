#include "discoveryreply.h"

#include "boxsettings.h"
#include "discovery.h"

namespace {

QByteArray build(const BoxSettings &s, const QHostAddress &ip, const QByteArray &mac)
{
    return Discovery::encodeReply({ip, mac, s.sn, s.name, s.cameraType, s.osVersion, s.cameraFw});
}

} // namespace

QList<QByteArray> DiscoveryReply::forMode(const QString &mode, const BoxSettings &s)
{
    const QByteArray valid = build(s, s.ip, s.mac);
    if (mode == QLatin1String("normal"))
        return {valid};
    if (mode == QLatin1String("silent"))
        return {};
    if (mode == QLatin1String("bad-crc")) {
        QByteArray f = valid;
        f[Discovery::ReplySize - 1] = char(f.at(Discovery::ReplySize - 1) ^ 0x5A);
        return {f};
    }
    if (mode == QLatin1String("swapped-crc")) {
        // Low byte first, as Modbus serial framing would have it; equal bytes would make
        // the swap a no-op, so break the frame outright then.
        QByteArray f = valid;
        const char high = f.at(Discovery::ReplySize - 2);
        f[Discovery::ReplySize - 2] = f.at(Discovery::ReplySize - 1);
        f[Discovery::ReplySize - 1] = high;
        if (f == valid)
            f[Discovery::ReplySize - 1] = char(f.at(Discovery::ReplySize - 1) ^ 0x01);
        return {f};
    }
    if (mode == QLatin1String("wrong-length")) {
        QByteArray f = valid;
        f[2] = char(Discovery::ReplySize - 6);
        Discovery::sealFrame(&f); // a correct CRC, so only the length byte is wrong
        return {f};
    }
    if (mode == QLatin1String("wrong-head")) {
        QByteArray f = valid;
        f[1] = char(0x02);
        Discovery::sealFrame(&f);
        return {f};
    }
    if (mode == QLatin1String("short"))
        return {valid.left(Discovery::ReplySize - 1)};
    if (mode == QLatin1String("long"))
        return {valid + QByteArray(1, '\0')};
    if (mode == QLatin1String("duplicate")) {
        QList<QByteArray> frames;
        for (int k = 0; k < s.duplicates; ++k)
            frames.append(valid);
        return frames;
    }
    if (mode == QLatin1String("other-ip"))
        return {build(s, s.otherIp, s.mac)};
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
            frames.append(build(s, QHostAddress(base + quint32(k)), mac));
        }
        return frames;
    }
    return {};
}
