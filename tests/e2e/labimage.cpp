#include "labimage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

LabImage LabImage::create(const QString &dir, const QString &name, qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (char &c : data) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    LabImage image;
    QFile f(QDir(dir).filePath(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return image;
    image.path = f.fileName();
    image.name = name;
    image.size = size;
    image.md5 =
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    return image;
}

QByteArray LabImage::requestBody(const QString &clientIp, qint64 bufferSize) const
{
    return QStringLiteral("{\"buffer_size\":\"%1\",\"client_ip\":\"%2\",\"file_md5\":\"%3\","
                          "\"file_name\":\"%4\",\"file_size\":\"%5\"}")
            .arg(bufferSize)
            .arg(clientIp, md5, name)
            .arg(size)
            .toUtf8();
}
