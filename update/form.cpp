#include "form.h"

#include "brokerconnection.h"
#include "busyanimation.h"
#include "devicereport.h"
#include "form_workthread.h"
#include "formtcptransfer.h"
#include "imagedigest.h"
#include "localwait.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "operatordialogs.h"
#include "progressbar_workthread.h"
#include "restartcountdown.h"
#include "ui_form.h"
#include "updaterequest.h"

#include <QCloseEvent>
#include <QDesktopWidget>
#include <QException>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Longer than the 30 minutes the window announces for a system update.
constexpr int NoReportTimeoutMs = 40 * 60 * 1000;
constexpr int ChunkGapMs = 200;
// How often a stream held back by a slow reader looks at the socket again.
constexpr int BackPressurePollMs = 50;

QString exceptionText(const QException &e)
{
    return QString::fromUtf8(e.what());
}

} // namespace

Form::Form(const QString &ip, const QString &mac, const QString &sn, bool systemMode,
           QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Form)
    , deviceIp(ip)
    , systemMode(systemMode)
{
    ui->setupUi(this);

    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    const QRect desktop = QApplication::desktop()->rect();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);
    setAttribute(Qt::WA_DeleteOnClose, true);
    setAttribute(Qt::WA_QuitOnClose, false);

    if (systemMode) {
        setWindowTitle(tr("System FW Update"));
    } else {
        setWindowTitle(tr("Camera FW Update"));
        ui->label_Tip->setText(tr("Note: Please do not disconnect the power of the "
                                  "camera\357\274\214and it takes about 1 minute to update the "
                                  "camera fw."));
    }

    // Texts that come from a box are shown as written: markup in them is never rendered.
    for (QLabel *label :
         {ui->label_ip_value, ui->label_mac_value, ui->label_sn_value, ui->label_state})
        label->setTextFormat(Qt::PlainText);
    ui->label_ip_value->setText(ip);
    ui->label_mac_value->setText(mac);
    ui->label_sn_value->setText(sn);
    ui->label_state->clear();

    localIp = UpdateRequest::fallbackClientIp(QNetworkInterface::allAddresses());

    ui->lineEdit->setFocusPolicy(Qt::NoFocus);

    updateWorker = new Form_WorkThread;
    connect(updateWorker, &Form_WorkThread::CameraOrBoard_Updating, this,
            &Form::CameraOrBoard_FW_Update, Qt::QueuedConnection);
    transferWorker = new FormTcpTransfer;
    connect(transferWorker, &FormTcpTransfer::TCP_Transfer, this, &Form::Tcp_Transfer_File,
            Qt::QueuedConnection);
    mqttClient = new MqttClient(this);
    connect(mqttClient, SIGNAL(messageReceived(QByteArray, MqttTopicName)), this,
            SLOT(topicMessageReceived(QByteArray, MqttTopicName)));
    progressWorker = new ProgressBar_WorkThread;
    connect(progressWorker, &ProgressBar_WorkThread::Cycling_ProgressBar, this,
            &Form::CycleProgressBar, Qt::QueuedConnection);
    tcpSocket = new QTcpSocket;
    // Nothing the box sends on the stream connection means anything to us; dropping it at once
    // keeps a talkative box from filling our memory.
    connect(tcpSocket, &QTcpSocket::readyRead, this,
            [this] { tcpSocket->skip(tcpSocket->bytesAvailable()); });

    m_noReportTimer = new QTimer(this);
    m_noReportTimer->setSingleShot(true);
    connect(m_noReportTimer, &QTimer::timeout, this, [this] { endRunWithoutReport(); });
    // Bytes the box takes off the stream show it is still there, as a report does: a box that
    // reports only once it holds a large image is not silent while it reads it.
    connect(tcpSocket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_streamRunning && runActive())
            m_noReportTimer->start(LocalWait::scaled(NoReportTimeoutMs));
    });
}

Form::~Form()
{
    delete ui;
    delete updateWorker;
    delete transferWorker;
    mqttClient->disconnectFromHost();
    delete mqttClient;
    delete progressWorker;
    delete tcpSocket;
}

void Form::setEndpoints(const Endpoints &endpoints)
{
    m_endpoints = endpoints;
    tcpPort = endpoints.streamPort;
}

