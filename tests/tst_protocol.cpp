#include "deviceinfoparse.h"
#include "devicereport.h"
#include "framecheck.h"
#include "mqtttopics.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QRandomGenerator>
#include <QtTest>

#include <vector>

namespace {

// CRC-16/MODBUS bit by bit, the textbook way, so the table-driven routine is checked against
// an implementation that shares nothing with it.
quint16 referenceCrc(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return crc;
}

// Appends the CRC of `body`, high byte first as the boxes store it.
QByteArray withCrc(const QByteArray &body)
{
    const quint16 crc = referenceCrc(body);
    return body + QByteArray(1, char(crc >> 8)) + QByteArray(1, char(crc & 0xFF));
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

// A text field of `size` bytes: `content` followed by zero bytes.
QByteArray field(const QByteArray &content, int size)
{
    Q_ASSERT(content.size() <= size);
    return content + QByteArray(size - content.size(), '\0');
}

struct Record
{
    QByteArray ip = bytes({192, 168, 1, 20});
    QByteArray mac = bytes({0x00, 0x0A, 0x1B, 0xFF, 0x30, 0xC4});
    QByteArray sn = field("TX2024000123", 20);
    QByteArray name = field("Talix-Box", 20);
    QByteArray camera = field("IMX477", 20);
    QByteArray os = field("1.2.3", 10);
    QByteArray cameraFw = field("CAM-5.0.1", 20);
};

// A complete 105-byte discovery reply, built from the frame layout by hand.
QByteArray reply(const Record &r)
{
    QByteArray body = bytes({0xFA, 0x01, 100});
    body += r.ip + r.mac + r.sn + r.name + r.camera + r.os + r.cameraFw;
    Q_ASSERT(body.size() == 103);
    return withCrc(body);
}

// Each byte as the character of the same code (ISO 8859-1), built without the codec.
QString latin1(const QByteArray &data)
{
    QString out;
    for (const char c : data)
        out.append(QChar(ushort(quint8(c))));
    return out;
}

QByteArray byteRange(int first, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char(first + i));
    return out;
}

} // namespace

// Discovery frames, CRC-16 and report parsing against independently built vectors.
class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void crc16_data();
    void crc16();
    void crc16MatchesBitwiseReference();
    void checkFrame_data();
    void checkFrame();
    void copyDatagram();
    void fieldToString_data();
    void fieldToString();
    void parseDeviceInfo_data();
    void parseDeviceInfo();
    void textPayloads();
    void parseDeviceReport_data();
    void parseDeviceReport();
    void parseDeviceReportSurvivesHostileInput_data();
    void parseDeviceReportSurvivesHostileInput();
    void reportProgressValue_data();
    void reportProgressValue();
};

void tst_Protocol::crc16_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expectedHigh");
    QTest::addColumn<int>("expectedLow");

    QTest::newRow("standard check input 123456789") << QByteArray("123456789") << 0x4B << 0x37;
    QTest::newRow("discovery request head FA 01 00 00")
            << bytes({0xFA, 0x01, 0x00, 0x00}) << 0x3C << 0x61;
    QTest::newRow("empty input keeps the initial value") << QByteArray() << 0xFF << 0xFF;
    QTest::newRow("single zero byte") << QByteArray(1, '\0') << 0x40 << 0xBF;
}

void tst_Protocol::crc16()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expectedHigh);
    QFETCH(int, expectedLow);

    // The reference must agree with the published vectors before it can judge anything else.
    QCOMPARE(int(referenceCrc(data)), (expectedHigh << 8) | expectedLow);

    uchar low = 0;
    uchar high = 0;
    FrameCheck().Crc16(reinterpret_cast<const uchar *>(data.constData()), quint16(data.size()),
                       &low, &high);
    QCOMPARE(int(high), expectedHigh);
    QCOMPARE(int(low), expectedLow);
}

