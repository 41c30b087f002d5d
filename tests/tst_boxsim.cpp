// The simulated box on loopback: its discovery replies byte for byte, and its reports for
// updates and recoveries as seen through a real mosquitto broker.

#include "boxsimprocess.h"
#include "framecheck.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "mqtttopics.h"
#include "referenceframe.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

namespace {

using Frames = QList<QByteArray>;
using Reports = QList<QByteArray>;

const QByteArray Request = QByteArray::fromHex("fa0100003c61");

// A reply as the protocol lays it out, CRC high byte first.
QByteArray replyFrame(const QByteArray &ip4, const QByteArray &mac, const QByteArray &sn,
                      const QByteArray &name, const QByteArray &type, const QByteArray &os,
                      const QByteArray &fw)
{
    return ReferenceFrame::reply(reinterpret_cast<const uchar *>(ip4.constData()),
                                 reinterpret_cast<const uchar *>(mac.constData()), sn, name, type,
                                 os, fw);
}

const QStringList Identity = {QStringLiteral("--ip"),          QStringLiteral("10.1.2.3"),
                              QStringLiteral("--mac"),         QStringLiteral("00:1A:2B:3C:4D:5E"),
                              QStringLiteral("--sn"),          QStringLiteral("SN-0042"),
                              QStringLiteral("--name"),        QStringLiteral("box one"),
                              QStringLiteral("--camera-type"), QStringLiteral("CAM AB"),
                              QStringLiteral("--os-version"),  QStringLiteral("OS 1.2"),
                              QStringLiteral("--camera-fw"),   QStringLiteral("FW 3.4")};

QByteArray identityFrame(const QByteArray &ip4 = QByteArray::fromHex("0a010203"))
{
    return replyFrame(ip4, QByteArray::fromHex("001a2b3c4d5e"), "SN-0042", "box one", "CAM AB",
                      "OS 1.2", "FW 3.4");
}

QByteArray withCrc(QByteArray frame)
{
    ReferenceFrame::seal(&frame);
    return frame;
}

// Options that keep a box on loopback and free ports; port 0 for a box without a broker.
QStringList loopbackOptions(quint16 brokerPort)
{
    if (brokerPort == 0)
        return {QStringLiteral("--discovery-bind"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--discovery-port"), QStringLiteral("0"),
                QStringLiteral("--tcp-bind"),       QStringLiteral("127.0.0.1"),
                QStringLiteral("--tcp-port"),       QStringLiteral("0"),
                QStringLiteral("--no-broker")};
    return {QStringLiteral("--discovery-bind"),  QStringLiteral("127.0.0.1"),
            QStringLiteral("--discovery-port"),  QStringLiteral("0"),
            QStringLiteral("--tcp-bind"),        QStringLiteral("127.0.0.1"),
            QStringLiteral("--tcp-port"),        QStringLiteral("0"),
            QStringLiteral("--broker-port"),     QString::number(brokerPort),
            QStringLiteral("--report-interval"), QStringLiteral("5")};
}

QByteArray updateRequest(qint64 size, const QByteArray &md5, const QByteArray &bufferSize)
{
    QJsonObject o;
    o.insert(QStringLiteral("client_ip"), QStringLiteral("127.0.0.1"));
    o.insert(QStringLiteral("file_name"), QStringLiteral("image.bin"));
    o.insert(QStringLiteral("buffer_size"), QString::fromLatin1(bufferSize));
    o.insert(QStringLiteral("file_size"), QString::number(size));
    o.insert(QStringLiteral("file_md5"), QString::fromLatin1(md5));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray randomBytes(int n)
{
    QByteArray data(n, '\0');
    for (char &c : data)
        c = char(QRandomGenerator::global()->bounded(256));
    return data;
}

} // namespace

// Drives talix-boxsim as a separate process over real loopback sockets and a real broker.
class BoxSimTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void discoveryReply_data();
    void discoveryReply();
    void discoveryIgnoresOtherDatagrams();
    void updateReports_data();
    void updateReports();
    void recoveryReports_data();
    void recoveryReports();
    void powerCommandsLogged_data();
    void powerCommandsLogged();
    void acceptPolicy_data();
    void acceptPolicy();
    void extrasOnRequest();
    void garbageOnStream();

private:
    // A client of the test's broker that has subscribed to every report topic; fails the
    // test when it cannot.
    void connectObserver(MqttClient *client, const MosquittoBroker &broker,
                         QList<QPair<QString, QByteArray>> *received);
};

void BoxSimTest::initTestCase()
{
    QCOMPARE(ReferenceFrame::crc16(reinterpret_cast<const uchar *>("123456789"), 9),
             quint16(0x4B37));
    QVERIFY2(QFile::exists(BoxSimProcess::defaultExecutable()),
             qPrintable(BoxSimProcess::defaultExecutable()));
}

void BoxSimTest::discoveryReply_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Frames>("expected");
    QTest::addColumn<int>("acceptedCount");

