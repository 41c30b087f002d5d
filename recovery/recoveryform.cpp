#include "recoveryform.h"

#include "brokerconnection.h"
#include "busyanimation.h"
#include "devicereport.h"
#include "localwait.h"
#include "mqtttopics.h"
#include "operatordialogs.h"
#include "progressbar_workthread.h"
#include "recoveryform_workthread.h"
#include "restartcountdown.h"
#include "ui_recoveryform.h"

#include <QCloseEvent>
#include <QDesktopWidget>
#include <QException>
#include <QPointer>
#include <QTimer>

namespace {
// Longer than the 25 minutes the window announces, so only a box that has fallen silent hits it.
constexpr int ReportTimeLimitMs = 30 * 60 * 1000;
} // namespace

RecoveryForm::RecoveryForm(const QString &ip, const QString &mac, const QString &sn,
                           QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::RecoveryForm)
{
    ui->setupUi(this);

    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(width(), height());
    const QRect desktop = QApplication::desktop()->rect();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);
    setAttribute(Qt::WA_DeleteOnClose, true);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(tr("Recovery Default System"));

    // The device texts and the state line show the box's own texts: as written, never as
    // markup.
    for (QLabel *label : {ui->label_recovery_ip_value, ui->label_recovery_mac_value,
                          ui->label_recovery_sn_value, ui->label_state_recovery})
        label->setTextFormat(Qt::PlainText);
    ui->label_recovery_ip_value->setText(ip);
    ui->label_recovery_mac_value->setText(mac);
    ui->label_recovery_sn_value->setText(sn);
    ui->label_state_recovery->clear();
    ui->progressBar_Recovery->setTextVisible(false);

    deviceIp = ip;

    recoveryWorker = new RecoveryForm_WorkThread;
    connect(recoveryWorker, &RecoveryForm_WorkThread::Recovering_System, this,
            &RecoveryForm::RecoveryDefaultSystem, Qt::QueuedConnection);

    mqttClient = new MqttClient(this);
    connect(mqttClient, SIGNAL(messageReceived(QByteArray, MqttTopicName)), this,
            SLOT(topicMessageReceived(QByteArray, MqttTopicName)));

    progressWorker = new ProgressBar_WorkThread;
    connect(progressWorker, &ProgressBar_WorkThread::Cycling_ProgressBar, this,
            &RecoveryForm::CycleProgressBar, Qt::QueuedConnection);

    m_reportTimer = new QTimer(this);
    m_reportTimer->setSingleShot(true);
    connect(m_reportTimer, &QTimer::timeout, this, &RecoveryForm::reportTimeLimitExpired);
}

RecoveryForm::~RecoveryForm()
{
    delete ui;
    delete recoveryWorker;
    delete mqttClient;
    delete progressWorker;
}

void RecoveryForm::closeEvent(QCloseEvent *event)
{
    QPointer<RecoveryForm> self(this);
    if (recovering) {
        OperatorDialogs::instance()->information(
                this, tr("Tip"),
                tr("The system is recovering, it takes about 25 minutes. Please do not close the "
                   "recovery system form."));
        if (!self)
            return;
        event->ignore();
    }
    if (restarting) {
        OperatorDialogs::instance()->information(
                this, tr("Tip"),
                tr("The system is restarting, it takes about 1 minute. Please do not close the "
                   "recovery system form."));
        if (!self)
            return;
        event->ignore();
    }
}

void RecoveryForm::on_pushButton_Recovery_clicked()
{
    QPointer<RecoveryForm> self(this);
    try {
        const auto answer = OperatorDialogs::instance()->question(
                this, tr("Tip"), tr("Do you want to recovery default system?"));
        if (!self || answer != QMessageBox::Yes)
            return;

        recovering = true;
        const quint64 run = ++m_run;
        ui->pushButton_Recovery->setEnabled(false);
        ui->pushButton_Recovery->repaint();
        ui->progressBar_Recovery->setValue(0);
        ui->label_state_recovery->clear();
        // A report may end the run during any wait: then nothing more of it happens.
        LocalWait::wait(10);
        if (!self || !runStillActive(run))
            return;
        ui->label_state_recovery->setText(tr("Preparation is starting, please wait a moment..."));
        ui->label_state_recovery->repaint();
        LocalWait::wait(10);
        if (!self || !runStillActive(run))
            return;
        // The request runs from the event loop once this handler has returned.
        recoveryWorker->Trigger();
    } catch (const QException &e) {
        if (self)
            endRequest(QString::fromUtf8(e.what()));
    }
}

