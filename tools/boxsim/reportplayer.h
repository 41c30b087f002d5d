#pragma once

#include "plannedreport.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QQueue>

#include <functional>

class EventLog;
class MqttClient;
class QTimer;

// Publishes planned reports through the box's MQTT client: a paced queue for the scripted
// stages, and a flood of reports at a fixed rate alongside it.
class ReportPlayer : public QObject
{
    Q_OBJECT
public:
    explicit ReportPlayer(MqttClient *client, EventLog *log, int intervalMs,
                          QObject *parent = nullptr);

    // Replaces what is queued; the first report leaves one interval from now.
    void play(const QList<PlannedReport> &reports);
    void stop();
    // Publishes at once, logged like a queued report.
    void publishNow(const PlannedReport &report);
    // `count` reports made by `make(k)`, at `perSecond`, logged as one summary line; a running
    // flood is replaced.
    void flood(const std::function<PlannedReport(int)> &make, int count, int perSecond);

private:
    void playNext();
    void floodTick();
    bool publish(const PlannedReport &report, bool logIt);

    MqttClient *m_client;
    EventLog *m_log;
    QTimer *m_timer;
    QQueue<PlannedReport> m_queue;

    QTimer *m_floodTimer;
    QElapsedTimer m_floodClock;
    std::function<PlannedReport(int)> m_floodMake;
    int m_floodCount = 0;
    int m_floodRate = 0;
    int m_floodSent = 0;
    int m_floodFailed = 0;
};
