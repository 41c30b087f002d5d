#pragma once

#include "plannedreport.h"

#include <QList>
#include <QString>

struct BoxSettings;

// The reports a box publishes for an update or a recovery, stage by stage, for each scripted
// scenario. Every value is a JSON string, as the tool reads them.
class ReportPlan
{
public:
    enum Flow { Camera, System, Recovery };

    // Error codes of the box's own checks (a scripted failure uses --fail-errorcode).
    static constexpr const char *SizeMismatchCode = "2";
    static constexpr const char *Md5MismatchCode = "3";
    static constexpr const char *TransferAbortedCode = "4";
    static constexpr const char *InvalidRequestCode = "5";

    static QString topic(Flow flow);
    static QString flowName(Flow flow);

    // Compact JSON {"errorcode","message","progress","type"}; the message is padded or cut to
    // `messageChars` characters when that is above 0.
    static QByteArray report(const QString &type, const QString &errorcode, const QString &message,
                             const QString &progress, int messageChars = 0);

    // What follows a verified image (updates) or the request (recovery) in `scenario`:
    // success, fail, malformed or silent.
    static QList<PlannedReport> scripted(Flow flow, const QString &scenario,
                                         const BoxSettings &settings);
    // One failure report of stage `type`.
    static PlannedReport failure(Flow flow, const QString &type, const QString &errorcode,
                                 const QString &message, const QString &progress,
                                 const BoxSettings &settings);
    // A valid report whose payload is `bytes` long (or as short as a report can be).
    static PlannedReport huge(Flow flow, qint64 bytes);
    // The k-th report of a flood: stage 1, no error, progress below 100 so it ends nothing.
    static PlannedReport flood(Flow flow, int k);
};
