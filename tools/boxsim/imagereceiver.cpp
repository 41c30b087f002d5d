#include "imagereceiver.h"

#include "eventlog.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Garbage sent back is bounded so that a peer that never reads cannot grow our buffers.
constexpr qint64 MaxPendingGarbage = 1024 * 1024;

} // namespace

ImageReceiver::ImageReceiver(const BoxSettings &settings, EventLog *log, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_log(log)
    , m_server(new QTcpServer(this))
    , m_idleTimer(new QTimer(this))
    , m_lateTimer(new QTimer(this))
    , m_garbageTimer(new QTimer(this))
    , m_port(settings.tcpPort)
{
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(m_settings.transferIdleMs);
    m_lateTimer->setSingleShot(true);
    // Not early by the coarse timers' 5 %: tests time the tool's connection attempts against it.
    m_lateTimer->setTimerType(Qt::PreciseTimer);
    connect(m_server, &QTcpServer::newConnection, this, &ImageReceiver::onNewConnection);
    connect(m_idleTimer, &QTimer::timeout, this, &ImageReceiver::onIdle);
    connect(m_lateTimer, &QTimer::timeout, this, &ImageReceiver::listen);
    // A box that keeps talking on the image connection, whatever the tool does.
    m_garbageTimer->setInterval(m_settings.tcpGarbageIntervalMs);
    connect(m_garbageTimer, &QTimer::timeout, this, &ImageReceiver::sendGarbage);
}

bool ImageReceiver::start()
{
    if (m_settings.tcpAccept == QLatin1String("now"))
        return listen();
    m_log->event(QStringLiteral("TCP_NOT_LISTENING"),
                 {{QStringLiteral("accept"), m_settings.tcpAccept},
                  {QStringLiteral("port"), QString::number(m_port)}});
    return true;
}

bool ImageReceiver::listen()
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(m_settings.tcpBind, m_port)) {
        m_log->event(QStringLiteral("TCP_LISTEN_FAILED"),
                     {{QStringLiteral("address"), m_settings.tcpBind.toString()},
                      {QStringLiteral("port"), QString::number(m_port)},
                      {QStringLiteral("error"), m_server->errorString()}});
        return false;
    }
    m_port = m_server->serverPort(); // keeps a port picked by the system for later listens
    m_log->event(QStringLiteral("TCP_LISTEN"),
                 {{QStringLiteral("address"), m_settings.tcpBind.toString()},
                  {QStringLiteral("port"), QString::number(m_port)}});
    return true;
}

void ImageReceiver::expect(qint64 size, const QByteArray &md5Hex)
{
    // A connection left open by an earlier stream stays: the new image may come over it,
    // and what arrives from now on counts towards the new image.
    if (m_armed || m_connection)
        m_log->event(QStringLiteral("TCP_REARMED"),
                     {{QStringLiteral("dropped_bytes"), QString::number(m_received)},
                      {QStringLiteral("open_connection"), peerText()}});
    m_armed = true;
    m_expectedSize = size;
    m_expectedMd5 = md5Hex;
    resetCount();
    m_idleTimer->stop();
    if (m_connection) {
        m_idleTimer->start();
        if (m_expectedSize == 0)
            verifyDigest();
    }
    if (m_settings.tcpAccept == QLatin1String("late")) {
        m_server->close();
        m_lateTimer->start(m_settings.tcpAcceptDelayMs);
    }
}

void ImageReceiver::resetCount()
{
    m_received = 0;
    m_extra = 0;
    m_hash.reset();
}

QString ImageReceiver::peerText() const
{
    if (!m_connection)
        return QString();
    return QStringLiteral("%1:%2")
            .arg(QHostAddress(m_connection->peerAddress().toIPv4Address()).toString())
            .arg(m_connection->peerPort());
}

void ImageReceiver::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_connection) {
            // One stream at a time: a new connection replaces the old one and starts over.
            m_log->event(QStringLiteral("TCP_REPLACED"),
                         {{QStringLiteral("from"), peerText()},
                          {QStringLiteral("bytes"), QString::number(m_received)}});
            m_connection->disconnect(this);
            m_connection->abort();
            m_connection->deleteLater();
        }
        m_connection = socket;
        m_garbageWritten = 0;
        resetCount();
        connect(socket, &QTcpSocket::readyRead, this, &ImageReceiver::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &ImageReceiver::onDisconnected);
        m_log->event(QStringLiteral("TCP_ACCEPT"),
                     {{QStringLiteral("from"), peerText()},
                      {QStringLiteral("expecting"),
                       m_armed ? QString::number(m_expectedSize) : QStringLiteral("none")}});
        sendGarbage();
        if (m_settings.tcpGarbageBytes > 0 && m_settings.tcpGarbageIntervalMs > 0)
            m_garbageTimer->start();
        if (m_armed) {
            m_idleTimer->start();
            if (m_expectedSize == 0)
                verifyDigest();
        }
    }
}