void tst_Protocol::crc16MatchesBitwiseReference()
{
    // Every table entry is reached, and the longest length the 16-bit count allows.
    QRandomGenerator rng(0x7A11C5);
    QList<QByteArray> inputs{byteRange(0, 256), reply(Record()).left(103)};
    for (int size : {1, 2, 7, 105, 4096, 65535}) {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = char(rng.bounded(256));
        inputs << data;
    }
    const FrameCheck check;
    for (const QByteArray &data : inputs) {
        uchar low = 0;
        uchar high = 0;
        check.Crc16(reinterpret_cast<const uchar *>(data.constData()), quint16(data.size()), &low,
                    &high);
        QCOMPARE((int(high) << 8) | low, int(referenceCrc(data)));
    }
}

void tst_Protocol::checkFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("head0");
    QTest::addColumn<int>("head1");
    QTest::addColumn<bool>("accepted");

    const QByteArray valid = reply(Record());
    QTest::newRow("valid reply") << valid << 105 << 0xFA << 0x01 << true;

    QByteArray swapped = valid;
    QVERIFY(swapped.at(103) != swapped.at(104));
    swapped[103] = valid.at(104);
    swapped[104] = valid.at(103);
    QTest::newRow("CRC stored low byte first") << swapped << 105 << 0xFA << 0x01 << false;

    QByteArray badLow = valid;
    badLow[104] = char(badLow.at(104) ^ 0x01);
    QTest::newRow("CRC low byte off by one bit") << badLow << 105 << 0xFA << 0x01 << false;

    QByteArray corrupted = valid;
    corrupted[40] = char(corrupted.at(40) ^ 0x80);
    QTest::newRow("record byte corrupted") << corrupted << 105 << 0xFA << 0x01 << false;

    // Only the checked byte is wrong: the CRC is recomputed over the altered frame.
    for (int lengthByte : {0, 99, 101, 105, 0xFF}) {
        QByteArray body = valid.left(103);
        body[2] = char(lengthByte);
        QTest::addRow("length byte %d with valid CRC", lengthByte)
                << withCrc(body) << 105 << 0xFA << 0x01 << false;
    }
    QByteArray head0 = valid.left(103);
    head0[0] = char(0xFB);
    QTest::newRow("start byte FB with valid CRC") << withCrc(head0) << 105 << 0xFA << 0x01 << false;
    QByteArray head1 = valid.left(103);
    head1[1] = char(0x02);
    QTest::newRow("command byte 02 with valid CRC")
            << withCrc(head1) << 105 << 0xFA << 0x01 << false;

    QTest::newRow("other heads asked for and present")
            << withCrc(bytes({0xAB, 0xCD, 1, 0x55})) << 6 << 0xAB << 0xCD << true;
    QTest::newRow("smallest frame: heads, length byte 0, CRC")
            << withCrc(bytes({0xFA, 0x01, 0})) << 5 << 0xFA << 0x01 << true;
    QTest::newRow("discovery request is not a valid reply-shaped frame")
            << bytes({0xFA, 0x01, 0x00, 0x00, 0x3C, 0x61}) << 6 << 0xFA << 0x01 << false;

    // The buffers below are shorter than the length passed: the frame must be rejected on the
    // bytes that exist, before the CRC reads the rest (AddressSanitizer sees any overread).
    QTest::newRow("start byte tested first") << bytes({0xFB}) << 105 << 0xFA << 0x01 << false;
    QTest::newRow("command byte tested second")
            << bytes({0xFA, 0x02}) << 105 << 0xFA << 0x01 << false;
    QTest::newRow("length byte tested before the CRC")
            << bytes({0xFA, 0x01, 99}) << 105 << 0xFA << 0x01 << false;

    for (int length = 0; length < 5; ++length) {
        QTest::addRow("%d bytes cannot hold a frame", length)
                << bytes({0xFA, 0x01, 0x00, 0xFF}).left(length) << length << 0xFA << 0x01 << false;
    }

    // 261 - 5 = 256 does not fit the length byte; a frame claiming 0 must not pass as 256.
    QByteArray longBody = bytes({0xFA, 0x01, 0x00}) + QByteArray(256, 'x');
    QTest::newRow("length byte does not wrap at 256")
            << withCrc(longBody) << 261 << 0xFA << 0x01 << false;
}

