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

} // namespace

// Discovery frames, CRC-16 and report parsing against independently built vectors.
class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void fixedValues()
    {
        // The judge first: the published check value of CRC-16/MODBUS, the request FA 01 00 00
        // 3C 61.
        QCOMPARE(ReferenceFrame::crc16(reinterpret_cast<const uchar *>("123456789"), 9), 0x4B37);
        QCOMPARE(ReferenceFrame::request(), QByteArray::fromHex("FA0100003C61"));
        // Every table entry and the longest length the 16-bit count allows.
        QByteArray data = byteRange(0, 256);
        QRandomGenerator rng(0x7A11C5);
        while (data.size() < 65535)
            data.append(char(rng.bounded(256)));
        for (int length : {0, 1, 256, 65535}) {
            uchar low = 0, high = 0;
            const auto *in = reinterpret_cast<const uchar *>(data.constData());
            FrameCheck().Crc16(in, quint16(length), &low, &high);
            QCOMPARE((high << 8) | low, int(ReferenceFrame::crc16(in, length)));
        }
        // Every other test hands the windows loopback ports; the product uses the boxes' own.
        const Endpoints e;
        QCOMPARE((QList<int>{e.discoveryBindPort, e.discoveryTargetPort, e.brokerPort, e.streamPort,
                             e.loginPort}),
                 (QList<int>{6999, 6999, 1883, 8000, 8888}));
        QCOMPARE(e.discoveryAddress, QStringLiteral("255.255.255.255"));
    }

    void checkFrame_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("accepted");

        // Whole frames with a wrong CRC, head or length byte are seeds of the discovery fuzzer,
        // which judges them against the reference; here what a 105-byte datagram does not show.
        QTest::newRow("smallest frame") << sealed(QByteArray::fromHex("FA01000000")) << 5 << true;
        // Shorter buffers than the length passed: rejected on the bytes that exist, before the CRC
        // reads the rest (AddressSanitizer sees any overread).
        QTest::newRow("start byte tested first") << QByteArray::fromHex("FB") << 105 << false;
        QTest::newRow("command byte tested second") << QByteArray::fromHex("FA02") << 105 << false;
        QTest::newRow("length byte tested before the CRC")
                << QByteArray::fromHex("FA0163") << 105 << false;
        for (int length = 0; length < 5; ++length)
            QTest::addRow("%d bytes", length)
                    << QByteArray::fromHex("FA010000").left(length) << length << false;
        // 261 - 5 = 256 does not fit the length byte; a frame claiming 0 must not pass as 256.
        QTest::newRow("length byte does not wrap")
                << sealed(QByteArray::fromHex("FA0100") + QByteArray(258, 'x')) << 261 << false;
    }

    void checkFrame()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, length);
        QFETCH(bool, accepted);

        const std::vector<uchar> exact(frame.begin(), frame.end()); // an overread leaves the block
        QCOMPARE(FrameCheck().CheckFrame(exact.data(), quint16(length), 0xFA, 0x01), accepted);
        if (length == frame.size())
            QCOMPARE(Discovery::decodeReply(frame).isEmpty(), !accepted || length != 105);
    }

    void reply_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QByteArray>("mac");
        QTest::addColumn<QList<QByteArray>>("texts"); // SN, name, camera type, OS, camera FW
        QTest::addColumn<QStringList>("row");

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

    void reply()
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
        const Discovery::DeviceRecord record{
                QHostAddress(ip), mac, l1(0), l1(1), l1(2), l1(3), l1(4)};
        QCOMPARE(Discovery::encodeReply(record), frame); // what the box simulator sends
    }

    void updateRequest()
    {
        UpdateRequest::Fields fields;
        fields.clientIp = QStringLiteral("192.168.1.5");
        fields.fileName = QStringLiteral("sys fw.img");
        fields.bufferSize = 2097152;
        fields.fileSize = qint64(5) << 30;
        fields.md5Hex = "0123456789abcdef0123456789abcdef";
        QCOMPARE(UpdateRequest::body(fields), // every value a JSON string
                 QByteArray(R"({"buffer_size":"2097152","client_ip":"192.168.1.5",)"
                            R"("file_md5":"0123456789abcdef0123456789abcdef",)"
                            R"("file_name":"sys fw.img","file_size":"5368709120"})"));
    }

    void fallbackClientIp_data()
    {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QString>("expected");
        QTest::newRow("last IPv4 that is not 127.0.0.1")
                << QStringList{"10.0.0.2", "127.0.0.1", "192.168.1.5", "::1"} << "192.168.1.5";
        QTest::newRow("loopback and IPv6 only") << QStringList{"127.0.0.1", "fe80::1"} << QString();
    }

    void fallbackClientIp()
    {
        QFETCH(QStringList, addresses);
        QFETCH(QString, expected);
        QList<QHostAddress> list;
        for (const QString &a : addresses)
            list << QHostAddress(a);
        QCOMPARE(UpdateRequest::fallbackClientIp(list), expected);
    }

    void parseDeviceReport_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("errorText");
        QTest::addColumn<QStringList>("texts"); // type, errorcode, message, progress

        const int report = ParsedReport::Report;
        const int parseError = ParsedReport::ParseError;
        const QStringList none{"", "", "", ""};
        QTest::newRow("all members as strings")
                << QByteArray(
                           R"({"type":"1","errorcode":"0","message":"Uploading","progress":"42"})")
                << report << QString() << QStringList{"1", "0", "Uploading", "42"};
        QTest::newRow("other JSON types read as empty text")
                << QByteArray(R"({"type":1,"errorcode":null,"message":[1],"progress":{"a":"1"}})")
                << report << QString() << none;
        QTest::newRow("missing members, texts kept exactly, others ignored")
                << QByteArray(R"({"progress":"100.0","type":"2 ","x":"y"})") << report << QString()
                << QStringList{"2 ", "", "", "100.0"};
        QTest::newRow("array") << QByteArray(R"([{"type":"1"}])") << int(ParsedReport::NotObject)
                               << QString() << none;
        QTest::newRow("truncated") << QByteArray(R"({"type":"1","progress":"5)") << parseError
                                   << "unterminated string" << none;
        for (int length : {1024, 1025, 4 << 20}) {
            QTest::addRow("message of %d characters", length)
                    << "{\"message\":\"" + QByteArray(length, 'm') + "\"}" << report << QString()
                    << QStringList{"", "", QString(1024, QLatin1Char('m')), ""}; // the cap is 1024
        }
    }

    void parseDeviceReport()
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

    void reportProgressValue_data()
    {
        QTest::addColumn<QString>("progress");
        QTest::addColumn<int>("value");

        QTest::newRow("negative") << "-5" << -5;
        QTest::newRow("fraction") << "99.5" << 0;
    }

    void reportProgressValue()
    {
        QFETCH(QString, progress);
        QFETCH(int, value);
        QCOMPARE(ReportProgressValue(progress), value);
    }
};

QTEST_APPLESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
