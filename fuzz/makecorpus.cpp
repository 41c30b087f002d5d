// Writes the fuzzers' seed corpora: real discovery replies and the ways boxes get them wrong,
// bursts of replies to one search, and the report sequences of camera updates, system updates
// and recoveries, with the malformed reports a box or a network can produce, and what a box's
// broker sends back to the MQTT client.
//   fuzz_makecorpus <corpus dir>   (writes <dir>/discovery, <dir>/search, <dir>/report, <dir>/mqtt)

#include "referenceframe.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdio>

namespace {

bool g_ok = true;

void write(const QString &dir, const QString &name, const QByteArray &bytes)
{
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + name);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
        g_ok = false;
    }
}

QByteArray box(uchar last, const QByteArray &sn = "TLX2024000123", uchar macLast = 0x5E)
{
    const uchar ip[4] = {192, 168, 1, last};
    const uchar mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, macLast};
    return ReferenceFrame::reply(ip, mac, sn, "Talix-Box", "CAM-4K", "5.10.1", "2.3.17");
}

QByteArray resealed(QByteArray frame, int index, char value)
{
    frame[index] = value;
    ReferenceFrame::seal(&frame);
    return frame;
}

void discovery(const QString &dir)
{
    const QByteArray valid = box(23);
    write(dir, "valid", valid);
    {
        const uchar ip[4] = {255, 255, 255, 255};
        const uchar mac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        // Every text field full to its last byte: no terminating zero.
        write(dir, "valid-full-fields",
              ReferenceFrame::reply(ip, mac, QByteArray(20, 'S'), QByteArray(20, 'N'),
                                    QByteArray(20, 'C'), QByteArray(10, 'O'), QByteArray(20, 'F')));
    }
    {
        const uchar ip[4] = {0, 0, 0, 0};
        const uchar mac[6] = {0, 0, 0, 0, 0, 0};
        write(dir, "valid-empty-fields", ReferenceFrame::reply(ip, mac, "", "", "", "", ""));
    }
    {
        const uchar ip[4] = {10, 0, 0, 5};
        const uchar mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        // Latin-1 beyond ASCII, and text after a zero byte that must not show.
        write(dir, "valid-latin1-and-hidden-text",
              ReferenceFrame::reply(ip, mac, "\xC4\xD6\xDC\xFF\x80", QByteArray("CAM\0XYZ", 7),
                                    "\x01\x02\x7F", "\xA0", "fw"));
    }
    QByteArray badCrc = valid;
    badCrc[104] = char(badCrc.at(104) ^ 0x5A);
    write(dir, "bad-crc", badCrc);
    QByteArray swapped = valid;
    swapped[103] = valid.at(104);
    swapped[104] = valid.at(103);
    write(dir, "crc-low-byte-first", swapped);
    write(dir, "wrong-length-byte", resealed(valid, 2, char(99)));
    write(dir, "wrong-head0", resealed(valid, 0, char(0xFB)));
    write(dir, "wrong-head1", resealed(valid, 1, char(0x02)));
    write(dir, "short", valid.left(104));
    write(dir, "long", valid + QByteArray(1, '\0'));
    // Two bytes past the reply pick a byte to change in the sealed copy.
    write(dir, "valid-and-change", valid + QByteArray::fromHex("3a01"));
    write(dir, "empty", QByteArray());
    write(dir, "request", QByteArray::fromHex("fa0100003c61"));
    write(dir, "zeros-105", QByteArray(105, '\0'));
    QByteArray big(300, '\xAB');
    big[0] = char(0xFA);
    big[1] = char(0x01);
    big[2] = char(295 & 0xFF); // a length byte cannot state 295
    ReferenceFrame::seal(&big);
    write(dir, "long-frame-sealed", big);
}

// Datagrams in the search fuzzer's framing: a two-byte header (length, top bit to seal).
QByteArray datagrams(const QList<QByteArray> &list, bool sealAll = false)
{
    QByteArray out;
    for (const QByteArray &d : list) {
        const int header = d.size() | (sealAll ? 0x8000 : 0);
        out.append(char(header >> 8)).append(char(header & 0xFF)).append(d);
    }
    return out;
}

