#pragma once

#include "busyanimation.h"
#include "endpoints.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class Form_WorkThread;
class FormTcpTransfer;
class MqttClient;
class MqttTopicName;
class ProgressBar_WorkThread;
class QCloseEvent;
class QTcpSocket;
class QTimer;
struct DeviceReport;

namespace Ui {
class Form;
}

// The firmware update window of one box: camera or system image, request over MQTT, image
// stream over TCP, progress reports, restart prompt and countdown.
class Form : public QWidget
{
    Q_OBJECT
public:
    explicit Form(const QString &ip, const QString &mac, const QString &sn, bool systemMode,
                  QWidget *parent = nullptr);
    ~Form() override;

    // Test-only: reach loopback servers on other ports than the box's fixed ones.
    void setEndpoints(const Endpoints &endpoints);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_Browser_clicked();
    void on_pushButton_Start_clicked();
    void CameraOrBoard_FW_Update();
    void Tcp_Transfer_File();
    void topicMessageReceived(const QByteArray &message, const MqttTopicName &topic);
    void CycleProgressBar();

private:
    QByteArray Create_Json_Object();

    void returnToIdle();
    void setState(const QString &text);
    bool runActive() const;
    // The run `run` has neither ended nor been followed by another.
    bool runStillActive(quint64 run) const;
    void handleCameraReport(const QString &topic, const DeviceReport &report);
    void handleSystemReport(const QString &topic, const DeviceReport &report);
    void endRunAsFailed(const QString &text);
    void endRunWithoutReport();
    void closeStream();
    bool streamWait(int ms, quint64 serial, quint64 run);
    bool streamConnected() const;
    void connectStream();
    void failStream(const QString &text);
    QString requestClientIp() const;

    Ui::Form *ui;
    QString filePath;
    QString fileName;
    qint64 fileSize = 0;
    QString deviceIp;
    Form_WorkThread *updateWorker = nullptr;
    FormTcpTransfer *transferWorker = nullptr;
    MqttClient *mqttClient = nullptr;
    quint16 tcpPort = 8000;
    qint64 cameraBufferSize = Transfer::CameraBufferSize;
    qint64 systemBufferSize = Transfer::SystemBufferSize;
    bool systemMode = false;
    QString localIp;
    ProgressBar_WorkThread *progressWorker = nullptr;
    QTcpSocket *tcpSocket = nullptr;
    bool cameraUpdating = false;
    bool systemUpdating = false;
    bool restarting = false;

    Endpoints m_endpoints;
    // Each confirmed Start begins a new run; a step of a run that has ended, or been followed
    // by another, sends nothing more to the box.
    quint64 m_run = 0;
    // The run whose stream the transfer worker was last fired for.
    quint64 m_streamRun = 0;
    // The busy animation's position and flags (cycleValue, cycleStop, cycleStarted) and
    // whether the update succeeded.
    BusyAnimation::State m_busy;
    // The file_size of the last request built; the stream never sends more than that.
    qint64 m_announcedSize = 0;
    // Each stream and each stop takes a new number; a stream that finds another number after
    // a wait has been stopped or replaced and leaves the socket alone.
    quint64 m_streamSerial = 0;
    bool m_streamRunning = false;
    // Ends a run whose box has gone silent, so the window can be closed again.
    QTimer *m_noReportTimer = nullptr;
};
