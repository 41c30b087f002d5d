#include "mainwindow.h"

#include "deviceinfoparse.h"
#include "framecheck.h"
#include "localwait.h"
#include "mqttclient.h"
#include "operatordialogs.h"
#include "ui_mainwindow.h"
#include "workthread.h"

#include <QCloseEvent>
#include <QDesktopWidget>
#include <QHostAddress>
#include <QPointer>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QUdpSocket>
#include <QVector>

namespace {

constexpr int ReplySize = 105;
constexpr uchar ReplyHead0 = 0xFA;
constexpr uchar ReplyHead1 = 0x01;

// All boxes of a site answer the one request within milliseconds; the socket has to hold
// that burst until the event loop gets to read it. Linux grants at most net.core.rmem_max.
constexpr int DiscoveryReceiveBufferSize = 8 * 1024 * 1024;

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
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
    ipSeen.clear();

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
    udpSocket->bind(m_endpoints.discoveryBindPort,
                    QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    if (udpSocket->state() != QAbstractSocket::BoundState)
        return false;
    udpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                               DiscoveryReceiveBufferSize);
    return true;
}

bool MainWindow::SendData()
{
    static const char request[] = {'\xFA', '\x01', '\x00', '\x00', '\x3C', '\x61'};
    const QByteArray datagram(request, int(sizeof(request)));
    udpSocket->writeDatagram(datagram, QHostAddress(m_endpoints.discoveryAddress),
                             m_endpoints.discoveryTargetPort);
    return true;
}

void MainWindow::readPendingDatagrams()
{
    // Take everything the socket holds before building rows, so the kernel buffer is free
    // again for the rest of a burst while the table grows.
    QVector<QByteArray> datagrams;
    while (udpSocket->hasPendingDatagrams()) {
        QByteArray datagram;
        datagram.resize(int(qMax<qint64>(0, udpSocket->pendingDatagramSize())));
        if (udpSocket->readDatagram(datagram.data(), datagram.size()) < 0)
            break; // a read error must not spin this loop
        datagrams.append(datagram);
    }

    for (const QByteArray &datagram : qAsConst(datagrams)) {
        if (datagram.size() != ReplySize)
            continue;
        uchar buffer[ReplySize];
        deviceInfoParse->CopyDatagram(datagram, buffer);
        if (!frameCheck->CheckFrame(buffer, ReplySize, ReplyHead0, ReplyHead1))
            continue;
        QString fields[DeviceInfoParse::FieldCount];
        deviceInfoParse->ParseDeviceInfo(buffer, fields);
        if (ipSeen.contains(fields[0]))
            continue;

        QList<QStandardItem *> row;
        row.reserve(DeviceInfoParse::FieldCount);
        for (const QString &text : fields) {
            auto *item = new QStandardItem(text);
            item->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
            row.append(item);
        }
        ipList.append(fields[0]);
        ipSeen.insert(fields[0]);
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
    ipSeen.clear();
}
