#include "deviceinfoparse.h"

#include <cstring>

bool DeviceInfoParse::CopyDatagram(QByteArray datagram, uchar *buffer) const
{
    if (!datagram.isEmpty())
        std::memcpy(buffer, datagram.constData(), size_t(datagram.size()));
    return true;
}

QString DeviceInfoParse::FieldToString(const uchar *record, int first, int last) const
{
    int end = first;
    while (end <= last && record[end] != 0)
        ++end;
    return QString::fromLatin1(reinterpret_cast<const char *>(record + first), end - first);
}

bool DeviceInfoParse::ParseDeviceInfo(const uchar *frame, QString *fields) const
{
    fields[0].append(
            QStringLiteral("%1.%2.%3.%4").arg(frame[3]).arg(frame[4]).arg(frame[5]).arg(frame[6]));
    QString mac;
    for (int i = 7; i <= 12; ++i) {
        const QString piece = QString::number(frame[i], 16).rightJustified(2, QLatin1Char('0'));
        mac += (i < 12 ? QStringLiteral("%1:") : QStringLiteral("%1")).arg(piece).toUpper();
    }
    fields[1].append(mac);
    fields[2].append(FieldToString(frame, 13, 32));
    fields[3].append(FieldToString(frame, 33, 52));
    fields[4].append(FieldToString(frame, 53, 72));
    fields[5].append(FieldToString(frame, 73, 82));
    fields[6].append(FieldToString(frame, 83, 102));
    return true;
}
