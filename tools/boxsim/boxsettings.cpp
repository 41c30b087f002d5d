#include "boxsettings.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>

#include <limits>
#include <type_traits>

namespace {

const QStringList DiscoveryModeNames = {
        QStringLiteral("normal"),       QStringLiteral("bad-crc"),    QStringLiteral("swapped-crc"),
        QStringLiteral("wrong-length"), QStringLiteral("wrong-head"), QStringLiteral("short"),
        QStringLiteral("long"),         QStringLiteral("duplicate"),  QStringLiteral("other-ip"),
        QStringLiteral("burst"),        QStringLiteral("silent")};

const QStringList ScenarioNames = {QStringLiteral("success"), QStringLiteral("fail"),
                                   QStringLiteral("malformed"), QStringLiteral("silent")};

bool parseIpv4(const QString &text, QHostAddress *out)
{
    QHostAddress a;
    if (!a.setAddress(text) || a.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    *out = a;
    return true;
}

bool parseMac(const QString &text, QByteArray *out)
{
    static const QRegularExpression re(
            QStringLiteral("^([0-9A-Fa-f]{2})([:-]?[0-9A-Fa-f]{2}){5}$"));
    if (!re.match(text).hasMatch())
        return false;
    QString hex = text;
    hex.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    *out = QByteArray::fromHex(hex.toLatin1());
    return out->size() == 6;
}

bool parseNumber(const QString &text, qint64 min, qint64 max, qint64 *out)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

} // namespace

bool BoxSettings::fromArguments(const QStringList &arguments, BoxSettings *s, QString *error,
                                bool *helpRequested, QString *helpText)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
            "Simulated Talix box: answers discovery, reads commands from its MQTT broker, takes "
            "image streams on TCP and reports as scripted. Every event is one line on stdout.\n"
            "Error codes of the box's own checks: 2 size mismatch, 3 MD5 mismatch, 4 transfer "
            "aborted by the box, 5 invalid update request."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    p.addOption(help);