    const QByteArray valid = identityFrame();
    QByteArray badCrc = valid;
    badCrc[104] = char(badCrc.at(104) ^ 0x5A);
    QByteArray swapped = valid;
    swapped[103] = valid.at(104);
    swapped[104] = valid.at(103);
    QByteArray wrongLength = valid;
    wrongLength[2] = char(99);
    QByteArray wrongHead = valid;
    wrongHead[1] = char(0x02);

    const QStringList mode = {QStringLiteral("--discovery")};
    QTest::newRow("normal") << QStringList() << Frames{valid} << 1;
    QTest::newRow("bad crc") << mode + QStringList{"bad-crc"} << Frames{badCrc} << 0;
    QTest::newRow("crc low byte first")
            << mode + QStringList{"swapped-crc"} << Frames{swapped} << 0;
    QTest::newRow("wrong length byte")
            << mode + QStringList{"wrong-length"} << Frames{withCrc(wrongLength)} << 0;
    QTest::newRow("wrong head") << mode + QStringList{"wrong-head"} << Frames{withCrc(wrongHead)}
                                << 0;
    QTest::newRow("104 bytes") << mode + QStringList{"short"} << Frames{valid.left(104)} << 0;
    QTest::newRow("106 bytes") << mode + QStringList{"long"} << Frames{valid + QByteArray(1, '\0')}
                               << 0;
    QTest::newRow("three duplicates") << mode + QStringList{"duplicate", "--duplicates", "3"}
                                      << Frames{valid, valid, valid} << 3;
    QTest::newRow("record ip not its own")
            << mode + QStringList{"other-ip", "--other-ip", "192.168.1.20"}
            << Frames{identityFrame(QByteArray::fromHex("c0a80114"))} << 1;
    QTest::newRow("several modes in order")
            << mode + QStringList{"bad-crc,normal"} << Frames{badCrc, valid} << 1;
    QTest::newRow("every broken mode")
            << mode + QStringList{"bad-crc,swapped-crc,wrong-length,wrong-head,short,long"}
            << Frames{badCrc,
                      swapped,
                      withCrc(wrongLength),
                      withCrc(wrongHead),
                      valid.left(104),
                      valid + QByteArray(1, '\0')}
            << 0;
    QTest::newRow("silent") << mode + QStringList{"silent"} << Frames{} << 0;
    QTest::newRow("burst counts addresses and macs")
            << mode + QStringList{"burst", "--burst-count", "3"}
            << Frames{valid,
                      replyFrame(QByteArray::fromHex("0a010204"),
                                 QByteArray::fromHex("001a2b3c4d5f"), "SN-0042", "box one",
                                 "CAM AB", "OS 1.2", "FW 3.4"),
                      replyFrame(QByteArray::fromHex("0a010205"),
                                 QByteArray::fromHex("001a2b3c4d60"), "SN-0042", "box one",
                                 "CAM AB", "OS 1.2", "FW 3.4")}
            << 3;
    // Text fields: a text that fills its field has no terminator, a longer one is cut.
    QTest::newRow("full and overlong texts")
            << QStringList{"--name", "ABCDEFGHIJKLMNOPQRST", "--os-version", "0123456789XYZ"}
            << Frames{replyFrame(QByteArray::fromHex("0a010203"),
                                 QByteArray::fromHex("001a2b3c4d5e"), "SN-0042",
                                 "ABCDEFGHIJKLMNOPQRST", "CAM AB", "0123456789", "FW 3.4")}
            << 1;
}

