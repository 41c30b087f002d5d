#pragma once

#include "busyanimation.h"
#include "endpoints.h"
#include "mqttclient.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class ProgressBar_WorkThread;
class QCloseEvent;
class QTimer;
class RecoveryForm_WorkThread;

namespace Ui {
class RecoveryForm;
}

// The window that asks one box to restore its default system and follows the box's reports
// through to its restart.
class RecoveryForm : public QWidget
{
    Q_OBJECT
public:
    explicit RecoveryForm(const QString &ip, const QString &mac, const QString &sn,
                          QWidget *parent = nullptr);
    ~RecoveryForm() override;

    // Test-only: reach a broker on another port than the boxes' fixed one.
    void setEndpoints(const Endpoints &endpoints) { m_endpoints = endpoints; }

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_Recovery_clicked();
    void topicMessageReceived(const QByteArray &message, const MqttTopicName &topic);
    void RecoveryDefaultSystem();
    void CycleProgressBar();

private:
    // The request could not be made: the run ends before any report.
    void endRequest(const QString &text);
    // A run that the box's reports drove ends as failed; the animation stops at 60.
    void endRunAsFailure();
    void showState(const QString &text);
    void reportTimeLimitExpired();
    // The run `run` has neither ended nor been followed by another.
    bool runStillActive(quint64 run) const { return run == m_run && recovering; }

    Ui::RecoveryForm *ui;
    QString deviceIp;
    RecoveryForm_WorkThread *recoveryWorker = nullptr;
    MqttClient *mqttClient = nullptr;
    ProgressBar_WorkThread *progressWorker = nullptr;
    bool restarting = false;
    bool recovering = false;

    // Runs from a successful request until the run ends; restarted by every report. A lost
    // request or a box that falls silent would otherwise keep this modal window open for good.
    QTimer *m_reportTimer = nullptr;
    Endpoints m_endpoints;
    // The busy animation's position and flags (cycleValue, cycleStop, cycleStarted) and
    // whether the recovery succeeded.
    BusyAnimation::State m_busy;
    // Each confirmed Recovery begins a new run; a step of a run that has ended, or been
    // followed by another, sends nothing more to the box.
    quint64 m_run = 0;
};
