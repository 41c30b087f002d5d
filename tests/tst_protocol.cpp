#include "deviceinfoparse.h"
#include "devicereport.h"
#include "discovery.h"
#include "endpoints.h"
#include "framecheck.h"
#include "referenceframe.h"
#include "updaterequest.h"

#include <QRandomGenerator>
#include <QtTest>

#include <vector>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray byteRange(int first, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(char(first + i));
    return out;
}

QByteArray sealed(QByteArray frame)
{
    ReferenceFrame::seal(&frame);
    return frame;
}

// A valid reply with byte `index` set to `value` and the CRC made right again.
QByteArray withByte(int index, int value)
{
    QByteArray frame = ReferenceFrame::reply(QStringLiteral("192.168.1.20"));
    frame[index] = char(value);
    return sealed(frame);
}

} // namespace

// Discovery frames, CRC-16 and report parsing against independently built vectors.
class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void fixedValues();
    void crc16_data();
    void crc16();
    void checkFrame_data();
    void checkFrame();
    void reply_data();
    void reply();
    void updateRequest_data();
    void updateRequest();
    void fallbackClientIp_data();
    void fallbackClientIp();
    void parseDeviceReport_data();
    void parseDeviceReport();
    void reportProgressValue_data();
    void reportProgressValue();
};

void tst_Protocol::fixedValues()
{
    QCOMPARE(Discovery::request(), ReferenceFrame::request());
    // Every other test hands the windows loopback ports; the product uses the boxes' own.
    const Endpoints e;
    QCOMPARE(e.discoveryBindPort, quint16(6999));
    QCOMPARE(e.discoveryAddress, QStringLiteral("255.255.255.255"));
    QCOMPARE(e.discoveryTargetPort, quint16(6999));
    QCOMPARE(e.brokerPort, quint16(1883));
    QCOMPARE(e.streamPort, quint16(8000));
    QCOMPARE(e.loginPort, quint16(8888));
}

void tst_Protocol::crc16_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected"); // -1: what the bitwise reference computes

    QTest::newRow("check value of 123456789") << QByteArray("123456789") << 0x4B37;
    QTest::newRow("discovery request head") << bytes({0xFA, 0x01, 0x00, 0x00}) << 0x3C61;
    QTest::newRow("empty input keeps the start value") << QByteArray() << 0xFFFF;
    QTest::newRow("one zero byte") << QByteArray(1, '\0') << 0x40BF;
    QTest::newRow("every byte value") << byteRange(0, 256) << -1;
    QByteArray noise(65535, Qt::Uninitialized); // the longest length the 16-bit count allows
    QRandomGenerator rng(0x7A11C5);
    for (char &c : noise)
        c = char(rng.bounded(256));
    QTest::newRow("65535 random bytes") << noise << -1;
}

void tst_Protocol::crc16()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);

    const auto *in = reinterpret_cast<const uchar *>(data.constData());
    if (expected < 0)
        expected = ReferenceFrame::crc16(in, data.size());
    QCOMPARE(int(ReferenceFrame::crc16(in, data.size())), expected); // the judge agrees too
    uchar low = 0;
    uchar high = 0;
    FrameCheck().Crc16(in, quint16(data.size()), &low, &high);
    QCOMPARE(int(high), expected >> 8);
    QCOMPARE(int(low), expected & 0xFF);
}

void tst_Protocol::checkFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");

    const QByteArray valid = ReferenceFrame::reply(QStringLiteral("192.168.1.20"));
    QTest::newRow("valid reply") << valid << 105 << true;
    QByteArray swapped = valid;
    swapped[103] = valid.at(104);
    swapped[104] = valid.at(103);
    QVERIFY(swapped != valid);
    QTest::newRow("CRC stored low byte first") << swapped << 105 << false;
    QByteArray flipped = valid;
    flipped[104] = char(flipped.at(104) ^ 0x01);
    QTest::newRow("CRC off by one bit") << flipped << 105 << false;
    QByteArray corrupted = valid;
    corrupted[40] = char(corrupted.at(40) ^ 0x80);
    QTest::newRow("record byte corrupted") << corrupted << 105 << false;
    // Only the checked byte is wrong: the CRC is made right over the altered frame.
    for (int lengthByte : {0, 99, 101, 105, 0xFF})
        QTest::addRow("length byte %d", lengthByte) << withByte(2, lengthByte) << 105 << false;
    QTest::newRow("start byte FB") << withByte(0, 0xFB) << 105 << false;
    QTest::newRow("command byte 02") << withByte(1, 0x02) << 105 << false;
    QTest::newRow("smallest frame") << sealed(bytes({0xFA, 0x01, 0, 0, 0})) << 5 << true;
    QTest::newRow("own request") << ReferenceFrame::request() << 6 << false;
    // Shorter buffers than the length passed: rejected on the bytes that exist, before the CRC
    // reads the rest (AddressSanitizer sees any overread).
    QTest::newRow("start byte tested first") << bytes({0xFB}) << 105 << false;
    QTest::newRow("command byte tested second") << bytes({0xFA, 0x02}) << 105 << false;
    QTest::newRow("length byte tested before the CRC") << bytes({0xFA, 0x01, 99}) << 105 << false;
    for (int length = 0; length < 5; ++length)
        QTest::addRow("%d bytes", length)
                << bytes({0xFA, 0x01, 0, 0}).left(length) << length << false;
    // 261 - 5 = 256 does not fit the length byte; a frame claiming 0 must not pass as 256.
    QTest::newRow("length byte does not wrap")
            << sealed(bytes({0xFA, 0x01, 0}) + QByteArray(258, 'x')) << 261 << false;
}