void search(const QString &dir)
{
    write(dir, "no-replies", QByteArray());
    write(dir, "one-box", datagrams({box(23)}));
    write(dir, "three-boxes", datagrams({box(21), box(22), box(23)}));
    // Same address, other MAC and SN: listed once, as first seen.
    write(dir, "same-address-twice", datagrams({box(23), box(23, "OTHER-SN", 0x99), box(24)}));
    QByteArray badCrc = box(30);
    badCrc[104] = char(badCrc.at(104) ^ 0x01);
    write(dir, "mixed-valid-and-broken",
          datagrams({box(31), badCrc, box(32).left(104), box(33) + QByteArray(1, 'x'),
                     resealed(box(34), 2, char(98)), QByteArray(), box(35)}));
    write(dir, "empty-datagrams", datagrams({QByteArray(), QByteArray(), box(40), QByteArray()}));
    QByteArray garbage(105, '\x55');
    garbage[0] = char(0xFA);
    garbage[1] = char(0x01);
    garbage[2] = char(100);
    write(dir, "sealed-garbage", datagrams({garbage, box(41)}, true));
    write(dir, "oversized", datagrams({QByteArray(1500, '\xFA'), box(42)}));
    QList<QByteArray> burst;
    for (int k = 0; k < 32; ++k)
        burst.append(box(uchar(100 + k), "TLX-BURST", uchar(k)));
    write(dir, "burst-32", datagrams(burst));
    write(dir, "request-echoed", datagrams({QByteArray::fromHex("fa0100003c61"), box(43)}));
}

QByteArray report(const QString &type, const QString &errorcode, const QString &message,
                  const QString &progress)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), type);
    o.insert(QStringLiteral("errorcode"), errorcode);
    o.insert(QStringLiteral("message"), message);
    o.insert(QStringLiteral("progress"), progress);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Selector topics of the report fuzzer's framing.
enum Topic { Camera = 0, System = 1, Recovery = 2, Request = 3, NoTopic = 4, Arbitrary = 5 };
// Not a topic: the operator closes the windows.
constexpr int Close = 7;
constexpr int CameraWindow = 1;
constexpr int SystemWindow = 2;
constexpr int RecoveryWindow = 4;

QByteArray message(int topic, const QByteArray &payload, int windows = 0,
                   const QByteArray &arbitrary = QByteArray())
{
    QByteArray out;
    out.append(char(topic | (windows << 3)));
    if (topic == Close)
        return out;
    if (topic >= Arbitrary)
        out.append(char(arbitrary.size())).append(arbitrary);
    out.append(char(payload.size() >> 8)).append(char(payload.size() & 0xFF)).append(payload);
    return out;
}

// The first byte answers the questions: bit set is Yes.
QByteArray sequence(int answers, const QList<QByteArray> &messages)
{
    QByteArray out(1, char(answers));
    for (const QByteArray &m : messages)
        out.append(m);
    return out;
}