void tst_Protocol::checkFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, length);
    QFETCH(int, head0);
    QFETCH(int, head1);
    QFETCH(bool, accepted);

    // An exactly sized heap block, so that reading past it is caught.
    const std::vector<uchar> exact(frame.begin(), frame.end());
    QCOMPARE(FrameCheck().CheckFrame(exact.data(), quint16(length), uchar(head0), uchar(head1)),
             accepted);
}

void tst_Protocol::copyDatagram()
{
    const QByteArray datagram = reply(Record());
    std::vector<uchar> buffer(datagram.size() + 4, 0xEE);
    QVERIFY(DeviceInfoParse().CopyDatagram(datagram, buffer.data()));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(buffer.data()), datagram.size()), datagram);
    for (size_t i = size_t(datagram.size()); i < buffer.size(); ++i)
        QCOMPARE(int(buffer[i]), 0xEE);

    std::vector<uchar> untouched(4, 0xEE);
    QVERIFY(DeviceInfoParse().CopyDatagram(QByteArray(), untouched.data()));
    QCOMPARE(int(untouched[0]), 0xEE);
}

void tst_Protocol::fieldToString_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    QTest::addColumn<QString>("expected");

    QTest::newRow("stops before the first zero")
            << QByteArray("xxCAM\0yz", 8) << 2 << 7 << QStringLiteral("CAM");
    QTest::newRow("field filled to its last byte") << QByteArray("ABCDEF") << 1 << 4 << "BCDE";
    QTest::newRow("zero in the first byte") << QByteArray("\0BC", 3) << 0 << 2 << QString();
    QTest::newRow("one-byte field") << QByteArray("Q") << 0 << 0 << "Q";
    QTest::newRow("Latin-1 bytes")
            << bytes({0xE9, 0xFF, 0x80, 0xA0}) << 0 << 3 << latin1(bytes({0xE9, 0xFF, 0x80, 0xA0}));
}

void tst_Protocol::fieldToString()
{
    QFETCH(QByteArray, record);
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(QString, expected);

    const std::vector<uchar> exact(record.begin(), record.end());
    QCOMPARE(DeviceInfoParse().FieldToString(exact.data(), first, last), expected);
}