void BoxSimTest::discoveryReply()
{
    QFETCH(QStringList, options);
    QFETCH(Frames, expected);
    QFETCH(int, acceptedCount);

    BoxSimProcess box;
    QVERIFY2(box.start(loopbackOptions(0) + Identity + options, false),
             qPrintable(box.errorOutput()));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QCOMPARE(client.writeDatagram(Request, QHostAddress::LocalHost, box.discoveryPort()), 6);

    const QString logged = box.waitForEvent(QStringLiteral("DISCOVERY"));
    QCOMPARE(BoxSimProcess::field(logged, QStringLiteral("from")),
             QStringLiteral("127.0.0.1:%1").arg(client.localPort()));
    QCOMPARE(BoxSimProcess::field(logged, QStringLiteral("request")), QStringLiteral("valid"));
    // One DISCOVERY_REPLY line per mode, written after its datagrams went out.
    const int modes =
            options.contains(QStringLiteral("--discovery"))
                    ? options.at(options.indexOf(QStringLiteral("--discovery")) + 1).count(',') + 1
                    : 1;
    QTRY_COMPARE_WITH_TIMEOUT(box.events(QStringLiteral("DISCOVERY_REPLY")).size(), modes, 5000);

    Frames received;
    QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                  while (client.hasPendingDatagrams())
                                      received.append(client.receiveDatagram().data());
                                  return received.size();
                              }()),
                              expected.size(), 5000);
    QCOMPARE(received, expected);
    // What the search would list: exactly 105 bytes that pass the frame test.
    int accepted = 0;
    for (const QByteArray &frame : received) {
        if (frame.size() == 105 &&
            FrameCheck().CheckFrame(reinterpret_cast<const uchar *>(frame.constData()), 105, 0xFA,
                                    0x01))
            ++accepted;
    }
    QCOMPARE(accepted, acceptedCount);
}

void BoxSimTest::discoveryIgnoresOtherDatagrams()
{
    BoxSimProcess box;
    QVERIFY(box.start(loopbackOptions(0) + Identity, false));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    // A request with a wrong CRC byte, and a reply sent to the box: neither is answered.
    for (const QByteArray &other : {QByteArray::fromHex("fa0100003c62"), identityFrame()})
        client.writeDatagram(other, QHostAddress::LocalHost, box.discoveryPort());
    client.writeDatagram(Request, QHostAddress::LocalHost, box.discoveryPort());

    QTRY_COMPARE_WITH_TIMEOUT(box.events(QStringLiteral("DISCOVERY")).size(), 3, 5000);
    const QStringList seen = box.events(QStringLiteral("DISCOVERY"));
    QCOMPARE(BoxSimProcess::field(seen.at(0), QStringLiteral("request")), QStringLiteral("other"));
    QCOMPARE(BoxSimProcess::field(seen.at(0), QStringLiteral("payload_hex")),
             QStringLiteral("fa0100003c62"));
    QCOMPARE(BoxSimProcess::field(seen.at(1), QStringLiteral("bytes")), QStringLiteral("105"));
    QCOMPARE(BoxSimProcess::field(seen.at(1), QStringLiteral("request")), QStringLiteral("other"));
    QTRY_VERIFY_WITH_TIMEOUT(client.hasPendingDatagrams(), 5000);
    QCOMPARE(client.receiveDatagram().data(), identityFrame());
    QCOMPARE(box.events(QStringLiteral("DISCOVERY_REPLY")).size(), 1);
    QVERIFY(!client.hasPendingDatagrams());
}