void reports(const QString &dir)
{
    const int Yes = 0xFF;
    const int No = 0x00;
    write(dir, "camera-update-restart-yes",
          sequence(Yes, {message(Camera, report("1", "0", "Receiving", "10")),
                         message(Camera, report("1", "0", "Receiving", "50")),
                         message(Camera, report("1", "0", "Received", "100")),
                         message(Camera, report("2", "0", "Updating", "50")),
                         message(Camera, report("2", "0", "Update done", "100"))}));
    write(dir, "camera-update-restart-no",
          sequence(No, {message(Camera, report("2", "0", "Update done", "100"))}));
    write(dir, "camera-failure",
          sequence(No, {message(Camera, report("1", "0", "Receiving", "30")),
                        message(Camera, report("1", "3", "MD5 mismatch", "30"))}));
    write(dir, "camera-complete-twice",
          sequence(Yes, {message(Camera, report("2", "0", "done", "100")),
                         message(Camera, report("2", "0", "done again", "100"))}));
    write(dir, "system-update-countdown",
          sequence(No, {message(System, report("1", "0", "Receiving", "40")),
                        message(System, report("1", "0", "Received", "100")),
                        message(System, report("2", "0", "Checking", "")),
                        message(System, report("3", "0", "Writing", "")),
                        message(System, report("4", "0", "Done, restarting", "100"))}));
    write(dir, "system-complete-twice",
          sequence(No, {message(System, report("4", "0", "Done", "100")),
                        message(System, report("4", "0", "Done", "100")),
                        message(System, report("2", "0", "late stage", ""))}));
    write(dir, "system-stage-failure",
          sequence(No, {message(System, report("1", "7", "No space left", "12")),
                        message(System, report("4", "1", "Write failed", "100"))}));
    write(dir, "system-recovery-topic",
          sequence(No, {message(System, report("2", "0", "Animating", "")),
                        message(Recovery, report("2", "0", "Recovering", "")),
                        message(Recovery, report("1", "9", "Recovery failed", ""))}));
    write(dir, "recovery-countdown",
          sequence(No, {message(Recovery, report("1", "0", "Preparing", "")),
                        message(Recovery, report("2", "0", "Restoring", "")),
                        message(Recovery, report("3", "0", "Restored", "99")),
                        message(Recovery, report("3", "0", "Restored", "100")),
                        message(Recovery, report("3", "0", "Restored again", "100"))}));
    write(dir, "recovery-failure-first",
          sequence(No, {message(Recovery, report("1", "", "no code", ""))}));
    write(dir, "unreadable-reports",
          sequence(No, {message(Camera, "{\"type\":\"1\",\"errorcode\":\"0\""), message(System, ""),
                        message(Recovery, "\xFF\xFE{}"), message(Recovery, "{\"type\":\"1\",}"),
                        message(Request, "{")}));
    write(dir, "not-objects",
          sequence(No, {message(Camera, "[\"1\",\"0\"]"), message(System, "42"),
                        message(Recovery, "null"), message(Recovery, "\"text\""),
                        message(System, "true")}));
    write(dir, "values-not-strings",
          sequence(No,
                   {message(Camera, "{\"type\":1,\"errorcode\":0,\"progress\":100}"),
                    message(Recovery, "{\"type\":\"3\",\"errorcode\":0,\"progress\":\"100\"}"),
                    message(System, "{\"type\":\"1\",\"errorcode\":\"0\",\"progress\":100.0,"
                                    "\"message\":{\"a\":[1,2]}}"),
                    message(System, "{\"type\":\"1\",\"errorcode\":\"0\",\"progress\":\"1e2\"}"),
                    message(System, "{\"type\":\"1\",\"errorcode\":\"00\",\"progress\":\"100\"}"),
                    message(Camera, "{\"type\":\"1\",\"errorcode\":\"0\",\"progress\":"
                                    "\"99999999999999999999\"}")}));
    write(dir, "other-topics",
          sequence(No, {message(Arbitrary, report("2", "0", "x", "100"), 0,
                                "TalixTools_out/update_camera_fw/"),
                        message(Arbitrary, report("3", "0", "x", "100"), 0,
                                "talixtools_out/recovery_file_system"),
                        message(NoTopic, report("4", "0", "x", "100")),
                        message(Request, report("1", "0", "x", "100")),
                        message(Arbitrary, report("1", "0", "x", "100"), 0, "\xC3\x28\xFF")}));
    // Reports meant for one window only, to the others' topics.
    write(dir, "cross-window",
          sequence(No, {message(Camera, report("2", "0", "done", "100"), 0x02),
                        message(System, report("4", "0", "done", "100"), 0x04),
                        message(Recovery, report("3", "0", "done", "100"), 0x01)}));
    QString longText;
    for (int i = 0; i < 300; ++i)
        longText += QStringLiteral("message %1 ").arg(i);
    write(dir, "odd-messages",
          sequence(No,
                   {message(System, report("2", "0", longText, "")),
                    message(Recovery, report("1", "0", "<b>markup</b>&amp;\n\t\r", "")),
                    message(Camera, report("1", "0",
                                           QString::fromUtf8("\xEF\xBC\x9A\xEF\xBC\x8C \xF0\x9F\x93"
                                                             "\xB7 \xE4\xB8\xAD"),
                                           "-5")),
                    message(Camera, report("1", "0", QString(QChar(0)), "150"))}));
    const QByteArray close;
    write(dir, "close-during-countdown",
          sequence(No, {message(System, report("4", "0", "Done", "100")),
                        message(Recovery, report("3", "0", "Done", "100")),
                        message(Close, close, SystemWindow | RecoveryWindow),
                        message(System, report("2", "0", "late", ""))}));
    write(dir, "close-during-animation",
          sequence(No, {message(System, report("2", "0", "Checking", "")),
                        message(Recovery, report("1", "0", "Preparing", "")),
                        message(Close, close, SystemWindow | RecoveryWindow),
                        message(Recovery, report("2", "0", "Restoring", ""))}));
    write(dir, "close-during-question",
          sequence(Yes, {message(Camera, report("2", "0", "Update done", "100")),
                         message(Close, close, CameraWindow),
                         message(Camera, report("1", "0", "after close", "100"))}));
    write(dir, "close-then-reports",
          sequence(No, {message(Close, close), message(Camera, report("2", "0", "x", "100")),
                        message(System, report("4", "0", "x", "100")),
                        message(Recovery, report("3", "0", "x", "100")), message(Close, close)}));
    QByteArray deep;
    for (int i = 0; i < 2000; ++i)
        deep.append('[');
    write(dir, "deep-nesting", sequence(No, {message(Recovery, deep), message(Camera, deep)}));
    QJsonObject extra = QJsonDocument::fromJson(report("3", "0", "dup", "100")).object();
    extra.insert(QStringLiteral("list"), QJsonArray{1, 2, 3});
    write(dir, "duplicate-keys-and-extras",
          sequence(No, {message(Recovery, "{\"type\":\"3\",\"type\":\"1\",\"errorcode\":\"0\","
                                          "\"progress\":\"100\",\"message\":\"dup\"}"),
                        message(Recovery, QJsonDocument(extra).toJson())}));
}

