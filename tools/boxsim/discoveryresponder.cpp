#include "discoveryresponder.h"

#include "discovery.h"
#include "discoveryreply.h"
#include "eventlog.h"

#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

DiscoveryResponder::DiscoveryResponder(const BoxSettings &settings, EventLog *log, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_log(log)
    , m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &DiscoveryResponder::readPending);
}

bool DiscoveryResponder::start()
{
    const bool bound = m_socket->bind(m_settings.discoveryBind, m_settings.discoveryPort,
                                      QAbstractSocket::ReuseAddressHint);
    if (!bound) {
        m_log->event(QStringLiteral("DISCOVERY_BIND_FAILED"),
                     {{QStringLiteral("address"), m_settings.discoveryBind.toString()},
                      {QStringLiteral("port"), QString::number(m_settings.discoveryPort)},
                      {QStringLiteral("error"), m_socket->errorString()}});
        return false;
    }
    // A burst of thousands of replies leaves in one go; give the kernel room to queue them.
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4 * 1024 * 1024);
    m_frames.clear();
    for (const QString &mode : m_settings.discoveryModes)
        m_frames.append(DiscoveryReply::forMode(mode, m_settings));
    m_log->event(QStringLiteral("DISCOVERY_LISTEN"),
                 {{QStringLiteral("address"), m_settings.discoveryBind.toString()},
                  {QStringLiteral("port"), QString::number(port())},
                  {QStringLiteral("modes"), m_settings.discoveryModes.join(QLatin1Char(','))}});
    return true;
}

quint16 DiscoveryResponder::port() const
{
    return m_socket->localPort();
}

void DiscoveryResponder::readPending()
{
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        const QByteArray data = datagram.data();
        const QHostAddress from(datagram.senderAddress().toIPv4Address());
        const quint16 fromPort = quint16(datagram.senderPort());
        const bool request = data == Discovery::request();
        EventLog::Fields fields{{QStringLiteral("from"),
                                 QStringLiteral("%1:%2").arg(from.toString()).arg(fromPort)},
                                {QStringLiteral("request"),
                                 request ? QStringLiteral("valid") : QStringLiteral("other")}};
        EventLog::addPayload(&fields, data);
        m_log->event(QStringLiteral("DISCOVERY"), fields);
        if (!request || fromPort == 0)
            continue;
        if (m_settings.discoveryDelayMs > 0) {
            QTimer::singleShot(m_settings.discoveryDelayMs, Qt::PreciseTimer, this,
                               [this, from, fromPort] { answer(from, fromPort); });
        } else {
            answer(from, fromPort);
        }
    }
}

void DiscoveryResponder::answer(const QHostAddress &to, quint16 port)
{
    for (int m = 0; m < m_settings.discoveryModes.size(); ++m) {
        const QString &mode = m_settings.discoveryModes.at(m);
        const QList<QByteArray> &frames = m_frames.at(m);
        int sent = 0;
        for (const QByteArray &frame : frames) {
            if (m_socket->writeDatagram(frame, to, port) == frame.size())
                ++sent;
        }
        EventLog::Fields fields{
                {QStringLiteral("to"), QStringLiteral("%1:%2").arg(to.toString()).arg(port)},
                {QStringLiteral("mode"), mode},
                {QStringLiteral("datagrams"), QString::number(frames.size())},
                {QStringLiteral("sent"), QString::number(sent)}};
        if (frames.size() == 1)
            EventLog::addPayload(&fields, frames.first());
        m_log->event(QStringLiteral("DISCOVERY_REPLY"), fields);
    }
}
