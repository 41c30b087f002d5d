#include "mainwindow.h"

#include "devicecollector.h"
#include "deviceinfoparse.h"
#include "devicelist.h"
#include "devicetablecopy.h"
#include "discovery.h"
#include "form.h"
#include "framecheck.h"
#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "operatordialogs.h"
#include "recoveryform.h"
#include "ui_mainwindow.h"
#include "workthread.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QDesktopWidget>
#include <QHostAddress>
#include <QMenu>
#include <QPointer>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QUdpSocket>
#include <QUrl>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , m_collector(new DeviceCollector)
{
    ui->setupUi(this);

    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    const QRect desktop = QApplication::desktop()->rect();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);

    ui->tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    model = new QStandardItemModel(ui->tableView);
    model->setHorizontalHeaderLabels(DeviceList::columnTitles());
    ui->tableView->setModel(model);

    new DeviceTableCopy(ui->tableView);

    ui->label_Search_State->clear();
    ui->statusbar->addWidget(ui->label_Search_State);

    frameCheck = new FrameCheck;
    deviceInfoParse = new DeviceInfoParse;
    workThread = new WorkThread;
    mqttClient = new MqttClient(this);

    socketOpen = false;
    searchBusy = false;

    // Queued, so that the search handler returns before the collection wait begins.
    connect(workThread, &WorkThread::DelaySignal, this, &MainWindow::DelayDisconnect,
            Qt::QueuedConnection);
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
    const auto answer =
            OperatorDialogs::instance()->question(this, tr("Tip"), tr("Do you want to quit?"));
    if (answer == QMessageBox::Yes)
        event->accept();
    else
        event->ignore();
}

void MainWindow::on_pushButton_Search_Device_clicked()
{
    if (searchBusy)
        return;
    searchBusy = true;
    ipList.clear();
    m_collector->clear();

    udpSocket = new QUdpSocket;
    connect(udpSocket, SIGNAL(readyRead()), this, SLOT(readPendingDatagrams()));
    socketOpen = true;

    ui->label_Search_State->setText(tr("Searching Device..."));
    ui->label_Search_State->update();
    model->removeRows(0, model->rowCount());

    if (!ReceiveData()) {
        QPointer<MainWindow> self(this);
        OperatorDialogs::instance()->information(this, tr("Tip"),
                                                 tr("Received data socket status is abnormal"));
        if (!self)
            return; // closed while the box was open; the destructor took the socket
        // Nothing more can come of this search: end it so that the next press works and
        // the device actions do not refuse for the rest of the run.
        endSearch();
        ui->label_Search_State->clear();
        return;
    }

    LocalWait::sleep(500);

    if (SendData())
        emit workThread->DelaySignal();
}

bool MainWindow::ReceiveData()
{
    if (udpSocket->state() == QAbstractSocket::BoundState)
        return true;
    return Discovery::bind(udpSocket, m_endpoints.discoveryBindPort);
}

bool MainWindow::SendData()
{
    Discovery::sendRequest(udpSocket, QHostAddress(m_endpoints.discoveryAddress),
                           m_endpoints.discoveryTargetPort);
    return true;
}

void MainWindow::readPendingDatagrams()
{
    const QList<QStringList> rows = m_collector->readFrom(udpSocket, *frameCheck, *deviceInfoParse);
    for (const QStringList &fields : rows) {
        QList<QStandardItem *> row;
        row.reserve(DeviceInfoParse::FieldCount);
        for (const QString &text : fields) {
            auto *item = new QStandardItem(text);
            item->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
            row.append(item);
        }
        ipList.append(fields.first());
        model->appendRow(row);
    }
}

void MainWindow::DelayDisconnect()
{
    QPointer<MainWindow> self(this);
    LocalWait::wait(2000);
    if (!self)
        return; // the window was destroyed during the wait; its destructor took the socket
    endSearch();
    ui->label_Search_State->setText(tr("Search Completed"));
}

// Deletes the discovery socket and clears the search state, leaving the rows found.
void MainWindow::endSearch()
{
    if (socketOpen) {
        udpSocket->disconnect(this);
        delete udpSocket;
        udpSocket = nullptr;
        socketOpen = false;
    }
    searchBusy = false;
    ipList.clear();
    m_collector->clear();
}

void MainWindow::on_tableView_customContextMenuRequested(const QPoint &pos)
{
    Q_UNUSED(pos) // the menu opens where the mouse is
    if (ui->tableView->selectionModel()->selectedRows(0).count() != 1) {
        OperatorDialogs::instance()->about(this, tr("Tip"), tr("Please select a row"));
        return;
    }

    QPointer<MainWindow> self(this);
    QMenu *menu = new QMenu(this);
    const struct
    {
        QString text;
        const char *slot;
    } entries[] = {
            {tr("Login Page"), SLOT(LoginPage())},
            {tr("Shut Down"), SLOT(ShutDown())},
            {tr("Restart"), SLOT(Restart())},
            {tr("System FW Update"), SLOT(BoardFWAction())},
            {tr("Camera FW Update"), SLOT(CameraFWAction())},
            {tr("System FW Recovery"), SLOT(RecoveryDefSystemAction())},
    };
    for (const auto &entry : entries) {
        auto *action = new QAction(entry.text, this);
        menu->addAction(action);
        connect(action, SIGNAL(triggered()), this, entry.slot);
    }

    // The chosen entry runs inside exec(); the window may be gone when it returns.
    menu->exec(QCursor::pos());
    if (!self)
        return; // the menu and its actions went with the window

    const QList<QAction *> actions = menu->actions();
    for (QAction *action : actions)
        delete action;
    delete menu;
}

