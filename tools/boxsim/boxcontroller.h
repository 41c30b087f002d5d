#pragma once

#include "boxsettings.h"
#include "imagereceiver.h"
#include "mqttclient.h"
#include "reportplan.h"

#include <QObject>

class EventLog;
class QTimer;
class ReportPlayer;

// The box's own logic behind its broker: reads the commands and requests on
// "TalixTools_in/...", arms the image receiver for updates and plays the scripted reports.
class BoxController : public QObject
{
    Q_OBJECT
public:
    explicit BoxController(const BoxSettings &settings, EventLog *log, ImageReceiver *receiver,
                           QObject *parent = nullptr);

    void start();

private:
    void onStateChanged(MqttClient::ClientState state);
    void onMessage(const QByteArray &payload, const MqttTopicName &topic);
    void handlePower(const QString &command, const QByteArray &payload, const QByteArray &expected);
    void handleUpdateRequest(ReportPlan::Flow flow, const QByteArray &payload);
    void handleRecovery(const QByteArray &payload);
    void startExtras(ReportPlan::Flow flow);
    void onImageBytes(qint64 total);
    void onImageFinished(ImageReceiver::Outcome outcome, const QString &detail);

    BoxSettings m_settings;
    EventLog *m_log;
    ImageReceiver *m_receiver;
    MqttClient *m_client;
    QTimer *m_reconnectTimer;
    ReportPlayer *m_player;
    bool m_wasConnected = false;
    bool m_unreachableLogged = false;

    // The update in progress: reports follow once its image is in, unless it failed early.
    bool m_updateActive = false;
    ReportPlan::Flow m_updateFlow = ReportPlan::Camera;
    qint64 m_updateSize = 0;
};
