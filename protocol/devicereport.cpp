#include "devicereport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

ParsedReport ParseDeviceReport(const QByteArray &payload)
{
    ParsedReport result;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError) {
        result.kind = ParsedReport::ParseError;
        result.errorText = error.errorString();
        return result;
    }
    if (!doc.isObject()) {
        result.kind = ParsedReport::NotObject;
        return result;
    }
    const QJsonObject obj = doc.object();
    result.kind = ParsedReport::Report;
    // toString() yields empty text for anything that is not a JSON string.
    result.report.type = obj.value(QLatin1String("type")).toString();
    result.report.errorcode = obj.value(QLatin1String("errorcode")).toString();
    result.report.message =
            obj.value(QLatin1String("message")).toString().left(DeviceReport::MaxMessageChars);
    result.report.progress = obj.value(QLatin1String("progress")).toString();
    return result;
}

int ReportProgressValue(const QString &progress)
{
    bool ok = false;
    const int value = progress.toInt(&ok, 10);
    return ok ? value : 0;
}
