#pragma once

#include "endpoints.h"

#include <QList>
#include <QMainWindow>
#include <QString>

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
    const Endpoints &endpoints() const { return m_endpoints; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
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
    Endpoints m_endpoints;

    friend class MainWindowTest;
};
