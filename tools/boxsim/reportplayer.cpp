#include "reportplayer.h"

#include "eventlog.h"
#include "mqttclient.h"

#include <QTimer>

namespace {
constexpr int FloodTickMs = 5;
}

ReportPlayer::ReportPlayer(MqttClient *client, EventLog *log, int intervalMs, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_log(log)
    , m_timer(new QTimer(this))
    , m_floodTimer(new QTimer(this))
{
    m_timer->setInterval(intervalMs);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &ReportPlayer::playNext);
    m_floodTimer->setInterval(FloodTickMs);
    m_floodTimer->setTimerType(Qt::PreciseTimer);
    connect(m_floodTimer, &QTimer::timeout, this, &ReportPlayer::floodTick);
}

void ReportPlayer::play(const QList<PlannedReport> &reports)
{
    m_queue.clear();
    for (const PlannedReport &r : reports)
        m_queue.enqueue(r);
    if (m_queue.isEmpty())
        m_timer->stop();
    else
        m_timer->start();
}

void ReportPlayer::stop()
{
    if (!m_queue.isEmpty())
        m_log->event(QStringLiteral("REPORTS_DROPPED"),
                     {{QStringLiteral("count"), QString::number(m_queue.size())}});
    m_queue.clear();
    m_timer->stop();
}

void ReportPlayer::publishNow(const PlannedReport &report)
{
    publish(report, true);
}

void ReportPlayer::playNext()
{
    if (m_queue.isEmpty()) {
        m_timer->stop();
        return;
    }
    publish(m_queue.dequeue(), true);
    if (m_queue.isEmpty())
        m_timer->stop();
}

bool ReportPlayer::publish(const PlannedReport &report, bool logIt)
{
    const bool ok = m_client->publish(report.topic, report.payload, 0, false) == 0;
    if (logIt) {
        EventLog::Fields fields{{QStringLiteral("topic"), report.topic}};
        EventLog::addPayload(&fields, report.payload);
        m_log->event(ok ? QStringLiteral("SEND") : QStringLiteral("SEND_FAILED"), fields);
    }
    return ok;
}

void ReportPlayer::flood(const std::function<PlannedReport(int)> &make, int count, int perSecond)
{
    m_floodMake = make;
    m_floodCount = count;
    m_floodRate = qMax(1, perSecond);
    m_floodSent = 0;
    m_floodFailed = 0;
    m_floodClock.start();
    m_log->event(QStringLiteral("FLOOD_START"),
                 {{QStringLiteral("count"), QString::number(m_floodCount)},
                  {QStringLiteral("rate"), QString::number(m_floodRate)}});
    m_floodTimer->start();
    floodTick();
}

void ReportPlayer::floodTick()
{
    // Catch up with the schedule: as many reports as are due by now, so the rate holds even
    // when a tick comes late.
    const qint64 due = qMin<qint64>(m_floodCount, m_floodClock.elapsed() * m_floodRate / 1000 + 1);
    while (m_floodSent + m_floodFailed < due) {
        if (publish(m_floodMake(m_floodSent + m_floodFailed), false))
            ++m_floodSent;
        else
            ++m_floodFailed;
    }
    if (m_floodSent + m_floodFailed >= m_floodCount) {
        m_floodTimer->stop();
        m_log->event(QStringLiteral("FLOOD_DONE"),
                     {{QStringLiteral("sent"), QString::number(m_floodSent)},
                      {QStringLiteral("failed"), QString::number(m_floodFailed)},
                      {QStringLiteral("ms"), QString::number(m_floodClock.elapsed())}});
        m_floodMake = nullptr;
    }
}