void tst_Protocol::checkFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, length);
    QFETCH(bool, accepted);

    const std::vector<uchar> exact(frame.begin(), frame.end()); // an overread leaves the block
    QCOMPARE(FrameCheck().CheckFrame(exact.data(), quint16(length), 0xFA, 0x01), accepted);
    if (length == frame.size())
        QCOMPARE(Discovery::decodeReply(frame).isEmpty(), !accepted || length != 105);
}

void tst_Protocol::reply_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QByteArray>("mac");
    QTest::addColumn<QList<QByteArray>>("texts"); // SN, name, camera type, OS, camera FW
    QTest::addColumn<QStringList>("row");

    QTest::newRow("typical box") << "192.168.1.20" << QByteArray::fromHex("000A1BFF30C4")
                                 << QList<QByteArray>{"TX2024000123", "Talix-Box", "IMX477",
                                                      "1.2.3", "CAM-5.0.1"}
                                 << QStringList{"192.168.1.20", "00:0A:1B:FF:30:C4",
                                                "TX2024000123", "Talix-Box",
                                                "IMX477",       "1.2.3",
                                                "CAM-5.0.1"};
    QTest::newRow("MAC upper case, highest bytes, empty texts")
            << "255.255.255.255" << QByteArray::fromHex("FFABCDEF0F00")
            << QList<QByteArray>{"", "", "", "", ""}
            << QStringList{"255.255.255.255", "FF:AB:CD:EF:0F:00", "", "", "", "", ""};
    // Nothing ends a text but the field's end; the bytes 0x80 to 0xFF appear across them.
    const QList<QByteArray> latin{byteRange(0x80, 20), byteRange(0x94, 20), byteRange(0xA8, 20),
                                  byteRange(0xBC, 10), byteRange(0xEC, 20)};
    QStringList latinRow{"10.0.0.5", "00:1A:2B:3C:4D:5E"};
    for (const QByteArray &text : latin)
        latinRow << QString::fromLatin1(text);
    QTest::newRow("full fields of Latin-1 bytes")
            << "10.0.0.5" << QByteArray::fromHex("001A2B3C4D5E") << latin << latinRow;
    QTest::newRow("texts end at the first zero or are cut to their field")
            << "10.0.0.5" << QByteArray::fromHex("001A2B3C4D5E")
            << QList<QByteArray>{"ABCDEFGHIJKLMNOPQRSTUVWXYZ", QByteArray("CAM\0xyz", 7),
                                 QByteArray("\0009.9", 4), "0123456789A", "fw"}
            << QStringList{"10.0.0.5",
                           "00:1A:2B:3C:4D:5E",
                           "ABCDEFGHIJKLMNOPQRST",
                           "CAM",
                           "",
                           "0123456789",
                           "fw"};
}

void tst_Protocol::reply()
{
    QFETCH(QString, ip);
    QFETCH(QByteArray, mac);
    QFETCH(QList<QByteArray>, texts);
    QFETCH(QStringList, row);

    const QByteArray frame =
            ReferenceFrame::reply(ip, mac, texts[0], texts[1], texts[2], texts[3], texts[4]);
    QCOMPARE(ReferenceFrame::row(reinterpret_cast<const uchar *>(frame.constData())), row);
    QCOMPARE(Discovery::decodeReply(frame), row);
    const auto l1 = [&texts](int i) {
        return QString::fromLatin1(texts[i].data(), texts[i].size());
    };
    const Discovery::DeviceRecord record{QHostAddress(ip), mac, l1(0), l1(1), l1(2), l1(3), l1(4)};
    QCOMPARE(Discovery::encodeReply(record), frame); // what the box simulator sends
}

void tst_Protocol::updateRequest_data()
{
    QTest::addColumn<qint64>("bufferSize");
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("camera image")
            << qint64(1048576) << qint64(123)
            << QByteArray(R"({"buffer_size":"1048576","client_ip":"192.168.1.5",)"
                          R"("file_md5":"0123456789abcdef0123456789abcdef",)"
                          R"("file_name":"cam fw.bin","file_size":"123"})");
    QTest::newRow("system image of 5 GiB")
            << qint64(2097152) << qint64(5) * 1024 * 1024 * 1024
            << QByteArray(R"({"buffer_size":"2097152","client_ip":"192.168.1.5",)"
                          R"("file_md5":"0123456789abcdef0123456789abcdef",)"
                          R"("file_name":"cam fw.bin","file_size":"5368709120"})");
}

