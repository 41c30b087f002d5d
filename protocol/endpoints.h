#pragma once

#include <QString>
#include <QtGlobal>

// Where the tool talks to boxes. The product always uses these defaults; tests hand
// windows other values so that they reach loopback servers on free ports.
struct Endpoints
{
    quint16 discoveryBindPort = 6999;                             // local port of the search
    QString discoveryAddress = QStringLiteral("255.255.255.255"); // target of the request
    quint16 discoveryTargetPort = 6999;
    quint16 brokerPort = 1883;
    quint16 streamPort = 8000;
    quint16 loginPort = 8888;
};

// Chunk sizes of the image stream, also announced as "buffer_size" in the update request.
namespace Transfer {
constexpr qint64 CameraBufferSize = 1048576; // 1 MiB
constexpr qint64 SystemBufferSize = 2097152; // 2 MiB
} // namespace Transfer