// The row the device actions work on, or -1 after telling the operator why there is none:
// no action while a search runs, and none without a current row (the table may have been
// emptied by a new search since the row was chosen).
int MainWindow::actionRow()
{
    if (searchBusy) {
        OperatorDialogs::instance()->information(
                this, tr("Tip"), tr("Please wait for the device search to complete"));
        return -1;
    }
    const QModelIndex index = ui->tableView->currentIndex();
    if (!index.isValid() || index.model() != model || index.row() >= model->rowCount()) {
        OperatorDialogs::instance()->information(this, tr("Tip"), tr("Please select a row"));
        return -1;
    }
    return index.row();
}

void MainWindow::LoginPage()
{
    const int row = actionRow();
    if (row < 0)
        return;
    const QString ip = model->index(row, 0).data(Qt::DisplayRole).toString();
    const QString address = QStringLiteral("http://") + ip + QLatin1Char(':') +
                            QString::number(m_endpoints.loginPort);
    QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}

void MainWindow::ShutDown()
{
    sendPowerCommand(PowerCommand::ShutDown);
}

void MainWindow::Restart()
{
    sendPowerCommand(PowerCommand::Restart);
}

void MainWindow::sendPowerCommand(PowerCommand command)
{
    const bool shutDown = command == PowerCommand::ShutDown;
    const int row = actionRow();
    if (row < 0)
        return;
    ui->label_Search_State->clear();
    const QString ip = model->index(row, 0).data(Qt::DisplayRole).toString();
    const quint16 port = m_endpoints.brokerPort;

    // The one client serves every box: a connection (or attempt) to another box is ended
    // first, so that the command can never be published to a box the operator did not choose.
    if (mqttClient->state() != MqttClient::Disconnected &&
        (mqttClient->hostname() != ip || mqttClient->port() != port)) {
        mqttClient->disconnectFromHost();
    }
    mqttClient->setHostname(ip);
    mqttClient->setPort(port);
    if (mqttClient->state() == MqttClient::Disconnected)
        mqttClient->connectToHost();

    // The time the question stays open is the time the connection gets.
    QPointer<MainWindow> self(this);
    const auto answer = OperatorDialogs::instance()->question(
            this, tr("Tip"),
            shutDown ? tr("Do you want to shut down?") : tr("Do you want to restart?"));
    if (!self)
        return;
    if (answer != QMessageBox::Yes) {
        ui->label_Search_State->setText(shutDown ? tr("Shut Down Cancel") : tr("Restart Cancel"));
        return;
    }

    ui->label_Search_State->setText(shutDown ? tr("Shut Down...") : tr("Restarting..."));
    ui->label_Search_State->update();

    // Another command given while the question was open may have moved the client elsewhere.
    if (mqttClient->state() != MqttClient::Connected || mqttClient->hostname() != ip ||
        mqttClient->port() != port) {
        ui->label_Search_State->setText(
                shutDown ? tr("System Shut Down Failed: Connect Server Failed")
                         : tr("System Restart Failed: Connect Server Failed"));
        return;
    }

    const int result = shutDown
                               ? mqttClient->publish(Topics::PowerOff, Payloads::ShutDown, 0, false)
                               : mqttClient->publish(Topics::Restart, Payloads::Restart, 0, false);
    if (result == 0)
        ui->label_Search_State->setText(shutDown ? tr("System Shut Down") : tr("System Restart"));
    else
        ui->label_Search_State->setText(shutDown ? tr("Shut Down Failed") : tr("Restart Failed"));
}

void MainWindow::CameraFWAction()
{
    openUpdateWindow(false);
}

void MainWindow::BoardFWAction()
{
    openUpdateWindow(true);
}

void MainWindow::openUpdateWindow(bool systemMode)
{
    const int row = actionRow();
    if (row < 0)
        return;
    auto *form = new Form(model->index(row, 0).data(Qt::DisplayRole).toString(),
                          model->index(row, 1).data(Qt::DisplayRole).toString(),
                          model->index(row, 2).data(Qt::DisplayRole).toString(), systemMode);
    form->setEndpoints(m_endpoints);
    showDeviceWindow(form);
}

void MainWindow::RecoveryDefSystemAction()
{
    const int row = actionRow();
    if (row < 0)
        return;
    auto *form = new RecoveryForm(model->index(row, 0).data(Qt::DisplayRole).toString(),
                                  model->index(row, 1).data(Qt::DisplayRole).toString(),
                                  model->index(row, 2).data(Qt::DisplayRole).toString());
    form->setEndpoints(m_endpoints);
    showDeviceWindow(form);
}

// The update and recovery windows have no parent and delete themselves when closed; modal for
// the whole application, so the main window takes no input while one is open.
void MainWindow::showDeviceWindow(QWidget *window)
{
    window->setAttribute(Qt::WA_ShowModal, true);
    window->show();
}
