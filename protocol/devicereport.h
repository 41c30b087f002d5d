#pragma once

#include <QByteArray>
#include <QString>

// The four texts a box reports on a "TalixTools_out/" topic. Members that are missing or
// not JSON strings read as empty text; the message is cut to MaxMessageChars, so that a report
// of megabytes never stalls a window for seconds while a one-line label lays it out.
struct DeviceReport
{
    static constexpr int MaxMessageChars = 1024;

    QString type;
    QString errorcode;
    QString message;
    QString progress;
};

// Result of reading one report payload.
struct ParsedReport
{
    enum Kind { ParseError, NotObject, Report };
    Kind kind = ParseError;
    QString errorText; // the JSON parser's own text, for ParseError
    DeviceReport report;
};

ParsedReport ParseDeviceReport(const QByteArray &payload);

// "100" etc. as shown on a progress bar: base-10 integer, 0 when it is not a number.
int ReportProgressValue(const QString &progress);
