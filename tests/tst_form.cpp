// The update window from construction to the published request: widgets, local address,
// file choice, Start's checks, the request body on a real broker, and the close guard.

#include "tst_formharness.h"

#include "mosquittobroker.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QFont>
#include <QLineEdit>
#include <QMetaMethod>
#include <QNetworkInterface>
#include <QProgressBar>
#include <QSignalSpy>
#include <QtTest>

namespace {
const QString CameraNote =
        QString::fromUtf8("Note: Please do not disconnect the power of the camera\xef\xbc\x8c"
                          "and it takes about 1 minute to update the camera fw.");
const QString SystemNote =
        QString::fromUtf8("Note: Please do not disconnect the power of the camera\xef\xbc\x8c"
                          "and it takes about 30 minutes to update the system fw.");
const QString CameraBusy = QStringLiteral("The camera fw is updating, it takes about 1 minute. "
                                          "Please do not close the camera fw update form.");
const QString SystemBusy = QStringLiteral("The system fw is updating, it takes about 30 minutes. "
                                          "Please do not close the system fw update form.");
const QString Restarting = QStringLiteral("The system is restarting, it takes about 1 minute. "
                                          "Please do not close the system fw update form.");
} // namespace

class FormTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void construction_data();
    void construction();
    void widgets_data();
    void widgets();
    void slotOrder();
    void lastIpv4Address_data();
    void lastIpv4Address();

    void browser_data();
    void browser();
    void cancelForgetsEarlierChoice();

    void startWithoutFile_data();
    void startWithoutFile();
    void startAnsweredNo();
    void brokerNotAnswering();
    void requestBody_data();
    void requestBody();
    void fileGoneBeforeRequest();
    void closedDuringRequestWait();

    void closeGuard_data();
    void closeGuard();

private:
    Form *newForm(bool systemMode, quint16 streamPort = 1)
    {
        m_form = FormHarness::create(systemMode, m_broker.port(), streamPort);
        return m_form;
    }

    MosquittoBroker m_broker;
    QPointer<Form> m_form;
    QTemporaryDir m_dir;
};

void FormTest::initTestCase()
{
    QVERIFY2(m_broker.start(), "mosquitto must be installed");
    QVERIFY(m_dir.isValid());
}

void FormTest::cleanup()
{
    delete m_form;
    LocalWait::setTimeScaleForTests(1.0);
}

void FormTest::construction_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("note");
    QTest::newRow("camera") << false << "Camera FW Update" << CameraNote;
    QTest::newRow("system") << true << "System FW Update" << SystemNote;
}

void FormTest::construction()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, title);
    QFETCH(QString, note);

    m_form = new Form(QStringLiteral("192.168.1.20"), QStringLiteral("AA:BB:CC:DD:EE:FF"),
                      QStringLiteral("SN-42"), systemMode);
    Ui::Form *ui = FormHarness::ui(m_form);

    QCOMPARE(m_form->objectName(), QStringLiteral("Form"));
    QCOMPARE(m_form->windowTitle(), title);
    QCOMPARE(ui->label_Tip->text(), note);
    QCOMPARE(ui->label_ip_value->text(), QStringLiteral("192.168.1.20"));
    QCOMPARE(ui->label_mac_value->text(), QStringLiteral("AA:BB:CC:DD:EE:FF"));
    QCOMPARE(ui->label_sn_value->text(), QStringLiteral("SN-42"));
    QVERIFY(ui->label_state->text().isEmpty());
    QCOMPARE(ui->lineEdit->focusPolicy(), Qt::NoFocus);

    // Neither resizable nor maximisable, centred on the whole desktop.
    QCOMPARE(m_form->size(), QSize(461, 355));
    QCOMPARE(m_form->minimumSize(), QSize(461, 355));
    QCOMPARE(m_form->maximumSize(), QSize(461, 355));
    QVERIFY(!(m_form->windowFlags() & Qt::WindowMaximizeButtonHint));
    const QRect desktop = QApplication::desktop()->rect();
    QCOMPARE(m_form->pos(), QPoint((desktop.width() - 461) / 2, (desktop.height() - 355) / 2));

    // Closing deletes the window and never ends the application.
    QVERIFY(m_form->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(!m_form->testAttribute(Qt::WA_QuitOnClose));

    QCOMPARE(m_form->deviceIp, QStringLiteral("192.168.1.20"));
    QCOMPARE(m_form->systemMode, systemMode);
    QCOMPARE(m_form->tcpPort, quint16(8000));
    QCOMPARE(m_form->cameraBufferSize, qint64(1048576));
    QCOMPARE(m_form->systemBufferSize, qint64(2097152));
    QCOMPARE(m_form->localIp, Form::lastIpv4Address(QNetworkInterface::allAddresses()));
}

