#pragma once

// What a discovery reply must look like to be listed, and the row it gives, written out
// independently of the tool's own frame code so that tests and fuzzers can judge its answers.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>

namespace ReferenceFrame {

constexpr int ReplySize = 105;
constexpr uchar Head0 = 0xFA;
constexpr uchar Head1 = 0x01;

// CRC-16/MODBUS bit by bit.
inline quint16 crc16(const uchar *data, int length)
{
    quint16 crc = 0xFFFF;
    for (int n = 0; n < length; ++n) {
        crc ^= data[n];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

// Heads FA 01, a length byte of length - 5, then the CRC of the rest, high byte first.
inline bool frameValid(const uchar *frame, int length)
{
    if (length < 5 || frame[0] != Head0 || frame[1] != Head1 || int(frame[2]) != length - 5)
        return false;
    const quint16 crc = crc16(frame, length - 2);
    return frame[length - 2] == uchar(crc >> 8) && frame[length - 1] == uchar(crc & 0xFF);
}

// Stores the CRC of all but the last two bytes in the last two, high byte first.
inline void seal(QByteArray *frame)
{
    const int n = frame->size();
    if (n < 2)
        return;
    const quint16 crc = crc16(reinterpret_cast<const uchar *>(frame->constData()), n - 2);
    (*frame)[n - 2] = char(crc >> 8);
    (*frame)[n - 1] = char(crc & 0xFF);
}

// The request a search sends: heads, two zero bytes, the CRC.
inline QByteArray request()
{
    QByteArray r = QByteArray::fromHex("FA0100000000");
    seal(&r);
    return r;
}

// A fixed text field: Latin-1 up to the first zero byte or the end of the field.
inline QString text(const uchar *record, int offset, int size)
{
    int n = 0;
    while (n < size && record[offset + n] != 0)
        ++n;
    return QString::fromLatin1(reinterpret_cast<const char *>(record + offset), n);
}

// The seven row texts of a 105-byte reply.
inline QStringList row(const uchar *frame)
{
    char ip[16];
    std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", frame[3], frame[4], frame[5], frame[6]);
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", frame[7], frame[8], frame[9],
                  frame[10], frame[11], frame[12]);
    return {QString::fromLatin1(ip), QString::fromLatin1(mac), text(frame, 13, 20),
            text(frame, 33, 20),     text(frame, 53, 20),      text(frame, 73, 10),
            text(frame, 83, 20)};
}

// A reply as a box builds it; a MAC shorter than six bytes is padded with zeros, each text is
// cut to its field.
inline QByteArray reply(const QString &ip,
                        const QByteArray &mac = QByteArray::fromHex("001A2B3C4D5E"),
                        const QByteArray &sn = "SN0001", const QByteArray &name = "Box",
                        const QByteArray &cameraType = "CAM", const QByteArray &osVersion = "1.0",
                        const QByteArray &cameraFw = "2.0")
{
    QByteArray frame(ReplySize, '\0');
    frame[0] = char(Head0);
    frame[1] = char(Head1);
    frame[2] = char(ReplySize - 5);
    const QStringList octets = ip.split(QLatin1Char('.'));
    for (int i = 0; i < 4 && i < octets.size(); ++i)
        frame[3 + i] = char(octets.at(i).toUInt());
    frame.replace(7, qMin(6, mac.size()), mac.left(6));
    const int offsets[] = {13, 33, 53, 73, 83};
    const int sizes[] = {20, 20, 20, 10, 20};
    const QByteArray *texts[] = {&sn, &name, &cameraType, &osVersion, &cameraFw};
    for (int f = 0; f < 5; ++f)
        frame.replace(offsets[f], qMin(sizes[f], texts[f]->size()), texts[f]->left(sizes[f]));
    seal(&frame);
    return frame;
}

} // namespace ReferenceFrame
