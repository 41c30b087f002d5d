// The update window's request and image stream as the box sees them: the request body, the
// stream's bytes, chunks and pace, and how the stream ends when the file, the connection or
// the run goes away.

#include "localwait.h"
#include "mosquittobroker.h"
#include "windowsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {
constexpr int MiB = 1 << 20;
}

class UpdateStreamTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(m_broker.start(), "mosquitto must be installed"); }
    void request_data();
    void request();
    void fileGone_data();
    void fileGone();
    void backPressure();
    void newStreamNeverSharesConnection();
    void boxClosesConnection_data();
    void boxClosesConnection();
    void longStreamIsNoSilence();

private:
    MosquittoBroker m_broker;
};

void UpdateStreamTest::request_data()
{
    QTest::addColumn<bool>("system");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("grownBy"); // bytes added after the choice
    QTest::newRow("camera, empty") << false << "empty.bin" << QByteArray() << 0;
    QTest::newRow("system, abc") << true << "rootfs.img" << QByteArray("abc") << 0;
    QTest::newRow("camera, a name to escape") << false << QString::fromUtf8("fw \"\xce\xb2\".bin")
                                              << QByteArray("message digest") << 0;
    QTest::newRow("camera, 2,500,000 bytes, grown after the choice")
            << false << "big.bin" << imageBytes(2500000) << 5000;
    QTest::newRow("system, 4 MiB") << true << "big.img" << imageBytes(4 * MiB) << 0;
}

void UpdateStreamTest::request()
{
    QFETCH(bool, system);
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    QFETCH(int, grownBy);

    WindowDriver w(system ? WindowKind::System : WindowKind::Camera, m_broker.port());
    const QString path = w.dir.filePath(name);
    QVERIFY(writeFile(path, contents));
    w.choose(path);
    QCOMPARE(w.dialogs.fileCaptions.value(0),
             QString(system ? "Please select a system file" : "Please select a bin file"));
    QCOMPARE(w.dialogs.fileFilters.value(0), QString(system ? "*.*" : "*.bin"));
    QCOMPARE(w.dialogs.fileDirs.value(0), QStringLiteral("."));
    const QByteArray file = contents + imageBytes(grownBy, 9);
    QVERIFY(writeFile(path, file));
    qint64 requestAt = -1;
    connect(&w.box, &RawMqttPeer::messageArrived, this, [&] {
        if (requestAt < 0)
            requestAt = w.receiver.clock.elapsed();
    });
    QVERIFY(w.startRun(0.2)); // 40 ms between chunks, 1000 ms before the stream

    // The members in the order of Qt's compact writer, every value a JSON string; the digest is
    // of the file as it was at Start, the size as it was chosen. The window's connection to the
    // broker runs over loopback, so the box is to expect the stream from there.
    const qint64 chunk = system ? 2 * MiB : MiB;
    const QByteArray body = "{\"buffer_size\":\"" + QByteArray::number(chunk) +
                            "\",\"client_ip\":\"127.0.0.1\",\"file_md5\":\"" +
                            QCryptographicHash::hash(file, QCryptographicHash::Md5).toHex() +
                            "\",\"file_name\":\"" + name.toUtf8().replace('"', "\\\"") +
                            "\",\"file_size\":\"" + QByteArray::number(contents.size()) + "\"}";
    QVERIFY(w.box.sync());
    QCOMPARE(w.box.messages.size(), 1);
    QCOMPARE(w.box.inbox(w.requestTopic()), QList<QByteArray>{body});
    // Exactly the announced bytes, some 5 s after the request, in chunks with a pause after each.
    QCOMPARE(int(w.receiver.streams.size()), 1);
    QVERIFY(w.receiver.last()->data == contents);
    QVERIFY2(w.receiver.last()->acceptedAt - requestAt >= 900,
             qPrintable(QString::number(w.receiver.last()->acceptedAt - requestAt)));
    for (qint64 offset = chunk; offset < contents.size(); offset += chunk) {
        const qint64 pause = StreamReceiver::pauseAfter(*w.receiver.last(), offset);
        QVERIFY2(pause >= 20, qPrintable(QStringLiteral("%1 ms at %2").arg(pause).arg(offset)));
    }
}

