#include "boxcontroller.h"

#include "eventlog.h"
#include "mqtttopics.h"
#include "reportplayer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

namespace {

const QString RequestFilter = QStringLiteral("TalixTools_in/#");

// The five members of an update request, every one a JSON string.
struct UpdateRequest
{
    QString clientIp, fileName, bufferSize, fileSize, fileMd5;
    qint64 size = 0;
};

bool parseUpdateRequest(const QByteArray &payload, UpdateRequest *r, QString *reason)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError) {
        *reason = error.errorString();
        return false;
    }
    if (!doc.isObject()) {
        *reason = QStringLiteral("not a JSON object");
        return false;
    }
    const QJsonObject o = doc.object();
    const char *const keys[] = {"client_ip", "file_name", "buffer_size", "file_size", "file_md5"};
    QString *const values[] = {&r->clientIp, &r->fileName, &r->bufferSize, &r->fileSize,
                               &r->fileMd5};
    for (int i = 0; i < 5; ++i) {
        const QJsonValue v = o.value(QLatin1String(keys[i]));
        if (!v.isString()) {
            *reason = QStringLiteral("%1 is missing or not a JSON string")
                              .arg(QLatin1String(keys[i]));
            return false;
        }
        *values[i] = v.toString();
    }
    if (o.size() != 5) {
        *reason = QStringLiteral("expected exactly five members, got %1").arg(o.size());
        return false;
    }
    static const QRegularExpression digits(QStringLiteral("^(0|[1-9][0-9]{0,17})$"));
    static const QRegularExpression md5(QStringLiteral("^[0-9a-f]{32}$"));
    if (!digits.match(r->fileSize).hasMatch()) {
        *reason = QStringLiteral("file_size is not a decimal number");
        return false;
    }
    if (!digits.match(r->bufferSize).hasMatch() || r->bufferSize == QLatin1String("0")) {
        *reason = QStringLiteral("buffer_size is not a positive decimal number");
        return false;
    }
    if (!md5.match(r->fileMd5).hasMatch()) {
        *reason = QStringLiteral("file_md5 is not 32 lowercase hex digits");
        return false;
    }
    r->size = r->fileSize.toLongLong();
    return true;
}

} // namespace