void Form::closeEvent(QCloseEvent *event)
{
    QPointer<Form> self(this);
    OperatorDialogs *dialogs = OperatorDialogs::instance();
    bool refuse = false;
    if (!systemMode) {
        if (cameraUpdating) {
            dialogs->information(this, tr("Tip"),
                                 tr("The camera fw is updating, it takes about 1 minute. Please "
                                    "do not close the camera fw update form."));
            refuse = true;
        }
    } else {
        if (systemUpdating) {
            dialogs->information(this, tr("Tip"),
                                 tr("The system fw is updating, it takes about 30 minutes. "
                                    "Please do not close the system fw update form."));
            refuse = true;
            if (!self)
                return;
        }
        if (restarting) {
            dialogs->information(this, tr("Tip"),
                                 tr("The system is restarting, it takes about 1 minute. Please "
                                    "do not close the system fw update form."));
            refuse = true;
        }
    }
    if (!self)
        return;
    if (refuse)
        event->ignore();
    else
        event->accept();
}

void Form::on_pushButton_Browser_clicked()
{
    QPointer<Form> self(this);
    ui->lineEdit->clear();
    ui->lineEdit->repaint();
    const QString path = systemMode ? OperatorDialogs::instance()->getOpenFileName(
                                              this, tr("Please select a system file"),
                                              QStringLiteral("."), QStringLiteral("*.*"))
                                    : OperatorDialogs::instance()->getOpenFileName(
                                              this, tr("Please select a bin file"),
                                              QStringLiteral("."), QStringLiteral("*.bin"));
    if (!self)
        return;
    filePath = path;
    ui->lineEdit->setText(filePath);
    const QFileInfo info(filePath);
    fileName = info.fileName();
    fileSize = info.size();
}

void Form::on_pushButton_Start_clicked()
{
    QPointer<Form> self(this);
    try {
        OperatorDialogs *dialogs = OperatorDialogs::instance();
        if (ui->lineEdit->text().isEmpty()) {
            dialogs->information(this, tr("Tip"),
                                 systemMode ? tr("Please select a System file")
                                            : tr("Please select a bin file"));
            return;
        }
        const QMessageBox::StandardButton answer =
                dialogs->question(this, tr("Tip"), tr("Do you want to update?"));
        if (!self || answer != QMessageBox::Yes)
            return;

        cameraUpdating = true;
        systemUpdating = true;
        const quint64 run = ++m_run;
        ui->pushButton_Start->setEnabled(false);
        ui->pushButton_Start->repaint();
        ui->progressBar->setValue(0);
        ui->label_state->clear();
        m_noReportTimer->start(LocalWait::scaled(NoReportTimeoutMs));

        // A report may end the run during any wait: then nothing more of it happens.
        LocalWait::wait(10);
        if (!self || !runStillActive(run))
            return;
        setState(tr("Preparation is starting, please wait a moment..."));
        LocalWait::wait(10);
        if (!self || !runStillActive(run))
            return;
        updateWorker->Trigger();
    } catch (const QException &e) {
        if (self) {
            returnToIdle();
            ui->label_state->setText(exceptionText(e));
        }
    }
}

void Form::CameraOrBoard_FW_Update()
{
    QPointer<Form> self(this);
    try {
        const quint64 run = m_run;
        if (!runStillActive(run))
            return;
        const BrokerConnection::Result connection =
                BrokerConnection::open(mqttClient, deviceIp, m_endpoints.brokerPort, this);
        if (connection == BrokerConnection::WindowGone || !runStillActive(run))
            return;
        if (connection != BrokerConnection::Connected) {
            returnToIdle();
            setState(tr("Mqtt Connect Failed"));
            return;
        }

        if (systemMode) {
            mqttClient->subscribe(Topics::UpdateSystemReport, 0);
            mqttClient->subscribe(Topics::RecoveryReport, 0);
        } else {
            mqttClient->subscribe(Topics::UpdateCameraReport, 0);
        }

        const QByteArray body = Create_Json_Object();
        if (!self || !runStillActive(run))
            return;
        if (body.isEmpty()) {
            returnToIdle();
            setState(tr("Mqtt Create Json Object Failed"));
            return;
        }

        const QString topic = systemMode ? QString(Topics::UpdateSystemRequest)
                                         : QString(Topics::UpdateCameraRequest);
        if (mqttClient->publish(topic, body, 0, false) != 0) {
            returnToIdle();
            setState(tr("Mqtt Publish Failed"));
            return;
        }

        // The box gets ready to receive before the stream starts.
        LocalWait::wait(5000);
        if (!self || !runStillActive(run))
            return;
        m_streamRun = run;
        transferWorker->Trigger();
    } catch (const QException &e) {
        if (self) {
            returnToIdle();
            ui->label_state->setText(exceptionText(e));
        }
    }
}