void BoxSimTest::connectObserver(MqttClient *client, const MosquittoBroker &broker,
                                 QList<QPair<QString, QByteArray>> *received)
{
    client->setHostname(broker.address());
    client->setPort(broker.port());
    connect(client, &MqttClient::messageReceived, client,
            [received](const QByteArray &payload, const MqttTopicName &topic) {
                received->append({topic.name(), payload});
            });
    client->connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(client->state(), MqttClient::Connected, 5000);
    QVERIFY(client->subscribe(QStringLiteral("TalixTools_out/#")));
    // Our own probe coming back proves the subscription is in place at the broker.
    client->publish(QStringLiteral("TalixTools_out/probe"), "probe");
    QTRY_VERIFY_WITH_TIMEOUT(!received->isEmpty(), 5000);
    received->clear();
}

void BoxSimTest::updateReports_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("requestTopic");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("sent");           // bytes written to the box, -1: all
    QTest::addColumn<bool>("announceRight"); // request carries the image's own MD5
    QTest::addColumn<QString>("tcpResult");
    QTest::addColumn<QString>("reportTopic");
    QTest::addColumn<Reports>("reports");

    const QString camera = QStringLiteral("TalixTools_in/update_camera_fw");
    const QString system = QStringLiteral("TalixTools_in/update_file_system");
    const QString cameraOut = QStringLiteral("TalixTools_out/update_camera_fw");
    const QString systemOut = QStringLiteral("TalixTools_out/update_file_system");
    const Reports cameraStage1 = {
            R"({"errorcode":"0","message":"Receiving camera fw","progress":"25","type":"1"})",
            R"({"errorcode":"0","message":"Receiving camera fw","progress":"50","type":"1"})",
            R"({"errorcode":"0","message":"Receiving camera fw","progress":"75","type":"1"})",
            R"({"errorcode":"0","message":"Receiving camera fw","progress":"100","type":"1"})"};
    const Reports cameraStage2 = {
            R"({"errorcode":"0","message":"Updating camera fw","progress":"25","type":"2"})",
            R"({"errorcode":"0","message":"Updating camera fw","progress":"50","type":"2"})",
            R"({"errorcode":"0","message":"Updating camera fw","progress":"75","type":"2"})",
            R"({"errorcode":"0","message":"Updating camera fw","progress":"100","type":"2"})"};
    Reports systemStage1 = cameraStage1;
    for (QByteArray &p : systemStage1)
        p.replace("Receiving camera fw", "Receiving file system");
    const QByteArray systemStage2 =
            R"({"errorcode":"0","message":"Checking file system","progress":"","type":"2"})";
    const QByteArray systemStage3 =
            R"({"errorcode":"0","message":"Writing file system","progress":"","type":"3"})";
    const QByteArray systemDone =
            R"({"errorcode":"0","message":"Update file system succeeded, restarting","progress":"100","type":"4"})";

    QTest::newRow("camera success") << QStringList() << camera << 300000 << -1 << true << "ok"
                                    << cameraOut << cameraStage1 + cameraStage2;
    QTest::newRow("system success")
            << QStringList() << system << 300000 << -1 << true << "ok" << systemOut
            << systemStage1 + Reports{systemStage2, systemStage3, systemDone};
    QTest::newRow("empty camera image") << QStringList() << camera << 0 << -1 << true << "ok"
                                        << cameraOut << cameraStage1 + cameraStage2;
    QTest::newRow("md5 mismatch")
            << QStringList() << camera << 300000 << -1 << false << "md5_mismatch" << cameraOut
            << Reports{R"({"errorcode":"3","message":"File MD5 mismatch","progress":"","type":"1"})"};
    QTest::newRow("stream closed short")
            << QStringList() << system << 300000 << 299000 << true << "size_mismatch" << systemOut
            << Reports{R"({"errorcode":"2","message":"File size mismatch","progress":"","type":"1"})"};
    QTest::newRow("box closes half way")
            << QStringList{"--tcp-close-after", "100000"} << camera << 300000 << -1 << true
            << "aborted" << cameraOut
            << Reports{R"({"errorcode":"4","message":"Transfer aborted","progress":"","type":"1"})"};
    QTest::newRow("camera fails in stage 2")
            << QStringList{"--update",         "fail", "--fail-stage",   "2",
                           "--fail-errorcode", "7",    "--fail-message", "Flash write error"}
            << camera << 1000 << -1 << true << "ok" << cameraOut
            << cameraStage1 +
                       Reports{cameraStage2.first(),
                               R"({"errorcode":"7","message":"Flash write error","progress":"25","type":"2"})"};
    QTest::newRow("system malformed in stage 3")
            << QStringList{"--update", "malformed",           "--fail-stage",
                           "3",        "--malformed-payload", R"({"type":"3","errorc)"}
            << system << 1000 << -1 << true << "ok" << systemOut
            << systemStage1 + Reports{systemStage2, R"({"type":"3","errorc)"};
    QTest::newRow("silent box") << QStringList{"--update", "silent"} << camera << 1000 << -1 << true
                                << "ok" << cameraOut << Reports{};
}