BoxController::BoxController(const BoxSettings &settings, EventLog *log, ImageReceiver *receiver,
                             QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_log(log)
    , m_receiver(receiver)
    , m_client(new MqttClient(this))
    , m_reconnectTimer(new QTimer(this))
    , m_player(new ReportPlayer(m_client, log, settings.reportIntervalMs, this))
{
    m_client->setHostname(m_settings.brokerHost);
    m_client->setPort(m_settings.brokerPort);
    m_client->setConnectTimeout(5000);
    m_reconnectTimer->setSingleShot(true);
    m_reconnectTimer->setInterval(m_settings.reconnectMs);
    connect(m_reconnectTimer, &QTimer::timeout, m_client, &MqttClient::connectToHost);
    connect(m_client, &MqttClient::stateChanged, this, &BoxController::onStateChanged);
    connect(m_client, &MqttClient::messageReceived, this, &BoxController::onMessage);
    connect(m_receiver, &ImageReceiver::bytesReceived, this, &BoxController::onImageBytes);
    connect(m_receiver, &ImageReceiver::finished, this, &BoxController::onImageFinished);
}

void BoxController::start()
{
    if (m_settings.useBroker)
        m_client->connectToHost();
    else
        m_log->event(QStringLiteral("MQTT"),
                     {{QStringLiteral("state"), QStringLiteral("disabled")}});
}

void BoxController::onStateChanged(MqttClient::ClientState state)
{
    const QString broker =
            QStringLiteral("%1:%2").arg(m_settings.brokerHost).arg(m_settings.brokerPort);
    if (state == MqttClient::Connected) {
        m_wasConnected = true;
        m_unreachableLogged = false;
        m_log->event(QStringLiteral("MQTT"),
                     {{QStringLiteral("state"), QStringLiteral("connected")},
                      {QStringLiteral("broker"), broker}});
        // Subscribed from the event loop, outside the client's own call that reported the
        // connection.
        QTimer::singleShot(0, this, [this] {
            const bool ok = m_client->subscribe(RequestFilter, 0);
            m_log->event(QStringLiteral("MQTT_SUBSCRIBE"),
                         {{QStringLiteral("filter"), RequestFilter},
                          {QStringLiteral("ok"), ok ? QStringLiteral("1") : QStringLiteral("0")}});
        });
    } else if (state == MqttClient::Disconnected) {
        // A broker that is down is retried quietly; each change is logged once.
        if (m_wasConnected) {
            m_wasConnected = false;
            m_log->event(QStringLiteral("MQTT"), {{QStringLiteral("state"), QStringLiteral("lost")},
                                                  {QStringLiteral("broker"), broker}});
        } else if (!m_unreachableLogged) {
            m_unreachableLogged = true;
            m_log->event(QStringLiteral("MQTT"),
                         {{QStringLiteral("state"), QStringLiteral("unreachable")},
                          {QStringLiteral("broker"), broker}});
        }
        m_reconnectTimer->start();
    }
}

void BoxController::onMessage(const QByteArray &payload, const MqttTopicName &topicName)
{
    const QString topic = topicName.name();
    EventLog::Fields fields{{QStringLiteral("topic"), topic}};
    EventLog::addPayload(&fields, payload);
    m_log->event(QStringLiteral("RECV"), fields);

    if (topic == Topics::PowerOff)
        handlePower(QStringLiteral("shutdown"), payload, Payloads::ShutDown);
    else if (topic == Topics::Restart)
        handlePower(QStringLiteral("restart"), payload, Payloads::Restart);
    else if (topic == Topics::UpdateCameraRequest)
        handleUpdateRequest(ReportPlan::Camera, payload);
    else if (topic == Topics::UpdateSystemRequest)
        handleUpdateRequest(ReportPlan::System, payload);
    else if (topic == Topics::RecoveryRequest)
        handleRecovery(payload);
    else
        m_log->event(QStringLiteral("IGNORED"), {{QStringLiteral("topic"), topic}});
}

void BoxController::handlePower(const QString &command, const QByteArray &payload,
                                const QByteArray &expected)
{
    // A box acts only on the exact command text; anything else is logged as refused.
    m_log->event(QStringLiteral("POWER"),
                 {{QStringLiteral("command"), command},
                  {QStringLiteral("valid"),
                   payload == expected ? QStringLiteral("1") : QStringLiteral("0")}});
}

void BoxController::handleUpdateRequest(ReportPlan::Flow flow, const QByteArray &payload)
{
    UpdateRequest request;
    QString reason;
    m_player->stop();
    if (!parseUpdateRequest(payload, &request, &reason)) {
        m_log->event(QStringLiteral("UPDATE_REQUEST_INVALID"),
                     {{QStringLiteral("mode"), ReportPlan::flowName(flow)},
                      {QStringLiteral("reason"), reason}});
        m_updateActive = false;
        if (m_settings.updateScenario != QLatin1String("silent"))
            m_player->play({ReportPlan::failure(
                    flow, QStringLiteral("1"), QLatin1String(ReportPlan::InvalidRequestCode),
                    QStringLiteral("Invalid update request"), QString(), m_settings)});
        return;
    }
    m_log->event(QStringLiteral("UPDATE_REQUEST"),
                 {{QStringLiteral("mode"), ReportPlan::flowName(flow)},
                  {QStringLiteral("client_ip"), request.clientIp},
                  {QStringLiteral("file_name"), request.fileName},
                  {QStringLiteral("buffer_size"), request.bufferSize},
                  {QStringLiteral("file_size"), request.fileSize},
                  {QStringLiteral("file_md5"), request.fileMd5}});
    m_updateActive = true;
    m_updateFlow = flow;
    m_updateSize = request.size;
    m_receiver->expect(request.size, request.fileMd5.toLatin1());
    startExtras(flow);
}

void BoxController::handleRecovery(const QByteArray &payload)
{
    if (payload != Payloads::RecoveryDefaultSystem) {
        m_log->event(QStringLiteral("RECOVERY_REQUEST_INVALID"));
        return;
    }
    m_log->event(QStringLiteral("RECOVERY_REQUEST"),
                 {{QStringLiteral("scenario"), m_settings.recoveryScenario}});
    m_player->play(
            ReportPlan::scripted(ReportPlan::Recovery, m_settings.recoveryScenario, m_settings));
    startExtras(ReportPlan::Recovery);
}

void BoxController::startExtras(ReportPlan::Flow flow)
{
    if (m_settings.hugeReportBytes > 0)
        m_player->publishNow(ReportPlan::huge(flow, m_settings.hugeReportBytes));
    for (const auto &inject : m_settings.injected)
        m_player->publishNow({inject.first, inject.second});
    if (m_settings.floodRate > 0 && m_settings.floodCount > 0)
        m_player->flood([flow](int k) { return ReportPlan::flood(flow, k); }, m_settings.floodCount,
                        m_settings.floodRate);
}

void BoxController::onImageBytes(qint64 total)
{
    if (!m_updateActive || m_settings.updateScenario != QLatin1String("fail") ||
        m_settings.failStage != 1 || m_settings.failAtBytes < 0 || total < m_settings.failAtBytes)
        return;
    // The scripted stage 1 failure strikes while the image is still coming in; what the
    // stream does afterwards no longer leads to reports.
    m_updateActive = false;
    const qint64 percent = m_updateSize > 0 ? qMin<qint64>(100, total * 100 / m_updateSize) : 0;
    m_log->event(QStringLiteral("UPDATE_FAILED_EARLY"),
                 {{QStringLiteral("bytes"), QString::number(total)}});
    m_player->play(
            {ReportPlan::failure(m_updateFlow, QStringLiteral("1"), m_settings.failErrorcode,
                                 m_settings.failMessage, QString::number(percent), m_settings)});
}

void BoxController::onImageFinished(ImageReceiver::Outcome outcome, const QString &)
{
    if (!m_updateActive)
        return;
    m_updateActive = false;
    const QString scenario = m_settings.updateScenario;
    if (scenario == QLatin1String("silent"))
        return;
    switch (outcome) {
    case ImageReceiver::Verified:
        m_player->play(ReportPlan::scripted(m_updateFlow, scenario, m_settings));
        break;
    case ImageReceiver::SizeMismatch:
        m_player->play({ReportPlan::failure(
                m_updateFlow, QStringLiteral("1"), QLatin1String(ReportPlan::SizeMismatchCode),
                QStringLiteral("File size mismatch"), QString(), m_settings)});
        break;
    case ImageReceiver::Md5Mismatch:
        m_player->play({ReportPlan::failure(
                m_updateFlow, QStringLiteral("1"), QLatin1String(ReportPlan::Md5MismatchCode),
                QStringLiteral("File MD5 mismatch"), QString(), m_settings)});
        break;
    case ImageReceiver::Aborted:
        m_player->play({ReportPlan::failure(
                m_updateFlow, QStringLiteral("1"), QLatin1String(ReportPlan::TransferAbortedCode),
                QStringLiteral("Transfer aborted"), QString(), m_settings)});
        break;
    }
}