void FormTest::widgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pointSize"); // 0: the default font

    const QString ip = QString::fromUtf8("IP\xef\xbc\x9a");
    const QString mac = QString::fromUtf8("MAC\xef\xbc\x9a");
    const QString sn = QString::fromUtf8("SN\xef\xbc\x9a");
    QTest::newRow("label") << "label"
                           << "QLabel" << QRect(40, 40, 47, 13) << ip << 0;
    QTest::newRow("label_ip_value") << "label_ip_value"
                                    << "QLabel" << QRect(110, 40, 200, 13) << QString() << 0;
    QTest::newRow("label_mac_value") << "label_mac_value"
                                     << "QLabel" << QRect(110, 70, 200, 13) << QString() << 0;
    QTest::newRow("label_4") << "label_4"
                             << "QLabel" << QRect(40, 70, 47, 13) << mac << 0;
    QTest::newRow("label_sn_value") << "label_sn_value"
                                    << "QLabel" << QRect(110, 100, 200, 13) << QString() << 0;
    QTest::newRow("label_6") << "label_6"
                             << "QLabel" << QRect(40, 100, 47, 13) << sn << 0;
    QTest::newRow("lineEdit") << "lineEdit"
                              << "QLineEdit" << QRect(40, 140, 291, 20) << QString() << 0;
    QTest::newRow("pushButton_Browser")
            << "pushButton_Browser"
            << "QPushButton" << QRect(350, 138, 75, 23) << "Browser" << 0;
    QTest::newRow("pushButton_Start") << "pushButton_Start"
                                      << "QPushButton" << QRect(180, 250, 75, 28) << "Start" << 9;
    QTest::newRow("progressBar") << "progressBar"
                                 << "QProgressBar" << QRect(5, 295, 450, 23) << QString() << 0;
    QTest::newRow("label_state") << "label_state"
                                 << "QLabel" << QRect(10, 335, 421, 16) << QString() << 9;
    QTest::newRow("label_Tip") << "label_Tip"
                               << "QLabel" << QRect(40, 178, 381, 61) << QString() << 10;
}

void FormTest::widgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(int, pointSize);

    // The designer form as built, before the constructor fills in the device texts.
    QWidget host;
    Ui::Form ui;
    ui.setupUi(&host);
    QCOMPARE(host.size(), QSize(461, 355));
    QCOMPARE(host.windowTitle(), QStringLiteral("Form"));

    QStringList order;
    for (QObject *child : host.children())
        order << child->objectName();
    QCOMPARE(order, (QStringList{"label", "label_ip_value", "label_mac_value", "label_4",
                                 "label_sn_value", "label_6", "lineEdit", "pushButton_Browser",
                                 "pushButton_Start", "progressBar", "label_state", "label_Tip"}));

    QWidget *w = host.findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->parentWidget(), &host);
    if (!text.isNull()) {
        if (auto *label = qobject_cast<QLabel *>(w))
            QCOMPARE(label->text(), text);
        if (auto *button = qobject_cast<QPushButton *>(w))
            QCOMPARE(button->text(), text);
    }
    QCOMPARE(w->font().pointSize(), pointSize ? pointSize : QFont().pointSize());
    if (name == QLatin1String("label_Tip")) {
        QCOMPARE(ui.label_Tip->text(), SystemNote);
        QCOMPARE(ui.label_Tip->alignment(), Qt::AlignLeft | Qt::AlignTop);
        QVERIFY(ui.label_Tip->wordWrap());
    }
    if (name == QLatin1String("label_ip_value"))
        QCOMPARE(ui.label_ip_value->text(), QString::fromUtf8("IP\xef\xbc\x9a"));
    if (name == QLatin1String("label_state"))
        QCOMPARE(ui.label_state->text(), QStringLiteral("TextLabel"));
    if (name == QLatin1String("progressBar"))
        QCOMPARE(ui.progressBar->value(), 0);
}

void FormTest::slotOrder()
{
    const QMetaObject *mo = &Form::staticMetaObject;
    QStringList names;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), QMetaMethod::Private);
        names << QString::fromLatin1(m.methodSignature());
    }
    QCOMPARE(names,
             (QStringList{"on_pushButton_Browser_clicked()", "on_pushButton_Start_clicked()",
                          "CameraOrBoard_FW_Update()", "Tcp_Transfer_File()",
                          "topicMessageReceived(QByteArray,MqttTopicName)", "CycleProgressBar()"}));
}

