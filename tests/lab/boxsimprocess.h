#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

// A talix-boxsim child process for a test: started with given options, its event lines
// ("EVENT key=value ...") collected so that the test can wait for and read them.
class BoxSimProcess
{
public:
    explicit BoxSimProcess(const QString &executable = defaultExecutable());
    ~BoxSimProcess();

    BoxSimProcess(const BoxSimProcess &) = delete;
    BoxSimProcess &operator=(const BoxSimProcess &) = delete;

    // Starts the box and waits for its READY line; with `waitForBroker` also until it has
    // subscribed to its broker.
    bool start(const QStringList &arguments, bool waitForBroker, int timeoutMs = 10000);
    // Ends the box through SIGTERM (bounded), then by kill if it does not go.
    void stop();
    bool isRunning() const;

    // Waits, with the event loop running, until a line satisfies `match`; returns it.
    QString waitForLine(const std::function<bool(const QString &)> &match, int timeoutMs = 10000);
    // The first line of event `event` whose fields include every `key=value` of `fields`.
    QString waitForEvent(const QString &event, const QStringList &fields = {},
                         int timeoutMs = 10000);

    QStringList lines();
    QStringList events(const QString &event);
    QString errorOutput();

    quint16 discoveryPort();
    quint16 tcpPort();

    // The value of `key` in an event line, unquoted; null when absent.
    static QString field(const QString &line, const QString &key);
    static QString eventName(const QString &line);
    // TALIX_BOXSIM from the environment, else the simulator built with the tests.
    static QString defaultExecutable();

private:
    void collect();

    QString m_executable;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
};
