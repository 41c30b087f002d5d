#pragma once

#include <QByteArray>
#include <QString>

// An image file for an update run: contents that never repeat from one chunk to the next, so
// that a chunk lost, doubled or out of order changes the digest the box computes.
class LabImage
{
public:
    QString path;
    QString name;
    qint64 size = 0;
    QString md5; // lowercase hex

    // Writes `size` bytes made from `seed` to `dir`/`name`; an image without path on failure.
    static LabImage create(const QString &dir, const QString &name, qint64 size, quint32 seed);

    // The update request for this image as the box must receive it: compact JSON, every value
    // a JSON string, members in the compact writer's (alphabetical) order.
    QByteArray requestBody(const QString &clientIp, qint64 bufferSize) const;
};
