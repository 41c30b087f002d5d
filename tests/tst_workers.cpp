#include "localwait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

// The local wait: how long it lasts, and that posted calls keep running while it waits.
class tst_Workers : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { LocalWait::setTimeScaleForTests(1.0); }
    void scaling_data()
    {
        QTest::addColumn<double>("scale");
        QTest::addColumn<int>("nominal");
        QTest::addColumn<int>("scaled");

        QTest::newRow("hundredth") << 0.01 << 61000 << 610;
        QTest::newRow("rounded to the nearest ms") << 0.001 << 1500 << 2;
        QTest::newRow("a wait never becomes 0 ms") << 0.0001 << 1000 << 1;
        QTest::newRow("zero scale is refused") << 0.0 << 1000 << 1000;
        QTest::newRow("negative scale is refused") << -2.0 << 1000 << 1000;
    }

    void scaling()
    {
        QFETCH(double, scale);
        QFETCH(int, nominal);
        QFETCH(int, scaled);

        LocalWait::setTimeScaleForTests(scale);
        QCOMPARE(LocalWait::scaled(nominal), scaled);
        if (scaled == nominal)
            return;
        // The wait lasts at least its scaled length, and ends long before a timer of the nominal
        // length fires inside it.
        bool nominalPassed = false;
        QTimer::singleShot(nominal, this, [&nominalPassed] { nominalPassed = true; });
        QElapsedTimer timer;
        timer.start();
        LocalWait::wait(nominal);
        QVERIFY(timer.elapsed() >= scaled - 1);
        QVERIFY(!nominalPassed);
    }

    void postedCalls_data()
    {
        QTest::addColumn<bool>("sleep");
        QTest::addColumn<QStringList>("expected");

        // A call posted before the running one (a worker's deferred slot, a report) must not sit
        // behind that call's whole wait.
        QTest::newRow("wait") << false << QStringList{"start 1", "start 2", "end 2", "end 1"};
        // The pause of a search blocks: nothing runs until it is over.
        QTest::newRow("sleep") << true << QStringList{"start 1", "end 1", "start 2", "end 2"};
    }

    void postedCalls()
    {
        QFETCH(bool, sleep);
        QFETCH(QStringList, expected);

        LocalWait::setTimeScaleForTests(0.01);
        QStringList log;
        int calls = 0;
        std::function<void()> call = [&] {
            const int n = ++calls;
            log << QStringLiteral("start %1").arg(n);
            if (n == 1)
                sleep ? LocalWait::sleep(1000) : LocalWait::wait(1000);
            log << QStringLiteral("end %1").arg(n);
        };
        QMetaObject::invokeMethod(this, call, Qt::QueuedConnection);
        QMetaObject::invokeMethod(this, call, Qt::QueuedConnection);
        QTRY_COMPARE_WITH_TIMEOUT(log.size(), 4, 5000);
        QCOMPARE(log, expected);
    }
};

QTEST_GUILESS_MAIN(tst_Workers)
#include "tst_workers.moc"