void UpdateStreamTest::fileGone_data()
{
    QTest::addColumn<bool>("system");
    QTest::addColumn<int>("when"); // 0 before the request, 1 during the wait, 2 mid-stream
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("received"); // -1: no connection
    QTest::newRow("camera, before the request")
            << false << 0 << "Mqtt Create Json Object Failed" << -1;
    QTest::newRow("camera, during the wait") << false << 1 << "Read Bin File Failed" << 0;
    QTest::newRow("system, during the wait") << true << 1 << "Read System File Failed" << 0;
    QTest::newRow("camera, cut short mid-stream")
            << false << 2 << "Read Bin File Failed" << 2500000;
    QTest::newRow("system, cut short mid-stream")
            << true << 2 << "Read System File Failed" << 2500000;
}

void UpdateStreamTest::fileGone()
{
    QFETCH(bool, system);
    QFETCH(int, when);
    QFETCH(QString, label);
    QFETCH(int, received);

    WindowDriver w(system ? WindowKind::System : WindowKind::Camera, m_broker.port());
    const QByteArray image = imageBytes(5 * MiB, 5);
    QVERIFY(writeFile(w.image, image));
    w.choose(w.image);
    if (when == 0)
        QVERIFY(QFile::remove(w.image));
    if (when == 1)
        connect(&w.box, &RawMqttPeer::messageArrived, this, [&] { QFile::remove(w.image); });
    w.receiver.onData = [&](StreamReceiver::Stream &stream) {
        if (when == 2 && stream.data.size() >= MiB && QFileInfo(w.image).size() == image.size())
            QFile(w.image).resize(received);
    };
    w.begin(0.2);
    QTRY_COMPARE_WITH_TIMEOUT(w.state()->text(), label, 20000);
    QVERIFY(w.startButton()->isEnabled());
    QTRY_VERIFY(!fileOpenHere(w.image)); // the stream has stopped
    QVERIFY(w.box.sync());
    QCOMPARE(w.requests(), when == 0 ? 0 : 1);
    QCOMPARE(int(w.receiver.streams.size()), received < 0 ? 0 : 1);
    if (received >= 0) {
        QVERIFY(w.receiver.last()->data == image.left(received));
        QTRY_VERIFY(w.receiver.last()->closed);
    }
    QCOMPARE(w.close(), QStringList());
}

// A box that stops reading: the window holds back the rest of the image instead of reading it
// all into memory. While the box does not read, the stream does not get to the file's end.
void UpdateStreamTest::backPressure()
{
    WindowDriver w(WindowKind::System, m_broker.port());
    const QByteArray image = imageBytes(32 * MiB, 6);
    QVERIFY(writeFile(w.image, image));
    w.choose(w.image);
    w.receiver.setPaused(true);
    bool heldBack = false;
    // Twice the time the 16 chunks take at their pace, counted from the connection.
    Poll resume([&] { return !w.receiver.streams.empty(); },
                [&] {
                    QTimer::singleShot(16 * 40 * 2, w.window, [&] {
                        heldBack = fileOpenHere(w.image);
                        w.receiver.setPaused(false);
                    });
                });
    QVERIFY(w.startRun(0.2));
    QVERIFY(heldBack);
    QCOMPARE(int(w.receiver.streams.size()), 1);
    QVERIFY(w.receiver.last()->data == image);
}