QByteArray Form::Create_Json_Object()
{
    QPointer<Form> self(this);
    // The request describes one file as it was when the build began, even if another one is
    // chosen during the digest's waits.
    const QString path = filePath;
    const QString name = fileName;
    const qint64 size = fileSize;

    // Hashed on a worker while the window keeps painting and taking clicks; a window closed
    // meanwhile stops it.
    const ImageDigest::Result digest = ImageDigest::md5InBackground(path, this);
    if (!self || digest.status != ImageDigest::Done)
        return QByteArray();

    UpdateRequest::Fields fields;
    fields.clientIp = requestClientIp();
    fields.fileName = name;
    fields.bufferSize = systemMode ? systemBufferSize : cameraBufferSize;
    fields.fileSize = size;
    fields.md5Hex = digest.md5Hex;
    m_announcedSize = size;
    return UpdateRequest::body(fields);
}

QString Form::requestClientIp() const
{
    // The box sees the stream come from the address our connection to its broker uses; on a
    // workstation with several networks that is the one to announce.
    if (mqttClient->state() == MqttClient::Connected) {
        bool ok = false;
        const quint32 ipv4 = mqttClient->localAddress().toIPv4Address(&ok);
        if (ok && ipv4 != 0)
            return QHostAddress(ipv4).toString();
    }
    return localIp;
}

void Form::Tcp_Transfer_File()
{
    QPointer<Form> self(this);
    try {
        const quint64 run = m_streamRun;
        if (!runStillActive(run))
            return;
        // One stream at a time, each on a connection of its own: a stream still running is
        // stopped and its connection dropped, so two streams never mix in one connection.
        const quint64 serial = ++m_streamSerial;
        if (tcpSocket->state() != QAbstractSocket::UnconnectedState)
            tcpSocket->abort();
        m_streamRunning = true;

        connectStream();
        if (!streamWait(1000, serial, run))
            return;
        for (int attempt = 0; attempt < 2 && !streamConnected(); ++attempt) {
            if (tcpSocket->state() == QAbstractSocket::UnconnectedState)
                connectStream();
            if (!streamWait(3000, serial, run))
                return;
        }
        if (!streamConnected()) {
            m_streamRunning = false;
            returnToIdle();
            setState(tr("Update Failed: Connect Server Failed"));
            return;
        }
        setState(tr("Connect Server Succeed..."));

        // Fixed for the whole stream: a new choice of file meanwhile does not change it.
        const qint64 chunkSize = systemMode ? systemBufferSize : cameraBufferSize;
        const qint64 total = m_announcedSize;
        QFile file(filePath);
        if (!file.open(QIODevice::ReadOnly)) {
            failStream(systemMode ? tr("Read System File Failed") : tr("Read Bin File Failed"));
            return;
        }

        qint64 sent = 0;
        while (sent < total) {
            // A box that reads slowly must not make us hold the image in memory: at most one
            // chunk waits in the socket when the next one is read.
            while (streamConnected() && tcpSocket->bytesToWrite() > chunkSize) {
                if (!streamWait(BackPressurePollMs, serial, run))
                    return;
            }
            if (!streamConnected()) {
                // The box dropped the connection before it had the whole image, and no report
                // has ended the run: nothing more can reach the box, so the run ends here.
                m_streamRunning = false;
                tcpSocket->abort();
                if (runActive()) {
                    returnToIdle();
                    setState(tr("Update Failed: Connection closed by the device"));
                }
                return;
            }
            const QByteArray chunk = file.read(qMin(chunkSize, total - sent));
            if (chunk.isEmpty())
                break; // end of file or read error
            tcpSocket->write(chunk);
            tcpSocket->flush();
            sent += chunk.size();
            if (!streamWait(ChunkGapMs, serial, run))
                return;
        }
        file.close();
        if (sent < total) {
            failStream(systemMode ? tr("Read System File Failed") : tr("Read Bin File Failed"));
            return;
        }
        m_streamRunning = false;
    } catch (const QException &e) {
        if (self) {
            m_streamRunning = false;
            returnToIdle();
            ui->label_state->setText(exceptionText(e));
        }
    }
}

