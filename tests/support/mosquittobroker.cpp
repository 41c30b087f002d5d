#include "mosquittobroker.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

quint16 freeTcpPort(const QString &address)
{
    QTcpServer server;
    return server.listen(QHostAddress(address), 0) ? server.serverPort() : 0;
}

MosquittoBroker::MosquittoBroker(const QString &address)
    : m_address(address)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

QString MosquittoBroker::executable()
{
    // Debian installs the broker in /usr/sbin, which not every PATH holds.
    const QString name = QStringLiteral("mosquitto");
    const QString onPath = QStandardPaths::findExecutable(name);
    return onPath.isEmpty() ? QStandardPaths::findExecutable(name, {"/usr/sbin"}) : onPath;
}

bool MosquittoBroker::start()
{
    if (isRunning())
        return true;
    if (m_port == 0)
        m_port = freeTcpPort(m_address);
    QFile conf(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (m_port == 0 || !m_dir.isValid() || !conf.open(QIODevice::WriteOnly))
        return false;
    conf.write(QStringLiteral("listener %1 %2\nallow_anonymous true\npersistence false\n"
                              "log_dest stdout\nlog_type error\nlog_type warning\n")
                       .arg(m_port)
                       .arg(m_address)
                       .toUtf8());
    conf.close();
    m_process.start(executable(), {QStringLiteral("-c"), conf.fileName()});
    if (!m_process.waitForStarted(5000))
        return false;
    // Bounded wait until the listener accepts connections.
    return QTest::qWaitFor(
            [this] {
                QTcpSocket probe;
                probe.connectToHost(m_address, m_port);
                return isRunning() && probe.waitForConnected(200);
            },
            5000);
}

void MosquittoBroker::kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}
