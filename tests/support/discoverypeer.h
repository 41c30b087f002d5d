#pragma once

#include "endpoints.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUdpSocket>

#include <functional>

// Plays the boxes of a site for a device search, on loopback: records every request and
// answers it with the scripted datagrams, sent back to the port the request came from.
class DiscoveryPeer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray bytes;
        quint16 fromPort = 0;
    };

    explicit DiscoveryPeer(QObject *parent = nullptr);
    quint16 port() const { return m_socket.localPort(); }
    // Endpoints that send a search from `bindPort` (0: any) to this peer, never the broadcast.
    Endpoints endpoints(quint16 bindPort = 0) const;

    QList<Request> requests;
    QList<QByteArray> replies;
    // Runs once the replies to a request are out, i.e. inside the tool's collection wait.
    std::function<void()> afterReplies;

private:
    QUdpSocket m_socket;
};

// A free UDP port on loopback, found by binding port 0.
quint16 freeUdpPort();