void tst_Protocol::parseDeviceInfo_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("typical box") << reply(Record())
                                 << QStringList{"192.168.1.20", "00:0A:1B:FF:30:C4",
                                                "TX2024000123", "Talix-Box",
                                                "IMX477",       "1.2.3",
                                                "CAM-5.0.1"};

    Record plain;
    plain.ip = bytes({10, 0, 0, 5});
    plain.mac = bytes({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
    QTest::newRow("no leading zeros in the IP, two upper-case digits per MAC byte")
            << reply(plain)
            << QStringList{"10.0.0.5", "00:1A:2B:3C:4D:5E", "TX2024000123", "Talix-Box", "IMX477",
                           "1.2.3",    "CAM-5.0.1"};

    Record extremes;
    extremes.ip = bytes({255, 255, 255, 255});
    extremes.mac = bytes({0xFF, 0xAB, 0xCD, 0xEF, 0x0F, 0x00});
    QTest::newRow("highest byte values")
            << reply(extremes) << QStringList{"255.255.255.255", "FF:AB:CD:EF:0F:00",
                                              "TX2024000123",    "Talix-Box",
                                              "IMX477",          "1.2.3",
                                              "CAM-5.0.1"};

    // Every field filled to its last byte, so nothing terminates a text but the field's end;
    // the bytes 0x80 to 0xFF appear across them.
    Record full;
    full.sn = byteRange(0x80, 20);
    full.name = byteRange(0x94, 20);
    full.camera = byteRange(0xA8, 20);
    full.os = byteRange(0xBC, 10);
    full.cameraFw = byteRange(0xEC, 20); // ends with 0xFF
    QTest::newRow("full fields of Latin-1 bytes 0x80-0xFF")
            << reply(full)
            << QStringList{"192.168.1.20",       "00:0A:1B:FF:30:C4", latin1(full.sn),
                           latin1(full.name),    latin1(full.camera), latin1(full.os),
                           latin1(full.cameraFw)};

    Record ascii;
    ascii.sn = "ABCDEFGHIJKLMNOPQRST";
    ascii.os = "0123456789";
    ascii.cameraFw = "abcdefghijklmnopqrst";
    QTest::newRow("20- and 10-byte fields without terminator")
            << reply(ascii)
            << QStringList{"192.168.1.20", "00:0A:1B:FF:30:C4", "ABCDEFGHIJKLMNOPQRST", "Talix-Box",
                           "IMX477",       "0123456789",        "abcdefghijklmnopqrst"};

    Record cut;
    cut.camera = field(QByteArray("CAM\0xyz", 7), 20);
    cut.name = QByteArray(20, '\0');
    cut.os = field(QByteArray("\0"
                              "9.9",
                              4),
                   10);
    QTest::newRow("text ends at the first zero; zero fields read empty")
            << reply(cut)
            << QStringList{"192.168.1.20", "00:0A:1B:FF:30:C4", "TX2024000123", QString(),
                           "CAM",          QString(),           "CAM-5.0.1"};
}

void tst_Protocol::parseDeviceInfo()
{
    QFETCH(QByteArray, frame);
    QFETCH(QStringList, expected);

    QCOMPARE(frame.size(), 105);
    const std::vector<uchar> exact(frame.begin(), frame.end());
    QVERIFY(FrameCheck().CheckFrame(exact.data(), 105, 0xFA, 0x01));

    QString fields[DeviceInfoParse::FieldCount];
    QVERIFY(DeviceInfoParse().ParseDeviceInfo(exact.data(), fields));
    QCOMPARE(QStringList(std::begin(fields), std::end(fields)), expected);
}

void tst_Protocol::textPayloads()
{
    // Byte for byte what the boxes match on: no terminator, no line end.
    QCOMPARE(Payloads::ShutDown, QByteArray("Shut Down"));
    QCOMPARE(Payloads::ShutDown.size(), 9);
    QCOMPARE(Payloads::Restart.size(), 7);
    QCOMPARE(Payloads::RecoveryDefaultSystem, QByteArray("RecoveryDefaultSystem"));
    QCOMPARE(Payloads::RecoveryDefaultSystem.size(), 21);
}

void tst_Protocol::parseDeviceReport_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QStringList>("texts"); // type, errorcode, message, progress

    const int report = ParsedReport::Report;
    const int notObject = ParsedReport::NotObject;
    const int parseError = ParsedReport::ParseError;

    QTest::newRow("all members as strings")
            << QByteArray(R"({"type":"1","errorcode":"0","message":"Uploading","progress":"42"})")
            << report << QString() << QStringList{"1", "0", "Uploading", "42"};
    QTest::newRow("numbers read as empty text")
            << QByteArray(R"({"type":1,"errorcode":0,"message":"m","progress":100})") << report
            << QString() << QStringList{"", "", "m", ""};
    QTest::newRow("missing members read as empty text")
            << QByteArray(R"({"message":"only this"})") << report << QString()
            << QStringList{"", "", "only this", ""};
    QTest::newRow("null, bool, array and object values read as empty text")
            << QByteArray(R"({"type":null,"errorcode":false,"message":[1],"progress":{"a":"1"}})")
            << report << QString() << QStringList{"", "", "", ""};
    QTest::newRow("texts kept exactly, other members ignored")
            << QByteArray(R"({"errorcode":"00","progress":"100.0","type":"2 ","x":"y"})") << report
            << QString() << QStringList{"2 ", "00", "", "100.0"};
    QTest::newRow("UTF-8 message and escapes")
            << QByteArray("{\"type\":\"3\",\"message\":\"Schritt \xC3\xBC\\n\\u00e9\"}") << report
            << QString() << QStringList{"3", "", QStringLiteral("Schritt \u00FC\n\u00E9"), ""};
    QTest::newRow("empty object") << QByteArray("{}") << report << QString()
                                  << QStringList{"", "", "", ""};

    QTest::newRow("array") << QByteArray(R"([{"type":"1"}])") << notObject << QString()
                           << QStringList{"", "", "", ""};
    QTest::newRow("empty array") << QByteArray("[]") << notObject << QString()
                                 << QStringList{"", "", "", ""};

    // The toolkit's parser is the judge of what is JSON: Qt 5 takes only an object or an array
    // at the top level, so a bare scalar is its "illegal value".
    for (const char *scalar : {"42", "\"1\"", "true", "null"}) {
        QTest::addRow("scalar %s", scalar) << QByteArray(scalar) << parseError << "illegal value"
                                           << QStringList{"", "", "", ""};
    }
    QTest::newRow("truncated report")
            << QByteArray(R"({"type":"1","errorcode":"0","progress":"5)") << parseError
            << "unterminated string" << QStringList{"", "", "", ""};
    QTest::newRow("truncated after a member")
            << QByteArray(R"({"type":"1",)") << parseError << "unterminated object"
            << QStringList{"", "", "", ""};
    QTest::newRow("empty payload")
            << QByteArray() << parseError << "illegal value" << QStringList{"", "", "", ""};
    QTest::newRow("garbage after the object")
            << QByteArray(R"({"type":"1"}x)") << parseError << "garbage at the end of the document"
            << QStringList{"", "", "", ""};
    QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("{\"message\":\"\xFF\"}") << parseError << "invalid UTF8 string"
            << QStringList{"", "", "", ""};
}