void FormTest::lastIpv4Address_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("expected");
    QTest::newRow("last IPv4 wins")
            << QStringList{"127.0.0.1", "192.168.1.5", "fe80::1", "10.0.0.7"} << "10.0.0.7";
    QTest::newRow("loopback and IPv6 only")
            << QStringList{"127.0.0.1", "::1", "fe80::1"} << QString();
    QTest::newRow("no addresses") << QStringList{} << QString();
    QTest::newRow("IPv6 after the IPv4") << QStringList{"172.16.0.9", "::1"} << "172.16.0.9";
    QTest::newRow("0.0.0.0 has no IPv4 value") << QStringList{"10.1.1.1", "0.0.0.0"} << "10.1.1.1";
    QTest::newRow("IPv4-mapped written dotted") << QStringList{"::ffff:10.9.8.7"} << "10.9.8.7";
}

void FormTest::lastIpv4Address()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, expected);
    QList<QHostAddress> list;
    for (const QString &a : addresses)
        list << QHostAddress(a);
    const QString result = Form::lastIpv4Address(list);
    QCOMPARE(result, expected);
    QCOMPARE(result.isNull(), expected.isNull());
}

void FormTest::browser_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("filter");
    QTest::newRow("camera") << false << "Please select a bin file"
                            << "*.bin";
    QTest::newRow("system") << true << "Please select a system file"
                            << "*.*";
}

void FormTest::browser()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, caption);
    QFETCH(QString, filter);

    ScriptedDialogs dialogs;
    const QString path =
            writeFile(m_dir.filePath(QStringLiteral("image one.bin")), imageBytes(12345));
    newForm(systemMode);
    FormHarness::choose(m_form, dialogs, path);

    QCOMPARE(dialogs.fileCaptions, QStringList{caption});
    QCOMPARE(dialogs.fileFilters, QStringList{filter});
    QCOMPARE(dialogs.fileDirs, QStringList{"."});
    QCOMPARE(FormHarness::ui(m_form)->lineEdit->text(), path);
    QCOMPARE(m_form->filePath, path);
    QCOMPARE(m_form->fileName, QStringLiteral("image one.bin"));
    QCOMPARE(m_form->fileSize, qint64(12345));
}

void FormTest::cancelForgetsEarlierChoice()
{
    ScriptedDialogs dialogs;
    const QString path = writeFile(m_dir.filePath(QStringLiteral("a.bin")), imageBytes(10));
    newForm(false);
    FormHarness::choose(m_form, dialogs, path);
    QCOMPARE(m_form->fileSize, qint64(10));

    FormHarness::choose(m_form, dialogs, QString()); // cancelled
    QVERIFY(FormHarness::ui(m_form)->lineEdit->text().isEmpty());
    QVERIFY(m_form->filePath.isEmpty());
    QVERIFY(m_form->fileName.isEmpty());
    QCOMPARE(m_form->fileSize, qint64(0));
}

void FormTest::startWithoutFile_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("text");
    QTest::newRow("camera") << false << "Please select a bin file";
    QTest::newRow("system") << true << "Please select a System file";
}

void FormTest::startWithoutFile()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, text);
    ScriptedDialogs dialogs;
    newForm(systemMode);
    FormHarness::ui(m_form)->pushButton_Start->click();

    QCOMPARE(dialogs.calls.size(), 1);
    QCOMPARE(dialogs.calls[0].kind, QStringLiteral("information"));
    QCOMPARE(dialogs.calls[0].title, QStringLiteral("Tip"));
    QCOMPARE(dialogs.calls[0].text, text);
    QVERIFY(FormHarness::ui(m_form)->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(!m_form->systemUpdating);
}

void FormTest::startAnsweredNo()
{
    ScriptedDialogs dialogs;
    dialogs.answers = {QMessageBox::No};
    const QString path = writeFile(m_dir.filePath(QStringLiteral("no.bin")), imageBytes(100));
    newForm(false);
    Ui::Form *ui = FormHarness::ui(m_form);
    FormHarness::choose(m_form, dialogs, path);
    ui->label_state->setText(QStringLiteral("before"));
    ui->progressBar->setValue(42);

    ui->pushButton_Start->click();
    QCOMPARE(dialogs.count(QStringLiteral("question")), 1);
    QCOMPARE(dialogs.calls.last().title, QStringLiteral("Tip"));
    QCOMPARE(dialogs.calls.last().text, QStringLiteral("Do you want to update?"));
    QCOMPARE(ui->label_state->text(), QStringLiteral("before"));
    QCOMPARE(ui->progressBar->value(), 42);
    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(!m_form->systemUpdating);
}

