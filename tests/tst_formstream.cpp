// The image stream as the box's port sees it: bytes, chunks, connection attempts, and how the
// stream ends when the file, the connection or the window goes away.

#include "tst_formharness.h"

#include "mosquittobroker.h"

#include <QSignalSpy>
#include <QtTest>

class FormStreamTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void chunks_data();
    void chunks();
    void emptyFile();
    void acceptedOnThirdAttempt();
    void neverAccepted();
    void fileGoneDuringRequestWait_data();
    void fileGoneDuringRequestWait();
    void fileTruncatedDuringStream();
    void connectionEnds_data();
    void connectionEnds();
    void newStreamNeverSharesConnection();
    void browserDuringStream();
    void slowReaderBoundsMemory();
    void boxTalkingBackIsDropped();
    void closedDuringStreamAfterFailure();

private:
    // Starts a run of `path` as an operator does; the stream and what follows run at
    // `streamScale`. `onRequest` runs when the request reaches the broker.
    void start(bool systemMode, const QString &path, double streamScale,
               std::function<void()> onRequest = {}, quint16 streamPort = 0)
    {
        LocalWait::setTimeScaleForTests(0.05);
        m_form = FormHarness::create(systemMode, m_broker.port(),
                                     streamPort ? streamPort : m_receiver->port());
        QVERIFY(FormHarness::connectClient(m_form, m_broker.port()));
        FormHarness::choose(m_form, *m_dialogs, path);
        FormHarness::pressStart(m_form, *m_dialogs, m_peer, streamScale);
        if (onRequest) {
            auto scale = m_peer.onMessage;
            m_peer.onMessage = [scale, onRequest](const QString &topic, const QByteArray &p) {
                scale(topic, p);
                if (topic.startsWith(QLatin1String("TalixTools_in/update_")))
                    onRequest();
            };
        }
    }
    // Chunk gaps at their real length once the box has the connection; everything before
    // runs fast.
    void realGapsOnceAccepted(double scale = 1.0)
    {
        m_receiver->onAccept = [scale] { LocalWait::setTimeScaleForTests(scale); };
    }
    QString image(const QString &name, const QByteArray &data)
    {
        return writeFile(m_dir.filePath(name), data);
    }
    Ui::Form *ui() { return FormHarness::ui(m_form); }

    MosquittoBroker m_broker;
    MqttPeer m_peer;
    QTemporaryDir m_dir;
    std::unique_ptr<ScriptedDialogs> m_dialogs;
    std::unique_ptr<TestReceiver> m_receiver;
    QPointer<Form> m_form;
};

void FormStreamTest::initTestCase()
{
    QVERIFY2(m_broker.start(), "mosquitto must be installed");
    QVERIFY(m_peer.connectTo(m_broker.port()));
    QVERIFY(m_dir.isValid());
}

void FormStreamTest::init()
{
    m_dialogs.reset(new ScriptedDialogs);
    m_receiver.reset(new TestReceiver);
    QVERIFY(m_receiver->listen());
    m_peer.received.clear();
    m_peer.onMessage = nullptr;
}

void FormStreamTest::cleanup()
{
    delete m_form;
    m_receiver.reset();
    m_dialogs.reset();
    m_peer.onMessage = nullptr;
    LocalWait::setTimeScaleForTests(1.0);
}

void FormStreamTest::chunks_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("chunks");
    QTest::newRow("camera 2,500,000 bytes")
            << false << 2500000 << QList<int>{1048576, 1048576, 402848};
    QTest::newRow("system 4 MiB") << true << 4194304 << QList<int>{2097152, 2097152};
    QTest::newRow("camera one byte over a chunk") << false << 1048577 << QList<int>{1048576, 1};
}