void tst_Protocol::parseDeviceReport()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, kind);
    QFETCH(QString, errorText);
    QFETCH(QStringList, texts);

    const ParsedReport parsed = ParseDeviceReport(payload);
    QCOMPARE(int(parsed.kind), kind);
    if (kind == ParsedReport::ParseError) {
        // What the operator is shown is the parser's own description of this input.
        QJsonParseError own;
        QJsonDocument::fromJson(payload, &own);
        QCOMPARE(parsed.errorText, own.errorString());
        QCOMPARE(parsed.errorText, errorText);
    } else {
        QVERIFY(parsed.errorText.isEmpty());
    }
    const DeviceReport &r = parsed.report;
    QCOMPARE((QStringList{r.type, r.errorcode, r.message, r.progress}), texts);
}

void tst_Protocol::parseDeviceReportSurvivesHostileInput_data()
{
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("deeply nested arrays") << QByteArray(200000, '[');
    QTest::newRow("deeply nested objects") << QByteArray("{\"a\":").repeated(100000);
    QTest::newRow("embedded zero bytes") << QByteArray("{\"type\":\"1\0\"}\0\0", 15);
    QTest::newRow("huge string") << "{\"message\":\"" + QByteArray(4 << 20, 'm') + "\"}";
    QTest::newRow("binary noise") << byteRange(0, 256).repeated(64);
}

void tst_Protocol::parseDeviceReportSurvivesHostileInput()
{
    QFETCH(QByteArray, payload);
    // A box can publish anything; parsing must end with one of the three results.
    const ParsedReport parsed = ParseDeviceReport(payload);
    if (parsed.kind == ParsedReport::ParseError)
        QVERIFY(!parsed.errorText.isEmpty());
    else
        QVERIFY(parsed.kind == ParsedReport::Report || parsed.kind == ParsedReport::NotObject);
}

void tst_Protocol::reportProgressValue_data()
{
    QTest::addColumn<QString>("progress");
    QTest::addColumn<int>("value");

    QTest::newRow("100") << "100" << 100;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("leading zeros") << "007" << 7;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("words") << "half" << 0;
    QTest::newRow("decimal fraction") << "99.5" << 0;
    QTest::newRow("hexadecimal is not base 10") << "0x10" << 0;
    QTest::newRow("beyond int") << "99999999999" << 0;
    QTest::newRow("negative") << "-5" << -5;
}

void tst_Protocol::reportProgressValue()
{
    QFETCH(QString, progress);
    QFETCH(int, value);
    QCOMPARE(ReportProgressValue(progress), value);
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
