#pragma once

#include <QByteArray>
#include <QString>

// Decodes the 100-byte device record of a discovery reply into the seven row texts.
class DeviceInfoParse
{
public:
    static constexpr int FieldCount = 7;

    // Copies every byte of the datagram to `buffer`, which must hold datagram.size() bytes.
    bool CopyDatagram(QByteArray datagram, uchar *buffer) const;

    // Latin-1 text of bytes first..last (both included), stopping before the first zero byte.
    QString FieldToString(const uchar *record, int first, int last) const;

    // Appends IP, MAC, SN, name, camera type, OS version and camera FW version to fields[0..6].
    bool ParseDeviceInfo(const uchar *frame, QString *fields) const;
};
