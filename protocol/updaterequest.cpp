#include "updaterequest.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace UpdateRequest {

QByteArray body(const Fields &fields)
{
    QJsonObject object;
    object.insert(QStringLiteral("client_ip"), fields.clientIp);
    object.insert(QStringLiteral("file_name"), fields.fileName);
    object.insert(QStringLiteral("buffer_size"), QString::number(fields.bufferSize));
    object.insert(QStringLiteral("file_size"), QString::number(fields.fileSize));
    object.insert(QStringLiteral("file_md5"), QString::fromLatin1(fields.md5Hex));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString fallbackClientIp(const QList<QHostAddress> &addresses)
{
    QString result;
    for (const QHostAddress &address : addresses) {
        // IPv6 addresses have no IPv4 value and read as 0.
        const quint32 ipv4 = address.toIPv4Address();
        if (ipv4 == 0 || ipv4 == QHostAddress(QHostAddress::LocalHost).toIPv4Address())
            continue;
        result = QHostAddress(ipv4).toString();
    }
    return result;
}

} // namespace UpdateRequest