void BoxSimTest::updateReports()
{
    QFETCH(QStringList, options);
    QFETCH(QString, requestTopic);
    QFETCH(int, imageSize);
    QFETCH(int, sent);
    QFETCH(bool, announceRight);
    QFETCH(QString, tcpResult);
    QFETCH(QString, reportTopic);
    QFETCH(Reports, reports);

    MosquittoBroker broker;
    QVERIFY(broker.start());
    BoxSimProcess box;
    QVERIFY2(box.start(loopbackOptions(broker.port()) + options, true),
             qPrintable(box.errorOutput()));
    MqttClient observer;
    QList<QPair<QString, QByteArray>> received;
    connectObserver(&observer, broker, &received);
    if (QTest::currentTestFailed())
        return;

    const QByteArray image = randomBytes(imageSize);
    const QByteArray md5 =
            QCryptographicHash::hash(announceRight ? image : image + "x", QCryptographicHash::Md5)
                    .toHex();
    const QByteArray bufferSize =
            requestTopic.endsWith(QLatin1String("camera_fw")) ? "1048576" : "2097152";
    QCOMPARE(observer.publish(requestTopic, updateRequest(imageSize, md5, bufferSize)), 0);
    const QString request = box.waitForEvent(QStringLiteral("UPDATE_REQUEST"));
    QVERIFY(!request.isNull());
    QCOMPARE(BoxSimProcess::field(request, QStringLiteral("file_size")),
             QString::number(imageSize));
    QCOMPARE(BoxSimProcess::field(request, QStringLiteral("buffer_size")),
             QString::fromLatin1(bufferSize));

    QTcpSocket stream;
    stream.connectToHost(QHostAddress::LocalHost, box.tcpPort());
    QVERIFY(stream.waitForConnected(5000));
    const QByteArray payload = sent < 0 ? image : image.left(sent);
    stream.write(payload);
    if (sent >= 0) {
        QTRY_COMPARE_WITH_TIMEOUT(stream.bytesToWrite(), qint64(0), 5000);
        stream.disconnectFromHost();
    }

    const QString result = box.waitForEvent(QStringLiteral("TCP"));
    QCOMPARE(BoxSimProcess::field(result, QStringLiteral("result")), tcpResult);
    QCOMPARE(BoxSimProcess::field(result, QStringLiteral("expected_md5")),
             QString::fromLatin1(md5));
    if (tcpResult == QLatin1String("ok")) {
        QCOMPARE(BoxSimProcess::field(result, QStringLiteral("bytes")), QString::number(imageSize));
        QCOMPARE(BoxSimProcess::field(result, QStringLiteral("md5")), QString::fromLatin1(md5));
    }

    // Every planned report has been published once the box logged its last SEND.
    QTRY_COMPARE_WITH_TIMEOUT(box.events(QStringLiteral("SEND")).size(), reports.size(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), reports.size(), 5000);
    Reports payloads;
    for (const auto &message : received) {
        QCOMPARE(message.first, reportTopic);
        payloads.append(message.second);
    }
    QCOMPARE(payloads, reports);
}

