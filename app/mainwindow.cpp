#include "mainwindow.h"

#include "deviceinfoparse.h"
#include "framecheck.h"
#include "mqttclient.h"
#include "operatordialogs.h"
#include "ui_mainwindow.h"
#include "workthread.h"

#include <QCloseEvent>
#include <QDesktopWidget>
#include <QStandardItemModel>
#include <QUdpSocket>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);

    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    const QRect desktop = QApplication::desktop()->rect();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);

    ui->tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    model = new QStandardItemModel(ui->tableView);
    model->setHorizontalHeaderLabels({tr("IP Address"), tr("MAC Address"), tr("SN"),
                                      tr("Device Name"), tr("Camera Type"), tr("OS Version"),
                                      tr("Camera FW Version")});
    ui->tableView->setModel(model);

    ui->label_Search_State->clear();
    ui->statusbar->addWidget(ui->label_Search_State);

    frameCheck = new FrameCheck;
    deviceInfoParse = new DeviceInfoParse;
    workThread = new WorkThread;
    mqttClient = new MqttClient(this);

    socketOpen = false;
    searchBusy = false;
}

MainWindow::~MainWindow()
{
    delete ui;
    if (socketOpen) {
        udpSocket->disconnect(this);
        delete udpSocket;
        udpSocket = nullptr;
    }
    delete frameCheck;
    delete deviceInfoParse;
    delete workThread;
    delete model;
    delete mqttClient;
    ipList.clear();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    const auto answer = OperatorDialogs::instance()->question(this, tr("Tip"),
                                                              tr("Do you want to quit?"));
    if (answer == QMessageBox::Yes)
        event->accept();
    else
        event->ignore();
}
