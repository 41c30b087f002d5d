// The image digest an update request carries: equal to md5sum's on files around the block
// size and on a large one, an error on a failed read, and a prompt stop when its window goes.

#include "imagedigest.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

class ImageDigestTest : public QObject
{
    Q_OBJECT

private slots:
    void matchesMd5sum_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty") << qint64(0);
        QTest::newRow("one byte") << qint64(1);
        QTest::newRow("one block") << ImageDigest::BlockSize;
        QTest::newRow("one block and a byte") << ImageDigest::BlockSize + 1;
        QTest::newRow("300 MiB and a bit") << 300 * 1024 * 1024 + qint64(12345);
    }

    void matchesMd5sum()
    {
        QFETCH(qint64, size);
        // Every MiB differs, so a block lost, doubled or out of order changes the digest.
        const QString path = m_dir.filePath(QString::number(size));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray mib(1024 * 1024, Qt::Uninitialized);
        QRandomGenerator random{quint32(size)};
        random.fillRange(reinterpret_cast<quint32 *>(mib.data()), mib.size() / 4);
        for (qint64 done = 0; done < size; done += mib.size()) {
            memcpy(mib.data(), &done, sizeof done);
            const qint64 n = qMin<qint64>(mib.size(), size - done);
            QCOMPARE(file.write(mib.constData(), n), n);
        }
        file.close();

        QProcess md5sum;
        md5sum.start(QStringLiteral("md5sum"), {path});
        QVERIFY(md5sum.waitForFinished(120000));
        const QByteArray expected = md5sum.readAllStandardOutput().left(32);

        QObject window;
        const ImageDigest::Result result = ImageDigest::md5InBackground(path, &window);
        QCOMPARE(result.status, ImageDigest::Done);
        QCOMPARE(result.md5Hex, expected);
    }

    void readError_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing") << m_dir.filePath(QStringLiteral("missing"));
        QTest::newRow("directory") << m_dir.path();
        // Opens, but reading from its start fails (EIO): a failure after a successful open.
        QTest::newRow("read fails") << QStringLiteral("/proc/self/mem");
    }

    void readError()
    {
        QFETCH(QString, path);
        QObject window;
        const ImageDigest::Result result = ImageDigest::md5InBackground(path, &window);
        QCOMPARE(result.status, ImageDigest::ReadError);
        QVERIFY(result.md5Hex.isEmpty());
    }

    void guardGoneStopsWorker()
    {
        // A file without end: only the stop can end this worker.
        auto *window = new QObject;
        QTimer::singleShot(50, this, [window] { delete window; });
        const ImageDigest::Result result =
                ImageDigest::md5InBackground(QStringLiteral("/dev/zero"), window);
        QCOMPARE(result.status, ImageDigest::Abandoned);
        QVERIFY(QThreadPool::globalInstance()->waitForDone(30000));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(ImageDigestTest)
#include "tst_imagedigest.moc"