void FormTest::brokerNotAnswering()
{
    LocalWait::setTimeScaleForTests(0.2);
    ScriptedDialogs dialogs;
    dialogs.answers = {QMessageBox::Yes};
    const QString path = writeFile(m_dir.filePath(QStringLiteral("nb.bin")), imageBytes(100));
    m_form = FormHarness::create(false, freeTcpPort(), 1);
    Ui::Form *ui = FormHarness::ui(m_form);
    FormHarness::choose(m_form, dialogs, path);

    ui->pushButton_Start->click();
    QVERIFY(!ui->pushButton_Start->isEnabled());
    QCOMPARE(ui->label_state->text(),
             QStringLiteral("Preparation is starting, please wait a moment..."));
    QTRY_COMPARE_WITH_TIMEOUT(ui->label_state->text(), QStringLiteral("Mqtt Connect Failed"),
                              10000);
    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(!m_form->systemUpdating);
    QCOMPARE(ui->progressBar->value(), 0);
}

void FormTest::requestBody_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("body");

    // Digests are RFC 1321 test vectors. Members come in the order of Qt's compact writer,
    // every value a JSON string. The window's connection to the broker runs over loopback, so
    // client_ip is 127.0.0.1, which the host-address fallback never picks.
    QTest::newRow("camera, empty image")
            << false << "empty.bin" << QByteArray() << QString(Topics::UpdateCameraRequest)
            << QByteArray("{\"buffer_size\":\"1048576\",\"client_ip\":\"127.0.0.1\","
                          "\"file_md5\":\"d41d8cd98f00b204e9800998ecf8427e\","
                          "\"file_name\":\"empty.bin\",\"file_size\":\"0\"}");
    QTest::newRow("system, abc")
            << true << "rootfs.img" << QByteArray("abc") << QString(Topics::UpdateSystemRequest)
            << QByteArray("{\"buffer_size\":\"2097152\",\"client_ip\":\"127.0.0.1\","
                          "\"file_md5\":\"900150983cd24fb0d6963f7d28e17f72\","
                          "\"file_name\":\"rootfs.img\",\"file_size\":\"3\"}");
    QTest::newRow("camera, name needing escapes")
            << false << QString::fromUtf8("fw \"\xce\xb2\" 1.bin") << QByteArray("message digest")
            << QString(Topics::UpdateCameraRequest)
            << QByteArray("{\"buffer_size\":\"1048576\",\"client_ip\":\"127.0.0.1\","
                          "\"file_md5\":\"f96b697d7cb7938d525a2f31aaf161d0\","
                          "\"file_name\":\"fw \\\"\xce\xb2\\\" 1.bin\",\"file_size\":\"14\"}");
}

void FormTest::requestBody()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    QFETCH(QString, topic);
    QFETCH(QByteArray, body);

    LocalWait::setTimeScaleForTests(0.05);
    ScriptedDialogs dialogs;
    MqttPeer peer;
    QVERIFY(peer.connectTo(m_broker.port()));
    TestReceiver receiver;
    QVERIFY(receiver.listen());
    const QString path = writeFile(m_dir.filePath(name), contents);
    QVERIFY(!path.isEmpty());
    newForm(systemMode, receiver.port());
    QVERIFY(FormHarness::connectClient(m_form, m_broker.port()));
    FormHarness::choose(m_form, dialogs, path);

    FormHarness::pressStart(m_form, dialogs, peer, 0.05);
    QTRY_VERIFY_WITH_TIMEOUT(FormHarness::requestSeen(peer), 10000);
    QCOMPARE(peer.received.size(), 1);
    QCOMPARE(peer.received[0].first, topic);
    QCOMPARE(peer.received[0].second, body);

    // The stream follows and carries exactly the announced bytes.
    QTRY_VERIFY_WITH_TIMEOUT(receiver.last() && !m_form->streamRunning, 10000);
    QCOMPARE(receiver.last()->data, contents);
}