void BoxSimTest::recoveryReports_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<Reports>("reports");

    const QByteArray stage1 =
            R"({"errorcode":"0","message":"Preparing recovery","progress":"","type":"1"})";
    const QByteArray stage2 =
            R"({"errorcode":"0","message":"Restoring default system","progress":"","type":"2"})";
    const QByteArray stage3 =
            R"({"errorcode":"0","message":"Writing default system","progress":"","type":"3"})";
    const QByteArray done =
            R"({"errorcode":"0","message":"Recovery succeeded, restarting","progress":"100","type":"3"})";
    QTest::newRow("success") << QStringList() << QByteArray("RecoveryDefaultSystem")
                             << Reports{stage1, stage2, stage3, done};
    QTest::newRow("failure in stage 2")
            << QStringList{"--recovery",       "fail", "--fail-stage",   "2",
                           "--fail-errorcode", "9",    "--fail-message", "Disk error"}
            << QByteArray("RecoveryDefaultSystem")
            << Reports{stage1,
                       R"({"errorcode":"9","message":"Disk error","progress":"","type":"2"})"};
    QTest::newRow("long message")
            << QStringList{"--recovery",           "fail",  "--fail-stage", "1",
                           "--long-message-chars", "100000"}
            << QByteArray("RecoveryDefaultSystem")
            << Reports{R"({"errorcode":"1","message":")" +
                       QByteArray("Simulated failure ").leftJustified(100000, '.') +
                       R"(","progress":"","type":"1"})"};
}

void BoxSimTest::recoveryReports()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, command);
    QFETCH(Reports, reports);

    MosquittoBroker broker;
    QVERIFY(broker.start());
    BoxSimProcess box;
    QVERIFY(box.start(loopbackOptions(broker.port()) + options, true));
    MqttClient observer;
    QList<QPair<QString, QByteArray>> received;
    connectObserver(&observer, broker, &received);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(observer.publish(QStringLiteral("TalixTools_in/recovery_file_system"), command), 0);
    QVERIFY(!box.waitForEvent(QStringLiteral("RECOVERY_REQUEST")).isNull());
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), reports.size(), 5000);
    for (int i = 0; i < reports.size(); ++i) {
        QCOMPARE(received.at(i).first, QStringLiteral("TalixTools_out/recovery_file_system"));
        QCOMPARE(received.at(i).second, reports.at(i));
    }
}

void BoxSimTest::powerCommandsLogged_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("recvLine");
    QTest::addColumn<QString>("powerLine");

    QTest::newRow("shut down")
            << "TalixTools_in/poweroff" << QByteArray("Shut Down")
            << R"(RECV topic=TalixTools_in/poweroff bytes=9 payload_hex=5368757420446f776e payload="Shut Down")"
            << "POWER command=shutdown valid=1";
    QTest::newRow("restart") << "TalixTools_in/restart" << QByteArray("Restart")
                             << "RECV topic=TalixTools_in/restart bytes=7 "
                                "payload_hex=52657374617274 payload=Restart"
                             << "POWER command=restart valid=1";
    QTest::newRow("shut down with a line end")
            << "TalixTools_in/poweroff" << QByteArray("Shut Down\n")
            << R"(RECV topic=TalixTools_in/poweroff bytes=10 payload_hex=5368757420446f776e0a payload="Shut Down\n")"
            << "POWER command=shutdown valid=0";
    // Zero bytes are logged escaped, not cut off.
    QTest::newRow("zero byte inside")
            << "TalixTools_in/poweroff" << QByteArray("Shut\0Down", 9)
            << R"(RECV topic=TalixTools_in/poweroff bytes=9 payload_hex=5368757400446f776e payload="Shut\x00Down")"
            << "POWER command=shutdown valid=0";
}