void FormStreamTest::chunks()
{
    QFETCH(bool, systemMode);
    QFETCH(int, size);
    QFETCH(QList<int>, chunks);

    const QByteArray bytes = imageBytes(size, 7);
    realGapsOnceAccepted(2.0); // 400 ms between chunks, clear of any hiccup of a busy machine
    start(systemMode, image(QStringLiteral("chunks.bin"), bytes), 0.05);
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last() && m_receiver->last()->data.size() == size &&
                                     !m_form->streamRunning,
                             30000);
    QCOMPARE(m_receiver->streams.size(), 1);
    QCOMPARE(ui()->label_state->text(), QStringLiteral("Connect Server Succeed..."));
    QVERIFY(m_receiver->last()->data == bytes);
    // The stream pauses after each chunk: one read ends exactly at every chunk boundary, and
    // the next bytes come only after the pause.
    const auto &reads = m_receiver->last()->reads;
    QList<qint64> pauses;
    qint64 offset = 0;
    qint64 boundary = chunks.value(0);
    for (int i = 0; i + 1 < reads.size() && pauses.size() < chunks.size() - 1; ++i) {
        offset += reads[i].second;
        if (offset == boundary) {
            pauses << reads[i + 1].first - reads[i].first;
            boundary += chunks.value(pauses.size());
        }
    }
    QCOMPARE(pauses.size(), chunks.size() - 1);
    for (qint64 pause : pauses)
        QVERIFY2(pause >= 200, qPrintable(QString::number(pause)));

    // Nothing follows the last byte; the report that the box holds the image closes it.
    const QString topic =
            systemMode ? QString(Topics::UpdateSystemReport) : QString(Topics::UpdateCameraReport);
    m_peer.publish(topic, reportPayload("1", "0", "Received", "100"));
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last()->closed, 10000);
    QCOMPARE(m_receiver->last()->data.size(), size);
}

void FormStreamTest::emptyFile()
{
    start(false, image(QStringLiteral("empty.bin"), QByteArray()), 0.05);
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last() && !m_form->streamRunning, 10000);
    QCOMPARE(ui()->label_state->text(), QStringLiteral("Connect Server Succeed..."));
    QVERIFY(m_form->cameraUpdating);

    m_peer.publish(Topics::UpdateCameraReport, reportPayload("1", "0", "Received", "100"));
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last()->closed, 10000);
    QVERIFY(m_receiver->last()->data.isEmpty());
}

void FormStreamTest::acceptedOnThirdAttempt()
{
    // Attempts at 0, 1000 and 4000 ms (scaled by 0.3): listening from 750 real ms on, only
    // the third finds the port open. The stream still waits out the third wait.
    const quint16 port = freeTcpPort();
    m_receiver.reset(new TestReceiver);
    QElapsedTimer sinceRequest;
    qint64 firstByteMs = -1;
    m_receiver->onData = [&](ReceivedStream *) {
        if (firstByteMs < 0)
            firstByteMs = sinceRequest.elapsed();
    };
    const QByteArray bytes = imageBytes(3000, 3);
    TestReceiver *receiver = m_receiver.get();
    start(
            false, image(QStringLiteral("third.bin"), bytes), 0.3,
            [&sinceRequest, receiver, port] {
                sinceRequest.start();
                QTimer::singleShot(750, receiver->context(),
                                   [receiver, port] { QVERIFY(receiver->listen(port)); });
            },
            port);
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last() && m_receiver->last()->data.size() == 3000 &&
                                     !m_form->streamRunning,
                             30000);
    QCOMPARE(m_receiver->streams.size(), 1);
    QVERIFY(m_receiver->last()->data == bytes);
    QVERIFY2(firstByteMs >= 2050, qPrintable(QString::number(firstByteMs)));
}

void FormStreamTest::neverAccepted()
{
    const quint16 port = freeTcpPort();
    QElapsedTimer sinceRequest;
    start(
            false, image(QStringLiteral("never.bin"), imageBytes(100)), 0.05,
            [&sinceRequest] { sinceRequest.start(); }, port);
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_state->text(),
                              QStringLiteral("Update Failed: Connect Server Failed"), 10000);
    QVERIFY(sinceRequest.elapsed() >= 350); // three attempts, 7000 scaled ms
    QVERIFY(ui()->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(!m_form->systemUpdating);
    QVERIFY(!m_form->streamRunning);
}

void FormStreamTest::fileGoneDuringRequestWait_data()
{
    QTest::addColumn<bool>("systemMode");
    QTest::addColumn<QString>("text");
    QTest::newRow("camera") << false << "Read Bin File Failed";
    QTest::newRow("system") << true << "Read System File Failed";
}

void FormStreamTest::fileGoneDuringRequestWait()
{
    QFETCH(bool, systemMode);
    QFETCH(QString, text);
    const QString path = image(QStringLiteral("vanishing.bin"), imageBytes(5000));
    start(systemMode, path, 0.05, [path] { QFile::remove(path); });
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_state->text(), text, 10000);
    QVERIFY(m_receiver->last());
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last()->closed, 10000);
    QVERIFY(m_receiver->last()->data.isEmpty());
    QVERIFY(ui()->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(!m_form->systemUpdating);
    QVERIFY(!m_form->streamRunning);
}