void RecoveryForm::RecoveryDefaultSystem()
{
    QPointer<RecoveryForm> self(this);
    try {
        const quint64 run = m_run;
        if (!runStillActive(run))
            return;
        const BrokerConnection::Result connection =
                BrokerConnection::open(mqttClient, deviceIp, m_endpoints.brokerPort, this);
        if (connection == BrokerConnection::WindowGone || !runStillActive(run))
            return;
        if (connection != BrokerConnection::Connected) {
            endRequest(tr("Mqtt Connect Failed"));
            return;
        }
        mqttClient->subscribe(Topics::RecoveryReport, 0);
        LocalWait::wait(100);
        if (!self || !runStillActive(run))
            return;
        if (mqttClient->publish(Topics::RecoveryRequest, Payloads::RecoveryDefaultSystem, 0,
                                false) != 0) {
            endRequest(tr("Mqtt Publish Failed"));
            return;
        }
        m_reportTimer->start(LocalWait::scaled(ReportTimeLimitMs));
    } catch (const QException &e) {
        if (self)
            endRequest(QString::fromUtf8(e.what()));
    }
}

void RecoveryForm::CycleProgressBar()
{
    BusyAnimation::run(this, ui->progressBar_Recovery, m_busy);
}

void RecoveryForm::topicMessageReceived(const QByteArray &message, const MqttTopicName &topic)
{
    QPointer<RecoveryForm> self(this);
    try {
        if (topic.name() != Topics::RecoveryReport)
            return;
        // Any report shows the box is still at work: the whole limit starts again.
        if (m_reportTimer->isActive())
            m_reportTimer->start(LocalWait::scaled(ReportTimeLimitMs));

        const ParsedReport parsed = ParseDeviceReport(message);
        if (parsed.kind == ParsedReport::ParseError) {
            endRunAsFailure();
            showState(parsed.errorText);
            return;
        }
        if (parsed.kind == ParsedReport::NotObject)
            return;

        const DeviceReport &report = parsed.report;
        const bool progressReport = report.type == QLatin1String("1") ||
                                    report.type == QLatin1String("2") ||
                                    report.type == QLatin1String("3");
        if (!progressReport)
            return;

        showState(report.message);
        // While the countdown runs no animation is started: it would run nested inside the
        // countdown's wait and hold the countdown, and with it the window, for good.
        if (!m_busy.cycleStarted && !restarting) {
            m_busy.cycleStop = false;
            progressWorker->Trigger();
            m_busy.cycleStarted = true;
        }
        if (report.errorcode != QLatin1String("0")) {
            endRunAsFailure();
            return;
        }

        if (report.type == QLatin1String("3") && report.progress == QLatin1String("100")) {
            m_busy.succeeded = true;
            m_busy.cycleStop = true;
            m_busy.cycleStarted = false;
            recovering = false;
            m_reportTimer->stop();
            // One countdown at a time: a repeated completing report changes nothing more.
            if (restarting)
                return;
            restarting = true;
            const quint64 run = m_run;
            if (!RestartCountdown::run(this, ui->label_Tip))
                return;
            restarting = false;
            // A run started during the countdown is not the one that restarted the box: its
            // button stays disabled and its texts stay.
            if (run != m_run)
                return;
            ui->label_Tip->setText(tr("System restart successful."));
            ui->pushButton_Recovery->setEnabled(true);
        }
    } catch (const QException &e) {
        if (!self)
            return;
        endRunAsFailure();
        showState(QString::fromUtf8(e.what()));
    }
}

void RecoveryForm::endRequest(const QString &text)
{
    recovering = false;
    ui->pushButton_Recovery->setEnabled(true);
    showState(text);
}

void RecoveryForm::endRunAsFailure()
{
    m_busy.succeeded = false;
    m_busy.cycleStop = true;
    recovering = false;
    ui->pushButton_Recovery->setEnabled(true);
    m_busy.cycleStarted = false;
    m_reportTimer->stop();
}

void RecoveryForm::showState(const QString &text)
{
    ui->label_state_recovery->setText(text);
    ui->label_state_recovery->repaint();
}

void RecoveryForm::reportTimeLimitExpired()
{
    endRunAsFailure();
    showState(tr("Recovery Failed: No report from the device"));
}
