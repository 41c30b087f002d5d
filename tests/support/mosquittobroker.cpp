#include "mosquittobroker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

quint16 freeTcpPort(const QString &address)
{
    QTcpServer server;
    if (!server.listen(QHostAddress(address), 0))
        return 0;
    return server.serverPort();
}

MosquittoBroker::MosquittoBroker(const QString &address) : m_address(address)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

MosquittoBroker::~MosquittoBroker()
{
    kill();
}

QString MosquittoBroker::executable()
{
    for (const QString &path : {QStringLiteral("/usr/sbin/mosquitto"),
                                QStringLiteral("/usr/bin/mosquitto")}) {
        if (QFile::exists(path))
            return path;
    }
    return QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
}

bool MosquittoBroker::start()
{
    if (isRunning())
        return true;
    if (m_port == 0)
        m_port = freeTcpPort(m_address);
    if (m_port == 0 || !m_dir.isValid())
        return false;
    const QString conf = m_dir.filePath(QStringLiteral("mosquitto.conf"));
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QStringLiteral("listener %1 %2\nallow_anonymous true\npersistence false\n"
                           "log_dest stdout\nlog_type error\nlog_type warning\n")
                    .arg(m_port)
                    .arg(m_address)
                    .toUtf8());
    f.close();
    m_process.start(executable(), {QStringLiteral("-c"), conf});
    if (!m_process.waitForStarted(5000))
        return false;
    // Bounded wait until the listener accepts connections.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000 && m_process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(m_address, m_port);
        if (probe.waitForConnected(200)) {
            probe.abort();
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

void MosquittoBroker::kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool MosquittoBroker::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QByteArray MosquittoBroker::output() const
{
    return const_cast<QProcess &>(m_process).readAll();
}