void FormStreamTest::fileTruncatedDuringStream()
{
    // The announced 2,500,000 bytes can no longer be read: the stream ends at the end of the
    // file, says so, and drops the connection instead of waiting for bytes that never come.
    const QByteArray bytes = imageBytes(2500000, 5);
    const QString path = image(QStringLiteral("shrinking.bin"), bytes);
    bool truncated = false;
    m_receiver->onData = [&](ReceivedStream *s) {
        if (!truncated && s->data.size() >= 1048576) {
            truncated = true;
            QFile f(path);
            QVERIFY(f.resize(1500000));
        }
    };
    realGapsOnceAccepted();
    start(false, path, 0.05);
    QTRY_COMPARE_WITH_TIMEOUT(ui()->label_state->text(), QStringLiteral("Read Bin File Failed"),
                              30000);
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last()->closed, 10000);
    QVERIFY(m_receiver->last()->data == bytes.left(1500000));
    QVERIFY(ui()->pushButton_Start->isEnabled());
    QVERIFY(!m_form->cameraUpdating);
    QVERIFY(!m_form->streamRunning);
}

void FormStreamTest::connectionEnds_data()
{
    QTest::addColumn<bool>("byReport");
    QTest::newRow("failure report closes the stream") << true;
    QTest::newRow("box drops the connection") << false;
}

void FormStreamTest::connectionEnds()
{
    // After the first of 20 chunks the connection ends; the rest of the image would take
    // another 19 x 200 ms if the stream read on into nothing.
    QFETCH(bool, byReport);
    const QByteArray bytes = imageBytes(20 * 1048576, 9);
    bool ended = false;
    QElapsedTimer sinceEnd;
    m_receiver->onData = [&](ReceivedStream *s) {
        if (ended || s->data.size() < 1048576)
            return;
        ended = true;
        sinceEnd.start();
        if (byReport)
            m_peer.publish(Topics::UpdateCameraReport, reportPayload("1", "5", "Bad block", "5"));
        else
            s->socket->abort();
    };
    realGapsOnceAccepted();
    start(false, image(QStringLiteral("long.bin"), bytes), 0.05);
    QTRY_VERIFY_WITH_TIMEOUT(ended && !m_form->streamRunning, 30000);
    const qint64 stoppedAfter = sinceEnd.elapsed();
    QVERIFY2(stoppedAfter < 1500, qPrintable(QString::number(stoppedAfter)));
    QVERIFY(m_receiver->total() < bytes.size());
    QVERIFY(bytes.startsWith(m_receiver->last()->data));
    QCOMPARE(m_form->tcpSocket->state(), QAbstractSocket::UnconnectedState);
    if (byReport) {
        QCOMPARE(ui()->label_state->text(), QStringLiteral("Update camera fw failed: Bad block"));
        QVERIFY(!m_form->cameraUpdating);
    } else {
        QVERIFY(m_form->cameraUpdating); // the box's reports tell the rest
    }
}

void FormStreamTest::newStreamNeverSharesConnection()
{
    // An unreadable report ends the run while its stream still runs; the next Start's stream
    // must not pour its image into the same connection as the rest of the first one.
    const QByteArray first = imageBytes(8 * 1048576, 1);
    const QByteArray second = imageBytes(3 * 1048576, 2);
    const QString secondPath = image(QStringLiteral("second.bin"), second);
    bool broken = false;
    bool restarted = false;
    m_receiver->onData = [&](ReceivedStream *s) {
        if (!broken && s->data.size() >= 1048576) {
            broken = true;
            m_peer.publish(Topics::UpdateCameraReport, "{\"type\":\"1\",");
        }
    };
    realGapsOnceAccepted();
    start(false, image(QStringLiteral("first.bin"), first), 0.05);
    Form *form = m_form;
    connect(FormHarness::client(form), &MqttClient::messageReceived, form, [&, form] {
        if (restarted || !FormHarness::ui(form)->pushButton_Start->isEnabled())
            return;
        restarted = true;
        QTimer::singleShot(0, form, [&, form] {
            LocalWait::setTimeScaleForTests(0.05);
            FormHarness::choose(form, *m_dialogs, secondPath);
            FormHarness::pressStart(form, *m_dialogs, m_peer, 0.05);
        });
    });

    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->streams.size() == 2 &&
                                     m_receiver->streams[1]->data.size() == second.size() &&
                                     !m_form->streamRunning,
                             20000);
    QVERIFY(restarted);
    QVERIFY(m_receiver->streams[0]->closed);
    QVERIFY(m_receiver->streams[0]->data.size() < first.size());
    QVERIFY(first.startsWith(m_receiver->streams[0]->data));
    QVERIFY(m_receiver->streams[1]->data == second);
}