    auto opt = [&p](const QString &name, const QString &desc, const QString &value) {
        QCommandLineOption o(name, desc, value);
        p.addOption(o);
        return o;
    };
    // Identity.
    const auto oIp = opt(QStringLiteral("ip"), QStringLiteral("IPv4 address the box reports."),
                         QStringLiteral("addr"));
    const auto oMac = opt(QStringLiteral("mac"), QStringLiteral("MAC address, AA:BB:CC:DD:EE:FF."),
                          QStringLiteral("mac"));
    const auto oSn = opt(QStringLiteral("sn"), QStringLiteral("Serial number (20 bytes)."),
                         QStringLiteral("text"));
    const auto oName = opt(QStringLiteral("name"), QStringLiteral("Device name (20 bytes)."),
                           QStringLiteral("text"));
    const auto oCam = opt(QStringLiteral("camera-type"), QStringLiteral("Camera type (20 bytes)."),
                          QStringLiteral("text"));
    const auto oOs = opt(QStringLiteral("os-version"), QStringLiteral("OS version (10 bytes)."),
                         QStringLiteral("text"));
    const auto oFw =
            opt(QStringLiteral("camera-fw"), QStringLiteral("Camera firmware version (20 bytes)."),
                QStringLiteral("text"));
    // Discovery.
    const auto oDBind = opt(QStringLiteral("discovery-bind"),
                            QStringLiteral("Address the discovery socket binds (0.0.0.0)."),
                            QStringLiteral("addr"));
    const auto oDPort = opt(QStringLiteral("discovery-port"),
                            QStringLiteral("Discovery UDP port (6999)."), QStringLiteral("port"));
    const auto oDMode = opt(QStringLiteral("discovery"),
                            QStringLiteral("Comma list of reply modes: %1.")
                                    .arg(DiscoveryModeNames.join(QStringLiteral(", "))),
                            QStringLiteral("modes"));
    const auto oDDelay =
            opt(QStringLiteral("discovery-delay"),
                QStringLiteral("Delay before answering a request, ms (0)."), QStringLiteral("ms"));
    const auto oDup =
            opt(QStringLiteral("duplicates"),
                QStringLiteral("Copies sent by the duplicate mode (2)."), QStringLiteral("n"));
    const auto oOther = opt(QStringLiteral("other-ip"),
                            QStringLiteral("Record IP of the other-ip mode (192.0.2.1)."),
                            QStringLiteral("addr"));
    const auto oBurst = opt(QStringLiteral("burst-count"),
                            QStringLiteral("Replies of the burst mode, one per address (100)."),
                            QStringLiteral("n"));
    // MQTT.
    const auto oBHost = opt(QStringLiteral("broker-host"),
                            QStringLiteral("Broker host (127.0.0.1)."), QStringLiteral("host"));
    const auto oBPort = opt(QStringLiteral("broker-port"), QStringLiteral("Broker port (1883)."),
                            QStringLiteral("port"));
    const QCommandLineOption oNoBroker(QStringLiteral("no-broker"),
                                       QStringLiteral("Run without MQTT: discovery and TCP only."));
    p.addOption(oNoBroker);
    const auto oReconnect =
            opt(QStringLiteral("reconnect-interval"),
                QStringLiteral("Broker reconnect interval, ms (500)."), QStringLiteral("ms"));
    // TCP.
    const auto oTBind = opt(QStringLiteral("tcp-bind"),
                            QStringLiteral("Address the image listener binds (0.0.0.0)."),
                            QStringLiteral("addr"));
    const auto oTPort =
            opt(QStringLiteral("tcp-port"), QStringLiteral("Image stream TCP port (8000)."),
                QStringLiteral("port"));
    const auto oTAccept = opt(QStringLiteral("tcp-accept"),
                              QStringLiteral("now: listen from the start; late: start listening "
                                             "--tcp-accept-delay ms after each update request; "
                                             "never: never listen."),
                              QStringLiteral("now|late|never"));
    const auto oTDelay =
            opt(QStringLiteral("tcp-accept-delay"),
                QStringLiteral("Delay of the late mode, ms (7500: between the tool's second "
                               "and third connection attempt)."),
                QStringLiteral("ms"));
    const auto oTClose = opt(QStringLiteral("tcp-close-after"),
                             QStringLiteral("Close the image connection after this many bytes."),
                             QStringLiteral("bytes"));
    const auto oTGarbage = opt(QStringLiteral("tcp-garbage"),
                               QStringLiteral("Send this many garbage bytes back on accept and "
                                              "after every read."),
                               QStringLiteral("bytes"));
    const auto oTGarbageInterval =
            opt(QStringLiteral("tcp-garbage-interval"),
                QStringLiteral("Also send the garbage this often while a connection is open, ms "
                               "(0: only on accept and after reads)."),
                QStringLiteral("ms"));
    const auto oTIdle = opt(QStringLiteral("transfer-idle"),
                            QStringLiteral("An unfinished image idle this long is short, ms "
                                           "(5000)."),
                            QStringLiteral("ms"));
    // Reports.
    const auto oUpdate = opt(QStringLiteral("update"),
                             QStringLiteral("Update scenario: success, fail, malformed, silent."),
                             QStringLiteral("scenario"));
    const auto oRecovery = opt(QStringLiteral("recovery"),
                               QStringLiteral("Recovery scenario: success, fail, malformed, "
                                              "silent."),
                               QStringLiteral("scenario"));
    const auto oFStage = opt(QStringLiteral("fail-stage"),
                             QStringLiteral("Stage (type) at which fail/malformed strike (1)."),
                             QStringLiteral("n"));
    const auto oFCode =
            opt(QStringLiteral("fail-errorcode"),
                QStringLiteral("errorcode of the failure report (1)."), QStringLiteral("text"));
    const auto oFMsg =
            opt(QStringLiteral("fail-message"), QStringLiteral("message of the failure report."),
                QStringLiteral("text"));
    const auto oFBytes = opt(QStringLiteral("fail-at-bytes"),
                             QStringLiteral("Report a stage 1 update failure as soon as this many "
                                            "image bytes arrived."),
                             QStringLiteral("bytes"));
    const auto oMalformed =
            opt(QStringLiteral("malformed-payload"),
                QStringLiteral("Payload of the malformed report."), QStringLiteral("text"));
    const auto oSteps = opt(QStringLiteral("progress-steps"),
                            QStringLiteral("Percentages of a percentage stage (25,50,75,100)."),
                            QStringLiteral("list"));
    const auto oInterval =
            opt(QStringLiteral("report-interval"),
                QStringLiteral("Delay between reports, ms (50)."), QStringLiteral("ms"));
    const auto oLong = opt(QStringLiteral("long-message-chars"),
                           QStringLiteral("Pad every report message to this many characters."),
                           QStringLiteral("n"));
    const auto oFloodRate = opt(QStringLiteral("flood-rate"),
                                QStringLiteral("Extra reports per second after every request."),
                                QStringLiteral("n"));
    const auto oFloodCount = opt(QStringLiteral("flood-count"),
                                 QStringLiteral("Number of flood reports."), QStringLiteral("n"));
    const auto oHuge = opt(QStringLiteral("huge-report-bytes"),
                           QStringLiteral("Publish one valid report of this size after every "
                                          "request."),
                           QStringLiteral("bytes"));
    const auto oInject = opt(QStringLiteral("inject"),
                             QStringLiteral("TOPIC=PAYLOAD published after every request "
                                            "(repeatable)."),
                             QStringLiteral("topic=payload"));
    const auto oLog =
            opt(QStringLiteral("log"), QStringLiteral("Also append every event line to this file."),
                QStringLiteral("file"));

