#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

struct BoxSettings;

// The datagrams a box sends in answer to one discovery request: the reply built from its
// settings, and the deliberately broken variants of the misbehaving modes.
namespace DiscoveryReply {

// Datagrams of one reply mode, in sending order (empty for "silent").
QList<QByteArray> forMode(const QString &mode, const BoxSettings &settings);

} // namespace DiscoveryReply
