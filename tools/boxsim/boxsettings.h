#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Everything the simulated box is told on its command line: who it is, where it listens
// and how it behaves. Defaults give a well-behaved box with short report delays.
struct BoxSettings
{
    // Identity, as carried in the discovery reply's device record.
    QHostAddress ip = QHostAddress(QStringLiteral("127.0.0.1"));
    QByteArray mac = QByteArray::fromHex("020000000001");
    QString sn = QStringLiteral("SIM0000001");
    QString name = QStringLiteral("TalixSim");
    QString cameraType = QStringLiteral("SIMCAM");
    QString osVersion = QStringLiteral("1.0.0");
    QString cameraFw = QStringLiteral("1.0.0");

    // Discovery.
    QHostAddress discoveryBind = QHostAddress(QHostAddress::AnyIPv4);
    quint16 discoveryPort = 6999;
    // One or more of: normal, bad-crc, swapped-crc, wrong-length, wrong-head, short, long,
    // duplicate, other-ip, burst, silent. Each listed mode adds its datagrams to the answer.
    QStringList discoveryModes = {QStringLiteral("normal")};
    int discoveryDelayMs = 0;
    int duplicates = 2;
    QHostAddress otherIp = QHostAddress(QStringLiteral("192.0.2.1"));
    int burstCount = 100;

    // MQTT.
    bool useBroker = true; // without one the box only answers discovery and takes streams
    QString brokerHost = QStringLiteral("127.0.0.1");
    quint16 brokerPort = 1883;
    int reconnectMs = 500;

    // Image stream.
    QHostAddress tcpBind = QHostAddress(QHostAddress::AnyIPv4);
    quint16 tcpPort = 8000;
    QString tcpAccept = QStringLiteral("now"); // now, late, never
    // "late": listening starts this long after a request. The tool tries 5, 6 and 9 s after
    // its request, so 7.5 s lets only the third attempt through.
    int tcpAcceptDelayMs = 7500;
    qint64 tcpCloseAfter = -1;    // close the connection after this many bytes
    int tcpGarbageBytes = 0;      // sent back on accept and after every read
    int tcpGarbageIntervalMs = 0; // and, above 0, again this often while a connection is open
    int transferIdleMs = 5000;    // an unfinished image with no data this long is short

    // Reports.
    QString updateScenario = QStringLiteral("success");   // success, fail, malformed, silent
    QString recoveryScenario = QStringLiteral("success"); // success, fail, malformed, silent
    int failStage = 1;
    QString failErrorcode = QStringLiteral("1");
    QString failMessage = QStringLiteral("Simulated failure");
    qint64 failAtBytes = -1; // stage 1 update failure reported once this many bytes arrived
    QByteArray malformedPayload = QByteArrayLiteral("{\"type\":\"1\",\"errorcode\":\"0\",\"mess");
    QList<int> progressSteps = {25, 50, 75, 100};
    int reportIntervalMs = 50;
    int longMessageChars = 0;
    int floodRate = 0; // reports per second, on every request
    int floodCount = 0;
    qint64 hugeReportBytes = 0;
    QList<QPair<QString, QByteArray>> injected; // published on every request, in order

    QString logFile;

    // Fills `settings` from the arguments (argv[0] first). On a bad argument returns false
    // with `error` set; `--help` is handled by the caller through `helpText`.
    static bool fromArguments(const QStringList &arguments, BoxSettings *settings, QString *error,
                              bool *helpRequested, QString *helpText);
};