void Form::connectStream()
{
    tcpSocket->connectToHost(deviceIp, tcpPort, QIODevice::ReadWrite,
                             QAbstractSocket::AnyIPProtocol);
}

bool Form::streamConnected() const
{
    return tcpSocket->state() == QAbstractSocket::ConnectedState;
}

bool Form::streamWait(int ms, quint64 serial, quint64 run)
{
    QPointer<Form> self(this);
    LocalWait::wait(ms);
    // Gone with the window, or stopped or replaced meanwhile: the caller leaves at once.
    if (!self || serial != m_streamSerial)
        return false;
    // A run that a report has ended sends the box nothing more.
    if (!runStillActive(run)) {
        m_streamRunning = false;
        return false;
    }
    return true;
}

void Form::failStream(const QString &text)
{
    m_streamRunning = false;
    setState(text);
    tcpSocket->disconnectFromHost();
    tcpSocket->close();
    returnToIdle();
}

void Form::closeStream()
{
    ++m_streamSerial;
    m_streamRunning = false;
    tcpSocket->disconnectFromHost();
    tcpSocket->close();
}

void Form::topicMessageReceived(const QByteArray &message, const MqttTopicName &topic)
{
    QPointer<Form> self(this);
    try {
        // Every word from the box shows it is still there.
        if (runActive())
            m_noReportTimer->start(LocalWait::scaled(NoReportTimeoutMs));

        const ParsedReport parsed = ParseDeviceReport(message);
        if (parsed.kind == ParsedReport::ParseError) {
            endRunAsFailed(parsed.errorText);
            return;
        }
        if (parsed.kind == ParsedReport::NotObject)
            return;
        if (systemMode)
            handleSystemReport(topic.name(), parsed.report);
        else
            handleCameraReport(topic.name(), parsed.report);
    } catch (const QException &e) {
        if (self)
            endRunAsFailed(exceptionText(e));
    }
}

void Form::handleCameraReport(const QString &topic, const DeviceReport &report)
{
    if (topic != Topics::UpdateCameraReport)
        return;
    const bool noError = report.errorcode == QLatin1String("0");
    const bool complete = noError && report.progress == QLatin1String("100");

    if (report.type == QLatin1String("1") || report.type == QLatin1String("2")) {
        if (noError) {
            ui->progressBar->setValue(ReportProgressValue(report.progress));
            ui->label_state->setText(report.message);
        } else {
            cameraUpdating = false;
            m_noReportTimer->stop();
            ui->pushButton_Start->setEnabled(true);
            ui->label_state->setText(tr("Update camera fw failed: ") + report.message);
            closeStream();
        }
    }

    if (report.type == QLatin1String("1") && complete) {
        // The box holds the whole image.
        closeStream();
    } else if (report.type == QLatin1String("2") && complete) {
        cameraUpdating = false;
        m_noReportTimer->stop();
        ui->pushButton_Start->setEnabled(true);

        QPointer<Form> self(this);
        const QMessageBox::StandardButton answer = OperatorDialogs::instance()->question(
                this, tr("Tip"),
                tr("This update needs to restart System to take effect. Do you want to restart "
                   "System immediately?"));
        if (!self || answer != QMessageBox::Yes)
            return;
        ui->label_state->setText(tr("Restarting..."));
        if (mqttClient->state() != MqttClient::Connected) {
            ui->label_state->setText(tr("System Restart Failed: Connect Server Failed"));
        } else if (mqttClient->publish(Topics::Restart, Payloads::Restart, 0, false) == 0) {
            ui->label_state->setText(tr("System Restart"));
        } else {
            ui->label_state->setText(tr("Restart Failed"));
        }
    }
}