QByteArray remainingLength(int length)
{
    QByteArray out;
    do {
        char digit = char(length % 128);
        length /= 128;
        if (length > 0)
            digit = char(digit | 0x80);
        out.append(digit);
    } while (length > 0);
    return out;
}

QByteArray publish(const QByteArray &topic, const QByteArray &payload, int qos = 0)
{
    QByteArray body;
    body.append(char(topic.size() >> 8)).append(char(topic.size() & 0xFF)).append(topic);
    if (qos > 0)
        body.append(char(0x00)).append(char(0x01)); // packet identifier
    body.append(payload);
    return QByteArray(1, char(0x30 | (qos << 1))) + remainingLength(body.size()) + body;
}

// The MQTT fuzzer's framing: a flags byte, a piece size byte, then the broker's bytes.
QByteArray brokerSends(int flags, int piece, const QByteArray &bytes)
{
    return QByteArray(1, char(flags)) + QByteArray(1, char(piece)) + bytes;
}

void mqtt(const QString &dir)
{
    enum {
        ConnAck = 0x01,
        InPieces = 0x02,
        CloseAfter = 0x04,
        UseClient = 0x08,
        Waits = 0x10,
        Deletes = 0x20
    };
    const QByteArray recoveryReport =
            publish("TalixTools_out/recovery_file_system", report("1", "0", "Preparing", ""));
    const QByteArray cameraReport =
            publish("TalixTools_out/update_camera_fw", report("1", "0", "Receiving", "10"));
    write(dir, "connack-only", brokerSends(ConnAck, 0, QByteArray()));
    write(dir, "reports", brokerSends(ConnAck | UseClient, 0, recoveryReport + cameraReport));
    write(dir, "reports-in-pieces",
          brokerSends(ConnAck | InPieces, 0, recoveryReport + cameraReport + recoveryReport));
    write(dir, "reports-then-close",
          brokerSends(ConnAck | CloseAfter, 0, cameraReport + recoveryReport));
    write(dir, "refused", brokerSends(CloseAfter, 0, QByteArray::fromHex("20020005")));
    write(dir, "no-connack", brokerSends(CloseAfter, 0, cameraReport));
    write(dir, "garbage",
          brokerSends(ConnAck | CloseAfter, 0, QByteArray::fromHex("deadbeef00ff")));
    // Declares the largest packet MQTT allows, then sends nothing of it.
    write(dir, "huge-length", brokerSends(ConnAck, 0, QByteArray::fromHex("30ffffff7f0000")));
    write(dir, "length-too-long",
          brokerSends(ConnAck | CloseAfter, 0, QByteArray::fromHex("30ffffffff7f")));
    write(dir, "bad-utf8-topic",
          brokerSends(ConnAck, 0, publish("TalixTools_out/\xC3\x28", "{}") + cameraReport));
    write(dir, "empty-topic-and-payload", brokerSends(ConnAck, 0, publish("", "")));
    write(dir, "qos1-and-qos2",
          brokerSends(ConnAck | UseClient, 0,
                      publish("TalixTools_out/recovery_file_system", "{}", 1) +
                              publish("TalixTools_out/recovery_file_system", "{}", 2)));
    write(dir, "other-packets",
          brokerSends(ConnAck | UseClient, 0,
                      QByteArray::fromHex("9003000100d000200200004000020001b0020001")));
    write(dir, "handler-deletes-client",
          brokerSends(ConnAck | Deletes, 0, cameraReport + recoveryReport + cameraReport));
    write(dir, "handler-waits",
          brokerSends(ConnAck | Waits | InPieces | CloseAfter, 7,
                      cameraReport + recoveryReport + cameraReport));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    discovery(root + QStringLiteral("/discovery"));
    search(root + QStringLiteral("/search"));
    reports(root + QStringLiteral("/report"));
    mqtt(root + QStringLiteral("/mqtt"));
    return g_ok ? 0 : 1;
}
