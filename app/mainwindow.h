#pragma once

#include "endpoints.h"

#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QScopedPointer>
#include <QString>

class DeviceCollector;
class DeviceInfoParse;
class FrameCheck;
class MqttClient;
class QStandardItemModel;
class QUdpSocket;
class WorkThread;

namespace Ui {
class MainWindow;
}

// The tool's main window: the device table, the device search and the device menu.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Test-only: talk to loopback servers on other ports instead of the boxes' fixed ones.
    void setEndpoints(const Endpoints &endpoints) { m_endpoints = endpoints; }

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void readPendingDatagrams();
    bool SendData();
    bool ReceiveData();
    void DelayDisconnect();
    void on_pushButton_Search_Device_clicked();
    void on_tableView_customContextMenuRequested(const QPoint &pos);
    void LoginPage();
    void ShutDown();
    void Restart();
    void CameraFWAction();
    void BoardFWAction();
    void RecoveryDefSystemAction();

private:
    enum class PowerCommand { ShutDown, Restart };

    void endSearch();
    int actionRow();
    void sendPowerCommand(PowerCommand command);
    void showDeviceWindow(QWidget *window);
    void openUpdateWindow(bool systemMode);

    Ui::MainWindow *ui;
    QUdpSocket *udpSocket = nullptr;
    FrameCheck *frameCheck = nullptr;
    DeviceInfoParse *deviceInfoParse = nullptr;
    WorkThread *workThread = nullptr;
    QStandardItemModel *model = nullptr;
    MqttClient *mqttClient = nullptr;
    bool socketOpen = false;
    bool searchBusy = false;
    QList<QString> ipList;
    // Decodes replies and drops repeated addresses; keeps the test cheap for hundreds of boxes.
    QScopedPointer<DeviceCollector> m_collector;
    Endpoints m_endpoints;
};