void FormStreamTest::browserDuringStream()
{
    const QByteArray bytes = imageBytes(3 * 1048576 + 17, 4);
    const QString other = image(QStringLiteral("other.bin"), imageBytes(1000, 8));
    bool chosen = false;
    m_receiver->onData = [&](ReceivedStream *s) {
        if (!chosen && s->data.size() >= 1048576) {
            chosen = true;
            FormHarness::choose(m_form, *m_dialogs, other);
        }
    };
    start(false, image(QStringLiteral("streamed.bin"), bytes), 0.2);
    QTRY_VERIFY_WITH_TIMEOUT(chosen && !m_form->streamRunning, 30000);
    QVERIFY(m_receiver->last()->data == bytes);
    QCOMPARE(ui()->lineEdit->text(), other);
    QCOMPARE(m_form->fileSize, qint64(1000));
}

void FormStreamTest::slowReaderBoundsMemory()
{
    // A box that does not read for a while: the tool holds at most one chunk waiting in the
    // socket plus the one just written, never the image.
    const QByteArray bytes = imageBytes(32 * 1048576, 6);
    m_receiver->pause();
    qint64 mostPending = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] {
        if (m_form)
            mostPending = qMax(mostPending, m_form->tcpSocket->bytesToWrite());
    });
    sampler.start(1);
    TestReceiver *receiver = m_receiver.get();
    start(true, image(QStringLiteral("big.img"), bytes), 0.05, [receiver] {
        QTimer::singleShot(800, receiver->context(), [receiver] { receiver->resume(); });
    });
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last() &&
                                     m_receiver->last()->data.size() == bytes.size() &&
                                     !m_form->streamRunning,
                             20000);
    QVERIFY2(mostPending <= 2 * 2097152, qPrintable(QString::number(mostPending)));
    QVERIFY(mostPending > 0);
    QVERIFY(m_receiver->last()->data == bytes);
}

void FormStreamTest::boxTalkingBackIsDropped()
{
    // Bytes the box sends on the stream connection are ignored, and not kept either.
    const QByteArray bytes = imageBytes(3 * 1048576, 11);
    const QByteArray chatter = imageBytes(8 * 1048576, 12);
    bool sent = false;
    m_receiver->onData = [&](ReceivedStream *s) {
        if (!sent) {
            sent = true;
            s->socket->write(chatter);
        }
    };
    realGapsOnceAccepted(0.2);
    start(false, image(QStringLiteral("talk.bin"), bytes), 0.05);
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last() &&
                                     m_receiver->last()->data.size() == bytes.size() &&
                                     !m_form->streamRunning,
                             20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_receiver->last()->socket->bytesToWrite(), qint64(0), 20000);
    QVERIFY(m_receiver->last()->data == bytes);
    QCOMPARE(m_form->tcpSocket->bytesAvailable(), qint64(0));
}

void FormStreamTest::closedDuringStreamAfterFailure()
{
    // A failure report ends the run, so the window may be closed while the stream is inside
    // one of its waits; the stream must not resume into the deleted window.
    const QByteArray bytes = imageBytes(8 * 1048576, 2);
    bool failed = false;
    m_receiver->onData = [&](ReceivedStream *s) {
        if (!failed && s->data.size() >= 1048576) {
            failed = true;
            m_peer.publish(Topics::UpdateCameraReport, reportPayload("1", "2", "No space", "0"));
        }
    };
    realGapsOnceAccepted();
    start(false, image(QStringLiteral("closing.bin"), bytes), 0.05);
    Form *form = m_form;
    connect(FormHarness::client(form), &MqttClient::messageReceived, form,
            [form] { QTimer::singleShot(0, form, [form] { form->close(); }); });
    QTRY_VERIFY_WITH_TIMEOUT(m_form.isNull(), 30000);
    QVERIFY(failed);
    QTRY_VERIFY_WITH_TIMEOUT(m_receiver->last()->closed, 10000);
    QVERIFY(m_receiver->last()->data.size() < bytes.size());
}

QTEST_MAIN(FormStreamTest)
#include "tst_formstream.moc"
