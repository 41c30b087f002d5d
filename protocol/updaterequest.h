#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

// The JSON body of an update request: which file comes, how big, its digest, and the chunk
// size of the stream. Every value is a JSON string, as the boxes expect.
namespace UpdateRequest {

struct Fields
{
    QString clientIp;
    QString fileName;
    qint64 bufferSize = 0;
    qint64 fileSize = 0;
    QByteArray md5Hex; // 32 lower-case hex digits
};

QByteArray body(const Fields &fields);

// The workstation's own address as the box is told it when nothing better is known: the last
// IPv4 address of the list that is not 127.0.0.1, in dotted form; null when there is none.
QString fallbackClientIp(const QList<QHostAddress> &addresses);

} // namespace UpdateRequest