void Form::handleSystemReport(const QString &topic, const DeviceReport &report)
{
    const bool noError = report.errorcode == QLatin1String("0");
    const bool complete = noError && report.progress == QLatin1String("100");
    const QString &type = report.type;

    if (topic == Topics::UpdateSystemReport) {
        if (type == QLatin1String("1")) {
            ui->progressBar->setTextVisible(true);
            if (noError) {
                ui->progressBar->setValue(ReportProgressValue(report.progress));
                ui->label_state->setText(report.message);
                if (report.progress == QLatin1String("100"))
                    closeStream();
            } else {
                systemUpdating = false;
                m_noReportTimer->stop();
                ui->pushButton_Start->setEnabled(true);
                ui->label_state->setText(tr("Update file system failed: ") + report.message);
                closeStream();
            }
        } else if (type == QLatin1String("2") || type == QLatin1String("3") ||
                   type == QLatin1String("4")) {
            ui->progressBar->setTextVisible(false);
            ui->label_state->setText(report.message);
            // An animation started under the countdown would hold the countdown until a later
            // report stops it, and the window could never be closed.
            if (!m_busy.cycleStarted && !restarting) {
                m_busy.cycleStop = false;
                progressWorker->Trigger();
                m_busy.cycleStarted = true;
            }
        }

        if (type == QLatin1String("4") && complete) {
            const bool countdownRunning = restarting;
            m_busy.succeeded = true;
            m_busy.cycleStop = true;
            m_busy.cycleStarted = false;
            systemUpdating = false;
            restarting = true;
            m_noReportTimer->stop();
            // One countdown at a time: the one already running ends the restart.
            if (countdownRunning)
                return;
            const quint64 run = m_run;
            if (!RestartCountdown::run(this, ui->label_Tip))
                return;
            restarting = false;
            // A run started during the countdown is not the one that restarted the box: its
            // Start stays disabled and its texts stay.
            if (run != m_run)
                return;
            ui->label_Tip->setText(tr("System restart successful."));
            ui->pushButton_Start->setEnabled(true);
        }
    } else if (topic == Topics::RecoveryReport) {
        if (type == QLatin1String("1") || type == QLatin1String("2") ||
            type == QLatin1String("3")) {
            ui->label_state->setText(tr("Update file system failed: ") + report.message);
            if (!noError) {
                m_busy.succeeded = false;
                m_busy.cycleStop = true;
                systemUpdating = false;
                m_noReportTimer->stop();
                ui->pushButton_Start->setEnabled(true);
                m_busy.cycleStarted = false;
            }
        }
        if (type == QLatin1String("3") && complete) {
            m_busy.succeeded = true;
            m_busy.cycleStop = true;
            systemUpdating = false;
            m_noReportTimer->stop();
            ui->pushButton_Start->setEnabled(true);
            m_busy.cycleStarted = false;
        }
    }
}

void Form::CycleProgressBar()
{
    QPointer<Form> self(this);
    try {
        BusyAnimation::run(this, ui->progressBar, m_busy);
    } catch (const QException &e) {
        if (self)
            endRunAsFailed(exceptionText(e));
    }
}

void Form::endRunAsFailed(const QString &text)
{
    m_busy.succeeded = false;
    m_busy.cycleStop = true;
    cameraUpdating = false;
    systemUpdating = false;
    m_noReportTimer->stop();
    ui->pushButton_Start->setEnabled(true);
    m_busy.cycleStarted = false;
    ui->label_state->setText(text);
}

void Form::endRunWithoutReport()
{
    if (!runActive())
        return;
    endRunAsFailed(tr("Update Failed: No report from the device"));
    closeStream();
}

void Form::returnToIdle()
{
    cameraUpdating = false;
    systemUpdating = false;
    m_noReportTimer->stop();
    ui->pushButton_Start->setEnabled(true);
}

bool Form::runStillActive(quint64 run) const
{
    return run == m_run && runActive();
}

bool Form::runActive() const
{
    // Start sets both flags, but each mode's reports clear only its own.
    return systemMode ? systemUpdating : cameraUpdating;
}

void Form::setState(const QString &text)
{
    ui->label_state->setText(text);
    ui->label_state->repaint();
}
