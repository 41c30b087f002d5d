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

    void request_data()
    {
        QTest::addColumn<bool>("system");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("grownBy"); // bytes added after the choice
        QTest::newRow("camera, empty") << false << "empty.bin" << QByteArray() << 0;
        QTest::newRow("camera, a name to escape")
                << false << QString::fromUtf8("fw \"\xce\xb2\".bin") << QByteArray("message digest")
                << 0;
        QTest::newRow("camera, 2,500,000 bytes, grown after the choice")
                << false << "big.bin" << imageBytes(2500000) << 5000;
        QTest::newRow("system, 4 MiB") << true << "big.img" << imageBytes(4 * MiB) << 0;
    }

    void request()
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
        // Exactly the announced bytes, some 5 s after the request, in chunks with a pause after
        // each.
        QCOMPARE(int(w.receiver.streams.size()), 1);
        QVERIFY(w.receiver.last()->data == contents);
        const auto &reads = w.receiver.last()->reads;
        if (!reads.isEmpty())
            QVERIFY2(reads[0].first - requestAt >= 900,
                     qPrintable(QString::number(reads[0].first - requestAt)));
        for (qint64 offset = chunk; offset < contents.size(); offset += chunk) {
            int i = 0;
            while (i + 1 < reads.size() && reads[i].second != offset)
                ++i;
            QVERIFY2(i + 1 < reads.size() && reads[i + 1].first - reads[i].first >= 20,
                     qPrintable(QStringLiteral("no pause at %1").arg(offset)));
        }
    }

    void fileGone_data()
    {
        QTest::addColumn<bool>("system");
        // 0 before the request, 1 during the wait, 2 mid-stream; 3 the box drops the connection
        QTest::addColumn<int>("when");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("received"); // -1: no connection
        const QString dropped = QStringLiteral("Update Failed: Connection closed by the device");
        QTest::newRow("camera, before the request")
                << false << 0 << "Mqtt Create Json Object Failed" << -1;
        QTest::newRow("camera, during the wait") << false << 1 << "Read Bin File Failed" << 0;
        QTest::newRow("system, during the wait") << true << 1 << "Read System File Failed" << 0;
        QTest::newRow("camera, cut short") << false << 2 << "Read Bin File Failed" << 2500000;
        QTest::newRow("system, cut short") << true << 2 << "Read System File Failed" << 2500000;
        QTest::newRow("camera, connection dropped") << false << 3 << dropped << MiB;
        QTest::newRow("system, connection dropped") << true << 3 << dropped << MiB;
    }

    // The file or the box's connection goes away: the run ends with its text and the stream stops;
    // a failure report that follows still shows its own text.
    void fileGone()
    {
        QFETCH(bool, system);
        QFETCH(int, when);
        QFETCH(QString, label);
        QFETCH(int, received);

        WindowDriver w(system ? WindowKind::System : WindowKind::Camera, m_broker.port());
        const QByteArray image = imageBytes(16 * MiB, 5);
        QVERIFY(writeFile(w.image, image));
        w.choose(w.image);
        if (when == 0)
            QVERIFY(QFile::remove(w.image));
        if (when == 1)
            connect(&w.box, &RawMqttPeer::messageArrived, this, [&] { QFile::remove(w.image); });
        w.receiver.onData = [&](StreamReceiver::Stream &stream) {
            if (when == 2 && stream.data.size() >= MiB && QFileInfo(w.image).size() == image.size())
                QFile(w.image).resize(received);
            if (when == 3 && stream.data.size() >= MiB)
                stream.socket->abort();
        };
        w.begin(0.2);
        QTRY_COMPARE_WITH_TIMEOUT(w.state()->text(), label, 20000);
        QVERIFY(w.startButton()->isEnabled());
        QTRY_VERIFY(!fileOpenHere(w.image)); // the stream has stopped
        QVERIFY(w.box.sync());
        QCOMPARE(w.requests(), when == 0 ? 0 : 1);
        QCOMPARE(int(w.receiver.streams.size()), received < 0 ? 0 : 1);
        if (received >= 0) {
            const QByteArray &data = w.receiver.last()->data; // dropped: a part of the image
            QVERIFY(when == 3 ? image.startsWith(data) : data == image.left(received));
            QTRY_VERIFY(w.receiver.last()->closed);
        }
        w.report(reportPayload("1", "4", "Image incomplete", "0"));
        QTRY_COMPARE(w.state()->text(),
                     QString(system ? "Update file system failed: Image incomplete"
                                    : "Update camera fw failed: Image incomplete"));
        QCOMPARE(w.close(), QStringList());
    }

    // An unreadable report ends a run whose stream still runs; the next run's image goes over a
    // connection of its own.
    void newStreamNeverSharesConnection()
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

    // A box that reports nothing until it holds the whole image, and reads slowly. While it does
    // not read, the window holds back the rest of the image instead of reading it all into memory;
    // then the stream lasts longer than the no-report limit, yet each chunk it takes keeps the run
    // alive.
    void slowBox()
    {
        WindowDriver w(WindowKind::Camera, m_broker.port());
        const QByteArray image = imageBytes(32 * MiB, 3);
        QVERIFY(writeFile(w.image, image));
        // Nothing taken for a second (ten times what the 32 chunks take at their pace), then at
        // most 1 MiB every 100 ms: some 3 s for the image.
        w.receiver.paced = MiB;
        QTimer reader;
        connect(&reader, &QTimer::timeout, this, [&] { w.receiver.take(*w.receiver.last()); });
        bool heldBack = false;
        // Once the stream runs, the box's second report starts a limit of 600 ms (40 minutes at
        // this scale). Every other wait keeps its hundredth: shorter ones would spin and hold up
        // the test's timers.
        w.onHandled = [](int handled) {
            LocalWait::setTimeScaleForTests(handled == 1 ? 600.0 / 2400000 : 0.01);
        };
        Poll reports([&] { return !w.receiver.streams.empty(); },
                     [&] {
                         QTimer::singleShot(1000, w.window, [&] {
                             heldBack = fileOpenHere(w.image);
                             w.report(reportPayload("1", "0", "Receiving", "0"));
                             w.report(reportPayload("1", "0", "Receiving", "0"));
                             reader.start(100);
                         });
                     });
        w.begin(0.01);
        QTRY_VERIFY_WITH_TIMEOUT(
                w.receiver.last() && w.receiver.last()->data.size() == image.size(), 30000);
        QVERIFY(heldBack);
        QVERIFY(w.receiver.last()->data == image);
        QVERIFY(!w.startButton()->isEnabled()); // the no-report limit did not end the run
    }

private:
    MosquittoBroker m_broker;
};

QTEST_MAIN(UpdateStreamTest)
#include "tst_updatestream.moc"