void BoxSimTest::powerCommandsLogged()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QString, recvLine);
    QFETCH(QString, powerLine);

    MosquittoBroker broker;
    QVERIFY(broker.start());
    BoxSimProcess box;
    QVERIFY(box.start(loopbackOptions(broker.port()), true));
    MqttClient sender;
    QList<QPair<QString, QByteArray>> received;
    connectObserver(&sender, broker, &received);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(sender.publish(topic, payload), 0);

    const QString recv = box.waitForEvent(QStringLiteral("RECV"));
    QCOMPARE(recv.section(QStringLiteral(" t_ms="), 0, 0), recvLine);
    QCOMPARE(BoxSimProcess::field(recv, QStringLiteral("payload")),
             QString::fromLatin1(payload.constData(), payload.size()));
    const QString power = box.waitForEvent(QStringLiteral("POWER"));
    QCOMPARE(power.section(QStringLiteral(" t_ms="), 0, 0), powerLine);
    QVERIFY(received.isEmpty()); // a box does not answer power commands
}

void BoxSimTest::acceptPolicy_data()
{
    QTest::addColumn<QString>("policy");
    QTest::newRow("late") << "late";
    QTest::newRow("never") << "never";
}

void BoxSimTest::acceptPolicy()
{
    QFETCH(QString, policy);

    MosquittoBroker broker;
    QVERIFY(broker.start());
    const quint16 tcpPort = freeTcpPort();
    BoxSimProcess box;
    QStringList options = loopbackOptions(broker.port());
    options[options.indexOf(QStringLiteral("--tcp-port")) + 1] = QString::number(tcpPort);
    QVERIFY(box.start(options + QStringList{"--tcp-accept", policy, "--tcp-accept-delay", "400"},
                      true));
    MqttClient observer;
    QList<QPair<QString, QByteArray>> received;
    connectObserver(&observer, broker, &received);
    if (QTest::currentTestFailed())
        return;

    auto refused = [tcpPort] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, tcpPort);
        return !probe.waitForConnected(2000) &&
               probe.error() == QAbstractSocket::ConnectionRefusedError;
    };
    QVERIFY(refused()); // nothing listens before a request

    const QByteArray md5 = QCryptographicHash::hash(QByteArray(), QCryptographicHash::Md5).toHex();
    observer.publish(QStringLiteral("TalixTools_in/update_camera_fw"),
                     updateRequest(0, md5, "1048576"));
    QVERIFY(!box.waitForEvent(QStringLiteral("UPDATE_REQUEST")).isNull());
    QVERIFY(refused()); // still closed right after the request

    if (policy == QLatin1String("never")) {
        QVERIFY(box.waitForEvent(QStringLiteral("TCP_LISTEN"), {}, 1000).isNull());
        QVERIFY(refused());
        return;
    }
    const QString listen = box.waitForEvent(QStringLiteral("TCP_LISTEN"));
    QVERIFY(!listen.isNull());
    const qint64 requestAt =
            BoxSimProcess::field(box.waitForEvent(QStringLiteral("UPDATE_REQUEST")),
                                 QStringLiteral("t_ms"))
                    .toLongLong();
    QVERIFY(BoxSimProcess::field(listen, QStringLiteral("t_ms")).toLongLong() - requestAt >= 400);
    QTcpSocket stream;
    stream.connectToHost(QHostAddress::LocalHost, tcpPort);
    QVERIFY(stream.waitForConnected(5000));
    QCOMPARE(
            BoxSimProcess::field(box.waitForEvent(QStringLiteral("TCP")), QStringLiteral("result")),
            QStringLiteral("ok"));
}