void tst_Protocol::updateRequest()
{
    QFETCH(qint64, bufferSize);
    QFETCH(qint64, fileSize);
    QFETCH(QByteArray, body);

    UpdateRequest::Fields fields;
    fields.clientIp = QStringLiteral("192.168.1.5");
    fields.fileName = QStringLiteral("cam fw.bin");
    fields.bufferSize = bufferSize;
    fields.fileSize = fileSize;
    fields.md5Hex = "0123456789abcdef0123456789abcdef";
    QCOMPARE(UpdateRequest::body(fields), body); // every value a JSON string
}

void tst_Protocol::fallbackClientIp_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("expected");
    QTest::newRow("last IPv4 that is not 127.0.0.1")
            << QStringList{"10.0.0.2", "127.0.0.1", "192.168.1.5", "::1"} << "192.168.1.5";
    QTest::newRow("loopback and IPv6 only") << QStringList{"127.0.0.1", "fe80::1"} << QString();
    QTest::newRow("none") << QStringList() << QString();
}

void tst_Protocol::fallbackClientIp()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, expected);
    QList<QHostAddress> list;
    for (const QString &a : addresses)
        list << QHostAddress(a);
    QCOMPARE(UpdateRequest::fallbackClientIp(list), expected);
}

void tst_Protocol::parseDeviceReport_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QStringList>("texts"); // type, errorcode, message, progress

    const int report = ParsedReport::Report;
    const int parseError = ParsedReport::ParseError;
    const QStringList none{"", "", "", ""};
    QTest::newRow("all members as strings")
            << QByteArray(R"({"type":"1","errorcode":"0","message":"Uploading","progress":"42"})")
            << report << QString() << QStringList{"1", "0", "Uploading", "42"};
    QTest::newRow("other JSON types read as empty text")
            << QByteArray(R"({"type":1,"errorcode":null,"message":[1],"progress":{"a":"1"}})")
            << report << QString() << none;
    QTest::newRow("missing members, texts kept exactly, others ignored")
            << QByteArray(R"({"progress":"100.0","type":"2 ","x":"y"})") << report << QString()
            << QStringList{"2 ", "", "", "100.0"};
    QTest::newRow("UTF-8 and escapes")
            << QByteArray("{\"message\":\"Schritt \xC3\xBC\\n\\u00e9\"}") << report << QString()
            << QStringList{"", "", QStringLiteral("Schritt \u00FC\n\u00E9"), ""};
    QTest::newRow("array") << QByteArray(R"([{"type":"1"}])") << int(ParsedReport::NotObject)
                           << QString() << none;
    QTest::newRow("scalar") << QByteArray("42") << parseError << "illegal value" << none;
    QTest::newRow("empty payload") << QByteArray() << parseError << "illegal value" << none;
    QTest::newRow("truncated") << QByteArray(R"({"type":"1","progress":"5)") << parseError
                               << "unterminated string" << none;
    QTest::newRow("garbage after the object") << QByteArray(R"({"type":"1"}x)") << parseError
                                              << "garbage at the end of the document" << none;
    QTest::newRow("invalid UTF-8")
            << QByteArray("{\"message\":\"\xFF\"}") << parseError << "invalid UTF8 string" << none;
    for (int length : {1024, 1025, 4 << 20}) {
        QTest::addRow("message of %d characters", length)
                << "{\"message\":\"" + QByteArray(length, 'm') + "\"}" << report << QString()
                << QStringList{"", "", QString(1024, QLatin1Char('m')), ""}; // the cap is 1024
    }
    QTest::newRow("deeply nested")
            << QByteArray(200000, '[') << parseError << "too deeply nested document" << none;
}

void tst_Protocol::parseDeviceReport()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, kind);
    QFETCH(QString, errorText);
    QFETCH(QStringList, texts);

    const ParsedReport parsed = ParseDeviceReport(payload);
    QCOMPARE(int(parsed.kind), kind);
    QCOMPARE(parsed.errorText, errorText); // what the operator is shown as the reason
    const DeviceReport &r = parsed.report;
    QCOMPARE((QStringList{r.type, r.errorcode, r.message, r.progress}), texts);
}

void tst_Protocol::reportProgressValue_data()
{
    QTest::addColumn<QString>("progress");
    QTest::addColumn<int>("value");

    QTest::newRow("100") << "100" << 100;
    QTest::newRow("leading zeros") << "007" << 7;
    QTest::newRow("negative") << "-5" << -5;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("words") << "half" << 0;
    QTest::newRow("fraction") << "99.5" << 0;
    QTest::newRow("hexadecimal is not base 10") << "0x10" << 0;
    QTest::newRow("beyond int") << "99999999999" << 0;
}

void tst_Protocol::reportProgressValue()
{
    QFETCH(QString, progress);
    QFETCH(int, value);
    QCOMPARE(ReportProgressValue(progress), value);
}

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