// An unreadable report ends a run whose stream still runs; the next run's image goes over a
// connection of its own.
void UpdateStreamTest::newStreamNeverSharesConnection()
{
    WindowDriver w(WindowKind::Camera, m_broker.port());
    const QByteArray first = imageBytes(8 * MiB, 1);
    const QByteArray second = imageBytes(3 * MiB, 2);
    const QString secondPath = w.dir.filePath(QStringLiteral("second.bin"));
    QVERIFY(writeFile(w.image, first) && writeFile(secondPath, second));
    bool broken = false;
    w.receiver.onData = [&](StreamReceiver::Stream &stream) {
        if (!broken && stream.data.size() >= MiB) {
            broken = true;
            w.report("{\"type\":\"1\",");
        }
    };
    Poll restart([&] { return broken && w.startButton()->isEnabled(); },
                 [&] {
                     w.choose(secondPath);
                     w.begin(0.2);
                 });
    w.begin(0.2);
    QTRY_VERIFY_WITH_TIMEOUT(w.receiver.streams.size() == 2 &&
                                     w.receiver.last()->data.size() == second.size(),
                             20000);
    QTRY_VERIFY(w.receiver.streams[0]->closed);
    QVERIFY(w.receiver.streams[0]->data.size() < first.size());
    QVERIFY(first.startsWith(w.receiver.streams[0]->data));
    QVERIFY(w.receiver.streams[1]->data == second);
}

void UpdateStreamTest::boxClosesConnection_data()
{
    QTest::addColumn<bool>("system");
    QTest::addColumn<QByteArray>("failure");
    QTest::newRow("camera") << false << QByteArray("Update camera fw failed: ");
    QTest::newRow("system") << true << QByteArray("Update file system failed: ");
}

// The box drops the stream's connection without a report: the run ends at once and the stream
// stops; a failure report that follows still shows its own text.
void UpdateStreamTest::boxClosesConnection()
{
    QFETCH(bool, system);
    QFETCH(QByteArray, failure);

    WindowDriver w(system ? WindowKind::System : WindowKind::Camera, m_broker.port());
    QVERIFY(writeFile(w.image, imageBytes(16 * MiB)));
    w.receiver.onData = [&](StreamReceiver::Stream &stream) {
        if (stream.data.size() >= MiB)
            stream.socket->abort();
    };
    w.begin(0.2);
    QTRY_COMPARE_WITH_TIMEOUT(w.state()->text(),
                              QStringLiteral("Update Failed: Connection closed by the device"),
                              20000);
    QVERIFY(w.startButton()->isEnabled());
    QTRY_VERIFY(!fileOpenHere(w.image));
    w.report(reportPayload("1", "4", "Image incomplete", "0"));
    QTRY_COMPARE(w.state()->text(), failure + "Image incomplete");
    QCOMPARE(w.close(), QStringList());
}

// A box that reports nothing until it holds the whole image and reads slowly: the stream lasts
// longer than the no-report limit, yet each chunk it takes keeps the run alive.
void UpdateStreamTest::longStreamIsNoSilence()
{
    WindowDriver w(WindowKind::Camera, m_broker.port());
    const QByteArray image = imageBytes(32 * MiB, 3);
    QVERIFY(writeFile(w.image, image));
    // At most 1 MiB every 100 ms once the kernel's buffers are full: some 2 s for the image.
    w.receiver.setPaused(true, MiB);
    QTimer reader;
    connect(&reader, &QTimer::timeout, this, [&] { w.receiver.drain(); });
    reader.start(100);
    LabelLog state(w.state());
    // Once the stream runs, the box's second report starts a limit of 600 ms (40 minutes at
    // this scale). Every other wait keeps its hundredth: shorter ones would spin and hold up
    // the test's timers.
    w.onHandled = [](int handled) {
        LocalWait::setTimeScaleForTests(handled == 1 ? 600.0 / 2400000 : 0.01);
    };
    Poll reports([&] { return !w.receiver.streams.empty(); },
                 [&] {
                     w.report(reportPayload("1", "0", "Receiving", "0"));
                     w.report(reportPayload("1", "0", "Receiving", "0"));
                 });
    w.begin(0.01);
    QTRY_VERIFY_WITH_TIMEOUT(w.receiver.last() && w.receiver.last()->data.size() == image.size(),
                             30000);
    QVERIFY(w.receiver.last()->data == image);
    QVERIFY(!state.texts.contains(w.noReportText()));
    QVERIFY(!w.startButton()->isEnabled());
}

QTEST_MAIN(UpdateStreamTest)
#include "tst_updatestream.moc"
