#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

struct BoxSettings;

// The datagrams a box sends in answer to one discovery request: the 105-byte reply built
// from its settings, and the deliberately broken variants of the misbehaving modes.
class DiscoveryReply
{
public:
    static constexpr int Size = 105;
    static const QByteArray Request; // FA 01 00 00 3C 61

    // The valid reply for this identity (CRC-16/MODBUS stored high byte first).
    static QByteArray build(const QHostAddress &ip, const QByteArray &mac, const QString &sn,
                            const QString &name, const QString &cameraType,
                            const QString &osVersion, const QString &cameraFw);
    static QByteArray build(const BoxSettings &settings);

    // Datagrams of one reply mode, in sending order (empty for "silent").
    static QList<QByteArray> forMode(const QString &mode, const BoxSettings &settings);

    // Stores the CRC of bytes 0..size-3 in the last two bytes, high byte first.
    static void seal(QByteArray *frame);
};