    *helpRequested = false;
    if (!p.parse(arguments)) {
        *error = p.errorText();
        return false;
    }
    if (p.isSet(help)) {
        *helpRequested = true;
        *helpText = p.helpText();
        return true;
    }
    if (!p.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: %1").arg(p.positionalArguments().first());
        return false;
    }

    auto fail = [error](const QString &what) {
        *error = what;
        return false;
    };
    auto number = [&](const QCommandLineOption &o, qint64 min, qint64 max, auto *target) {
        if (!p.isSet(o))
            return true;
        qint64 v = 0;
        if (!parseNumber(p.value(o), min, max, &v)) {
            *error = QStringLiteral("--%1: expected a number from %2 to %3, got \"%4\"")
                             .arg(o.names().first())
                             .arg(min)
                             .arg(max)
                             .arg(p.value(o));
            return false;
        }
        using Target = std::remove_pointer_t<decltype(target)>;
        *target = Target(v);
        return true;
    };
    auto address = [&](const QCommandLineOption &o, QHostAddress *target) {
        if (!p.isSet(o))
            return true;
        if (!parseIpv4(p.value(o), target)) {
            *error = QStringLiteral("--%1: not an IPv4 address: \"%2\"")
                             .arg(o.names().first(), p.value(o));
            return false;
        }
        return true;
    };

    if (!address(oIp, &s->ip) || !address(oDBind, &s->discoveryBind) ||
        !address(oOther, &s->otherIp) || !address(oTBind, &s->tcpBind))
        return false;
    if (p.isSet(oMac) && !parseMac(p.value(oMac), &s->mac))
        return fail(QStringLiteral("--mac: expected six hex bytes, got \"%1\"").arg(p.value(oMac)));
    if (p.isSet(oSn))
        s->sn = p.value(oSn);
    if (p.isSet(oName))
        s->name = p.value(oName);
    if (p.isSet(oCam))
        s->cameraType = p.value(oCam);
    if (p.isSet(oOs))
        s->osVersion = p.value(oOs);
    if (p.isSet(oFw))
        s->cameraFw = p.value(oFw);

