#include "reportplan.h"

#include "boxsettings.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

enum class StageKind {
    Percentage, // one report per progress step
    Plain,      // one report without a percentage
    Final       // the completing report: progress "100"
};

struct Stage
{
    const char *type;
    StageKind kind;
    const char *message;
};

QList<Stage> stagesOf(ReportPlan::Flow flow)
{
    switch (flow) {
    case ReportPlan::Camera:
        return {{"1", StageKind::Percentage, "Receiving camera fw"},
                {"2", StageKind::Percentage, "Updating camera fw"}};
    case ReportPlan::System:
        return {{"1", StageKind::Percentage, "Receiving file system"},
                {"2", StageKind::Plain, "Checking file system"},
                {"3", StageKind::Plain, "Writing file system"},
                {"4", StageKind::Final, "Update file system succeeded, restarting"}};
    case ReportPlan::Recovery:
        return {{"1", StageKind::Plain, "Preparing recovery"},
                {"2", StageKind::Plain, "Restoring default system"},
                {"3", StageKind::Plain, "Writing default system"},
                {"3", StageKind::Final, "Recovery succeeded, restarting"}};
    }
    return {};
}

} // namespace

QString ReportPlan::topic(Flow flow)
{
    switch (flow) {
    case Camera:
        return QStringLiteral("TalixTools_out/update_camera_fw");
    case System:
        return QStringLiteral("TalixTools_out/update_file_system");
    case Recovery:
        return QStringLiteral("TalixTools_out/recovery_file_system");
    }
    return QString();
}

QString ReportPlan::flowName(Flow flow)
{
    switch (flow) {
    case Camera:
        return QStringLiteral("camera");
    case System:
        return QStringLiteral("system");
    case Recovery:
        return QStringLiteral("recovery");
    }
    return QString();
}

QByteArray ReportPlan::report(const QString &type, const QString &errorcode, const QString &message,
                              const QString &progress, int messageChars)
{
    QString text = message;
    if (messageChars > 0)
        text = (message + QLatin1Char(' ')).leftJustified(messageChars, QLatin1Char('.'), true);
    QJsonObject o;
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("errorcode"), errorcode);
    o.insert(QStringLiteral("message"), text);
    o.insert(QStringLiteral("progress"), progress);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QList<PlannedReport> ReportPlan::scripted(Flow flow, const QString &scenario, const BoxSettings &s)
{
    QList<PlannedReport> out;
    if (scenario == QLatin1String("silent"))
        return out;
    const bool failing =
            scenario == QLatin1String("fail") || scenario == QLatin1String("malformed");
    const QList<Stage> stages = stagesOf(flow);
    // A failure strikes at the first stage of the chosen type, or at the last stage there is.
    const QString failType =
            QString::number(qMin(s.failStage, QString::fromLatin1(stages.last().type).toInt()));
    const QString t = topic(flow);
    auto add = [&](const QString &type, const QString &code, const QString &msg,
                   const QString &progress) {
        out.append({t, report(type, code, msg, progress, s.longMessageChars)});
    };
    for (const Stage &stage : stages) {
        const QString type = QString::fromLatin1(stage.type);
        const QString msg = QString::fromLatin1(stage.message);
        if (failing && type == failType) {
            QString progress;
            if (stage.kind == StageKind::Percentage && s.progressSteps.first() < 100) {
                progress = QString::number(s.progressSteps.first());
                add(type, QStringLiteral("0"), msg, progress);
            }
            if (scenario == QLatin1String("malformed"))
                out.append({t, s.malformedPayload});
            else
                out.append(failure(flow, type, s.failErrorcode, s.failMessage, progress, s));
            return out;
        }
        switch (stage.kind) {
        case StageKind::Percentage:
            for (int step : s.progressSteps)
                add(type, QStringLiteral("0"), msg, QString::number(step));
            break;
        case StageKind::Plain:
            add(type, QStringLiteral("0"), msg, QString());
            break;
        case StageKind::Final:
            add(type, QStringLiteral("0"), msg, QStringLiteral("100"));
            break;
        }
    }
    return out;
}

PlannedReport ReportPlan::failure(Flow flow, const QString &type, const QString &errorcode,
                                  const QString &message, const QString &progress,
                                  const BoxSettings &s)
{
    return {topic(flow), report(type, errorcode, message, progress, s.longMessageChars)};
}

PlannedReport ReportPlan::huge(Flow flow, qint64 bytes)
{
    const int base =
            report(QStringLiteral("1"), QStringLiteral("0"), QString(), QStringLiteral("1")).size();
    const int pad = int(qMax<qint64>(0, bytes - base));
    return {topic(flow), report(QStringLiteral("1"), QStringLiteral("0"),
                                QString(pad, QLatin1Char('H')), QStringLiteral("1"))};
}

PlannedReport ReportPlan::flood(Flow flow, int k)
{
    return {topic(flow), report(QStringLiteral("1"), QStringLiteral("0"),
                                QStringLiteral("Flood %1").arg(k), QString::number(k % 100))};
}
