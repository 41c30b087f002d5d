#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal (through a self-pipe), so the box shuts down
// through the event loop: last log lines written, broker told goodbye.
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool install();

signals:
    void terminationRequested(int signalNumber);

private:
    static void handler(int signalNumber);
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};
