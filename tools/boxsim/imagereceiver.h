#pragma once

#include "boxsettings.h"

#include <QCryptographicHash>
#include <QObject>
#include <QPointer>

class EventLog;
class QTcpServer;
class QTcpSocket;
class QTimer;

// The box's image port: takes the stream of an announced image, counts and digests what
// arrives, and tells whether it matches the size and MD5 that the update request gave.
class ImageReceiver : public QObject
{
    Q_OBJECT
public:
    enum Outcome { Verified, SizeMismatch, Md5Mismatch, Aborted };
    Q_ENUM(Outcome)

    explicit ImageReceiver(const BoxSettings &settings, EventLog *log, QObject *parent = nullptr);

    // Listens at once in the "now" accept mode; the other modes listen later or never.
    bool start();
    quint16 port() const { return m_port; }

    // Arms the receiver for a new image; what arrived for an earlier one is forgotten.
    void expect(qint64 size, const QByteArray &md5Hex);
    bool isExpecting() const { return m_armed; }

signals:
    void bytesReceived(qint64 total);
    void finished(ImageReceiver::Outcome outcome, const QString &detail);

private:
    bool listen();
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();
    void onIdle();
    void sendGarbage();
    void resetCount();
    void verifyDigest();
    void finish(Outcome outcome, const QString &detail);
    QString peerText() const;

    BoxSettings m_settings;
    EventLog *m_log;
    QTcpServer *m_server;
    QPointer<QTcpSocket> m_connection;
    QTimer *m_idleTimer;
    QTimer *m_lateTimer;
    QTimer *m_garbageTimer;
    QByteArray m_garbage; // made once: the same bytes every time
    quint16 m_port = 0;

    bool m_armed = false;
    qint64 m_expectedSize = 0;
    QByteArray m_expectedMd5;
    qint64 m_received = 0;
    qint64 m_extra = 0;
    qint64 m_garbageWritten = 0; // on the current connection
    QCryptographicHash m_hash{QCryptographicHash::Md5};
};