void BoxSimTest::extrasOnRequest()
{
    MosquittoBroker broker;
    QVERIFY(broker.start());
    BoxSimProcess box;
    QVERIFY(box.start(loopbackOptions(broker.port()) +
                              QStringList{"--recovery", "silent", "--flood-rate", "1000",
                                          "--flood-count", "300", "--huge-report-bytes", "10485760",
                                          "--inject", "TalixTools_out/recovery_file_system=[1,2]"},
                      true));
    MqttClient observer;
    QList<QPair<QString, QByteArray>> received;
    connectObserver(&observer, broker, &received);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(observer.publish(QStringLiteral("TalixTools_in/recovery_file_system"),
                              "RecoveryDefaultSystem"),
             0);
    const QString done = box.waitForEvent(QStringLiteral("FLOOD_DONE"));
    QCOMPARE(BoxSimProcess::field(done, QStringLiteral("sent")), QStringLiteral("300"));
    // 300 reports at 1000 a second take about 0.3 s, not less.
    QVERIFY(BoxSimProcess::field(done, QStringLiteral("ms")).toInt() >= 290);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 302, 10000);

    // The huge report and the injected payload go first, in that order, then the flood.
    QCOMPARE(received.at(0).second.size(), 10485760);
    const QJsonObject huge = QJsonDocument::fromJson(received.at(0).second).object();
    QCOMPARE(huge.value(QStringLiteral("type")).toString(), QStringLiteral("1"));
    QCOMPARE(huge.value(QStringLiteral("errorcode")).toString(), QStringLiteral("0"));
    QCOMPARE(received.at(1).second, QByteArray("[1,2]"));
    for (int k = 0; k < 300; ++k) {
        const auto &message = received.at(2 + k);
        QCOMPARE(message.first, QStringLiteral("TalixTools_out/recovery_file_system"));
        const QJsonObject o = QJsonDocument::fromJson(message.second).object();
        QCOMPARE(o.value(QStringLiteral("message")).toString(), QStringLiteral("Flood %1").arg(k));
        QVERIFY(o.value(QStringLiteral("progress")).toString().toInt() < 100);
    }
    // The huge report is logged by its first bytes only.
    const QString sent = box.waitForEvent(QStringLiteral("SEND"));
    QCOMPARE(BoxSimProcess::field(sent, QStringLiteral("bytes")), QStringLiteral("10485760"));
    QCOMPARE(BoxSimProcess::field(sent, QStringLiteral("truncated")), QStringLiteral("1"));
    QVERIFY(sent.size() < 20000);
}

void BoxSimTest::garbageOnStream()
{
    MosquittoBroker broker;
    QVERIFY(broker.start());
    BoxSimProcess box;
    QVERIFY(box.start(loopbackOptions(broker.port()) + QStringList{"--tcp-garbage", "1000"}, true));
    QTcpSocket stream;
    stream.connectToHost(QHostAddress::LocalHost, box.tcpPort());
    QVERIFY(stream.waitForConnected(5000));
    // On accept, and again after each read of what we send.
    QTRY_COMPARE_WITH_TIMEOUT(stream.bytesAvailable(), qint64(1000), 5000);
    stream.write("abc");
    QTRY_COMPARE_WITH_TIMEOUT(stream.bytesAvailable(), qint64(2000), 5000);
    const QByteArray junk = stream.readAll();
    QCOMPARE(junk.left(1000), junk.mid(1000));
    // Without an announced image, what arrives is counted when the peer leaves.
    stream.disconnectFromHost();
    const QString closed = box.waitForEvent(QStringLiteral("TCP_CLOSED"));
    QCOMPARE(BoxSimProcess::field(closed, QStringLiteral("extra")), QStringLiteral("3"));
}

QTEST_GUILESS_MAIN(BoxSimTest)
#include "tst_boxsim.moc"
