#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real mosquitto broker for one test, listening on a free port of a loopback address.
class MosquittoBroker
{
public:
    explicit MosquittoBroker(const QString &address = QStringLiteral("127.0.0.1"));
    ~MosquittoBroker() { kill(); }

    // Starts on a free port (or the port of an earlier start) and waits until it accepts.
    bool start();
    // Listen on this port from the next start on, e.g. the port of a broker on another
    // loopback address, so that two "boxes" share one broker port as real ones do.
    void setPort(quint16 port) { m_port = port; }
    // Ends the broker at once, as a crash or power loss would.
    void kill();
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    QString address() const { return m_address; }
    quint16 port() const { return m_port; }
    QByteArray output() { return m_process.readAll(); }

    static QString executable();

private:
    QString m_address;
    quint16 m_port = 0;
    QTemporaryDir m_dir;
    QProcess m_process;
};

// A free TCP port on `address`, found by binding port 0.
quint16 freeTcpPort(const QString &address = QStringLiteral("127.0.0.1"));