void ImageReceiver::sendGarbage()
{
    if (!m_connection) {
        m_garbageTimer->stop();
        return;
    }
    if (m_settings.tcpGarbageBytes <= 0 || m_connection->bytesToWrite() > MaxPendingGarbage)
        return;
    if (m_garbage.isEmpty()) {
        m_garbage.resize(m_settings.tcpGarbageBytes);
        for (int i = 0; i < m_garbage.size(); ++i)
            m_garbage[i] = char((i * 31 + 7) & 0xFF);
    }
    m_garbageWritten += qMax<qint64>(0, m_connection->write(m_garbage));
}

void ImageReceiver::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || socket != m_connection)
        return;
    const QByteArray data = socket->readAll();
    if (data.isEmpty())
        return;
    if (m_armed) {
        m_received += data.size();
        m_hash.addData(data);
    } else {
        m_extra += data.size();
    }
    sendGarbage();

    const qint64 total = m_received + m_extra;
    if (m_settings.tcpCloseAfter >= 0 && total >= m_settings.tcpCloseAfter) {
        m_log->event(QStringLiteral("TCP_ABORT"),
                     {{QStringLiteral("from"), peerText()},
                      {QStringLiteral("bytes"), QString::number(total)}});
        m_connection->disconnect(this);
        m_connection->close();
        m_connection->deleteLater();
        m_connection.clear();
        if (m_armed)
            finish(Aborted, QStringLiteral("closed by the box after %1 bytes").arg(total));
        return;
    }
    if (!m_armed)
        return;
    emit bytesReceived(m_received);
    if (!m_armed || !m_connection)
        return; // the signal's receiver may have re-armed or dropped us
    m_idleTimer->start();
    if (m_received > m_expectedSize) {
        finish(SizeMismatch,
               QStringLiteral("received more than the announced %1 bytes").arg(m_expectedSize));
    } else if (m_received == m_expectedSize) {
        verifyDigest();
    }
}

void ImageReceiver::verifyDigest()
{
    const QByteArray md5 = m_hash.result().toHex();
    if (md5 == m_expectedMd5)
        finish(Verified, QString());
    else
        finish(Md5Mismatch, QStringLiteral("received md5 %1").arg(QString::fromLatin1(md5)));
}

void ImageReceiver::onDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || socket != m_connection)
        return;
    m_log->event(QStringLiteral("TCP_CLOSED"),
                 {{QStringLiteral("from"), peerText()},
                  {QStringLiteral("bytes"), QString::number(m_received)},
                  {QStringLiteral("extra"), QString::number(m_extra)},
                  {QStringLiteral("garbage"), QString::number(m_garbageWritten)}});
    m_connection->deleteLater();
    m_connection.clear();
    if (m_armed)
        finish(SizeMismatch, QStringLiteral("connection closed after %1 of %2 bytes")
                                     .arg(m_received)
                                     .arg(m_expectedSize));
}

void ImageReceiver::onIdle()
{
    if (m_armed)
        finish(SizeMismatch, QStringLiteral("no data for %1 ms after %2 of %3 bytes")
                                     .arg(m_settings.transferIdleMs)
                                     .arg(m_received)
                                     .arg(m_expectedSize));
}

void ImageReceiver::finish(Outcome outcome, const QString &detail)
{
    static const char *const names[] = {"ok", "size_mismatch", "md5_mismatch", "aborted"};
    m_armed = false;
    m_idleTimer->stop();
    EventLog::Fields fields{{QStringLiteral("bytes"), QString::number(m_received)},
                            {QStringLiteral("md5"), QString::fromLatin1(m_hash.result().toHex())},
                            {QStringLiteral("expected_bytes"), QString::number(m_expectedSize)},
                            {QStringLiteral("expected_md5"), QString::fromLatin1(m_expectedMd5)},
                            {QStringLiteral("result"), QString::fromLatin1(names[outcome])}};
    if (!detail.isEmpty())
        fields.append({QStringLiteral("detail"), detail});
    m_log->event(QStringLiteral("TCP"), fields);
    if (m_settings.tcpAccept == QLatin1String("late")) {
        m_lateTimer->stop();
        m_server->close();
    }
    emit finished(outcome, detail);
}