    if (!number(oDPort, 0, 65535, &s->discoveryPort) ||
        !number(oDDelay, 0, 600000, &s->discoveryDelayMs) ||
        !number(oDup, 1, 100000, &s->duplicates) || !number(oBurst, 1, 65536, &s->burstCount) ||
        !number(oBPort, 1, 65535, &s->brokerPort) ||
        !number(oReconnect, 10, 600000, &s->reconnectMs) ||
        !number(oTPort, 0, 65535, &s->tcpPort) ||
        !number(oTDelay, 0, 600000, &s->tcpAcceptDelayMs) ||
        !number(oTClose, 0, std::numeric_limits<qint64>::max(), &s->tcpCloseAfter) ||
        !number(oTGarbage, 0, 64 * 1024 * 1024, &s->tcpGarbageBytes) ||
        !number(oTGarbageInterval, 0, 600000, &s->tcpGarbageIntervalMs) ||
        !number(oTIdle, 10, 3600000, &s->transferIdleMs) || !number(oFStage, 1, 4, &s->failStage) ||
        !number(oFBytes, 0, std::numeric_limits<qint64>::max(), &s->failAtBytes) ||
        !number(oInterval, 0, 600000, &s->reportIntervalMs) ||
        !number(oLong, 0, 256 * 1024 * 1024, &s->longMessageChars) ||
        !number(oFloodRate, 0, 1000000, &s->floodRate) ||
        !number(oFloodCount, 0, 100000000, &s->floodCount) ||
        !number(oHuge, 0, 256 * 1024 * 1024, &s->hugeReportBytes))
        return false;

    if (p.isSet(oDMode)) {
        s->discoveryModes = p.value(oDMode).split(QLatin1Char(','), Qt::SkipEmptyParts);
        if (s->discoveryModes.isEmpty())
            return fail(QStringLiteral("--discovery: no mode given"));
        for (const QString &m : s->discoveryModes) {
            if (!DiscoveryModeNames.contains(m))
                return fail(QStringLiteral("--discovery: unknown mode \"%1\"").arg(m));
        }
    }
    if (p.isSet(oBHost))
        s->brokerHost = p.value(oBHost);
    s->useBroker = !p.isSet(oNoBroker);
    if (p.isSet(oTAccept)) {
        s->tcpAccept = p.value(oTAccept);
        if (!QStringList{QStringLiteral("now"), QStringLiteral("late"), QStringLiteral("never")}
                     .contains(s->tcpAccept))
            return fail(QStringLiteral("--tcp-accept: expected now, late or never"));
    }
    if (p.isSet(oUpdate)) {
        s->updateScenario = p.value(oUpdate);
        if (!ScenarioNames.contains(s->updateScenario))
            return fail(QStringLiteral("--update: unknown scenario \"%1\"").arg(s->updateScenario));
    }
    if (p.isSet(oRecovery)) {
        s->recoveryScenario = p.value(oRecovery);
        if (!ScenarioNames.contains(s->recoveryScenario))
            return fail(
                    QStringLiteral("--recovery: unknown scenario \"%1\"").arg(s->recoveryScenario));
    }
    if (p.isSet(oFCode))
        s->failErrorcode = p.value(oFCode);
    if (p.isSet(oFMsg))
        s->failMessage = p.value(oFMsg);
    if (p.isSet(oMalformed))
        s->malformedPayload = p.value(oMalformed).toUtf8();
    if (p.isSet(oSteps)) {
        s->progressSteps.clear();
        for (const QString &part : p.value(oSteps).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const int v = part.toInt(&ok);
            if (!ok || v < 0 || v > 100)
                return fail(QStringLiteral("--progress-steps: bad percentage \"%1\"").arg(part));
            s->progressSteps.append(v);
        }
        if (s->progressSteps.isEmpty() || s->progressSteps.last() != 100)
            return fail(QStringLiteral("--progress-steps: the list must end with 100"));
    }
    for (const QString &inject : p.values(oInject)) {
        const int eq = inject.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return fail(QStringLiteral("--inject: expected TOPIC=PAYLOAD, got \"%1\"").arg(inject));
        s->injected.append({inject.left(eq), inject.mid(eq + 1).toUtf8()});
    }
    if (p.isSet(oLog))
        s->logFile = p.value(oLog);
    return true;
}
