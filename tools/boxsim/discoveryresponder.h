#pragma once

#include "boxsettings.h"

#include <QByteArray>
#include <QList>
#include <QObject>

class EventLog;
class QUdpSocket;

// The box's discovery port: answers every exact request with the datagrams of its reply
// modes, sent to the request's source address and port.
class DiscoveryResponder : public QObject
{
    Q_OBJECT
public:
    explicit DiscoveryResponder(const BoxSettings &settings, EventLog *log,
                                QObject *parent = nullptr);

    bool start();
    quint16 port() const;

private:
    void readPending();
    void answer(const QHostAddress &to, quint16 port);

    BoxSettings m_settings;
    EventLog *m_log;
    QUdpSocket *m_socket;
    // Replies of each mode, built once at start so a burst of thousands leaves at once.
    QList<QList<QByteArray>> m_frames;
};