void FormTest::fileGoneBeforeRequest()
{
    LocalWait::setTimeScaleForTests(0.05);
    ScriptedDialogs dialogs;
    MqttPeer peer;
    QVERIFY(peer.connectTo(m_broker.port()));
    TestReceiver receiver;
    QVERIFY(receiver.listen());
    const QString path = writeFile(m_dir.filePath(QStringLiteral("gone.bin")), imageBytes(500));
    newForm(false, receiver.port());
    Ui::Form *ui = FormHarness::ui(m_form);
    QVERIFY(FormHarness::connectClient(m_form, m_broker.port()));
    FormHarness::choose(m_form, dialogs, path);
    QVERIFY(QFile::remove(path));

    FormHarness::pressStart(m_form, dialogs, peer, 0.05);
    QTRY_COMPARE_WITH_TIMEOUT(ui->label_state->text(),
                              QStringLiteral("Mqtt Create Json Object Failed"), 10000);
    QVERIFY(ui->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    // Nothing was published: a marker sent afterwards is the first thing the peer sees.
    peer.publish(QStringLiteral("TalixTools_in/marker"), "m");
    QTRY_VERIFY_WITH_TIMEOUT(!peer.received.isEmpty(), 10000);
    QCOMPARE(peer.received[0].first, QStringLiteral("TalixTools_in/marker"));
    QVERIFY(receiver.streams.isEmpty());

    // A second Start on the same connection succeeds once the file is back.
    peer.received.clear();
    QVERIFY(!writeFile(path, imageBytes(500)).isEmpty());
    FormHarness::pressStart(m_form, dialogs, peer, 0.05);
    QTRY_VERIFY_WITH_TIMEOUT(FormHarness::requestSeen(peer), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(receiver.last() && receiver.last()->data.size() == 500, 10000);
}

void FormTest::closedDuringRequestWait()
{
    // An unreadable report during the 5000 ms wait ends the run, so the window may be closed
    // while the request handler still waits; it must not resume into a deleted window.
    LocalWait::setTimeScaleForTests(0.1);
    ScriptedDialogs dialogs;
    MqttPeer peer;
    QVERIFY(peer.connectTo(m_broker.port()));
    TestReceiver receiver;
    QVERIFY(receiver.listen());
    const QString path = writeFile(m_dir.filePath(QStringLiteral("w.bin")), imageBytes(500));
    newForm(false, receiver.port());
    QVERIFY(FormHarness::connectClient(m_form, m_broker.port()));
    FormHarness::choose(m_form, dialogs, path);
    Form *form = m_form;
    QObject::connect(FormHarness::client(form), &MqttClient::messageReceived, form,
                     [form] { QTimer::singleShot(0, form, [form] { form->close(); }); });

    FormHarness::pressStart(m_form, dialogs, peer, 0.1);
    peer.onMessage = [&peer](const QString &, const QByteArray &) {
        peer.publish(Topics::UpdateCameraReport, "{\"type\":");
    };
    QTRY_VERIFY_WITH_TIMEOUT(m_form.isNull(), 10000);
    QVERIFY(FormHarness::requestSeen(peer));
    QVERIFY(receiver.streams.isEmpty());
}

void FormTest::closeGuard_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<bool>("cameraUpdating");
    QTest::addColumn<bool>("systemUpdating");
    QTest::addColumn<bool>("restarting");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("camera idle") << false << false << false << false << QStringList();
    QTest::newRow("camera updating") << false << true << true << false << QStringList{CameraBusy};
    QTest::newRow("camera ignores the system flag")
            << false << false << true << false << QStringList();
    QTest::newRow("system idle") << true << false << false << false << QStringList();
    QTest::newRow("system updating") << true << true << true << false << QStringList{SystemBusy};
    QTest::newRow("system restarting") << true << false << false << true << QStringList{Restarting};
    QTest::newRow("system updating and restarting")
            << true << false << true << true << QStringList{SystemBusy, Restarting};
    QTest::newRow("system ignores the camera flag")
            << true << true << false << false << QStringList();
}

void FormTest::closeGuard()
{
    QFETCH(bool, systemMode);
    QFETCH(bool, cameraUpdating);
    QFETCH(bool, systemUpdating);
    QFETCH(bool, restarting);
    QFETCH(QStringList, messages);

    ScriptedDialogs dialogs;
    newForm(systemMode);
    m_form->cameraUpdating = cameraUpdating;
    m_form->systemUpdating = systemUpdating;
    m_form->restarting = restarting;

    const bool closed = m_form->close();
    QCOMPARE(dialogs.texts(), messages);
    for (const auto &call : dialogs.calls) {
        QCOMPARE(call.kind, QStringLiteral("information"));
        QCOMPARE(call.title, QStringLiteral("Tip"));
    }
    QCOMPARE(closed, messages.isEmpty());
    if (closed)
        QTRY_VERIFY(m_form.isNull()); // deleted on close
    else
        QVERIFY(m_form->isVisible());
}

QTEST_MAIN(FormTest)
#include "tst_form.moc"
