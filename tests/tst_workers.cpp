#include "form_workthread.h"
#include "formtcptransfer.h"
#include "localwait.h"
#include "progressbar_workthread.h"
#include "recoveryform_workthread.h"
#include "workthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

// One of the five worker objects, with a way to fire it through its own Trigger().
struct Worker
{
    std::unique_ptr<QObject> object;
    std::function<void()> trigger;
};

Worker makeWorker(const QByteArray &className)
{
    Worker w;
    if (className == "WorkThread") {
        auto *o = new WorkThread;
        w.trigger = [o] { o->Trigger(); };
        w.object.reset(o);
    } else if (className == "Form_WorkThread") {
        auto *o = new Form_WorkThread;
        w.trigger = [o] { o->Trigger(); };
        w.object.reset(o);
    } else if (className == "FormTcpTransfer") {
        auto *o = new FormTcpTransfer;
        w.trigger = [o] { o->Trigger(); };
        w.object.reset(o);
    } else if (className == "ProgressBar_WorkThread") {
        auto *o = new ProgressBar_WorkThread;
        w.trigger = [o] { o->Trigger(); };
        w.object.reset(o);
    } else if (className == "RecoveryForm_WorkThread") {
        auto *o = new RecoveryForm_WorkThread;
        w.trigger = [o] { o->Trigger(); };
        w.object.reset(o);
    }
    return w;
}

// The worker's only method: its parameterless signal.
QMetaMethod onlySignal(const QObject *object)
{
    const QMetaObject *mo = object->metaObject();
    return mo->method(mo->methodOffset());
}

// Stands in for a window: one slot, reached from the worker's signal through a queued connection.
class Owner : public QObject
{
    Q_OBJECT
public:
    std::function<void()> onCall;
    QStringList log;

public slots:
    void DeferredStep()
    {
        if (onCall)
            onCall();
        else
            log << QStringLiteral("call");
    }
};

bool connectQueued(QObject *worker, Owner *owner)
{
    const int slot = owner->metaObject()->indexOfSlot("DeferredStep()");
    return QObject::connect(worker, onlySignal(worker), owner, owner->metaObject()->method(slot),
                            Qt::QueuedConnection);
}

} // namespace

// The five worker objects defer a slot of their owner to the event loop; the local wait keeps
// that loop running.
class tst_Workers : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void workerShape_data();
    void workerShape();
    void triggerReturnsBeforeSlotRuns_data();
    void triggerReturnsBeforeSlotRuns();
    void eachFiringGivesOneCallInOrder();
    void secondCallStartsInsideWaitOfFirst_data();
    void secondCallStartsInsideWaitOfFirst();
    void ownerDeletedBeforeDelivery();
    void localWaitKeepsEventsFlowing();
    void localWaitScaling_data();
    void localWaitScaling();
    void sleepBlocksTheEventLoop();
};

void tst_Workers::cleanup()
{
    LocalWait::setTimeScaleForTests(1.0);
}

void tst_Workers::workerShape_data()
{
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QByteArray>("signalName");

    QTest::newRow("WorkThread") << QByteArray("WorkThread") << QByteArray("DelaySignal");
    QTest::newRow("Form_WorkThread")
            << QByteArray("Form_WorkThread") << QByteArray("CameraOrBoard_Updating");
    QTest::newRow("FormTcpTransfer") << QByteArray("FormTcpTransfer") << QByteArray("TCP_Transfer");
    QTest::newRow("ProgressBar_WorkThread")
            << QByteArray("ProgressBar_WorkThread") << QByteArray("Cycling_ProgressBar");
    QTest::newRow("RecoveryForm_WorkThread")
            << QByteArray("RecoveryForm_WorkThread") << QByteArray("Recovering_System");
}

void tst_Workers::workerShape()
{
    QFETCH(QByteArray, className);
    QFETCH(QByteArray, signalName);

    const Worker w = makeWorker(className);
    QVERIFY(w.object);
    const QMetaObject *mo = w.object->metaObject();
    QCOMPARE(QByteArray(mo->className()), className);
    QVERIFY(w.object->inherits(className.constData()));
    QCOMPARE(mo->superClass(), &QObject::staticMetaObject);
    // One parameterless signal and nothing else of its own.
    QCOMPARE(mo->methodCount() - mo->methodOffset(), 1);
    QCOMPARE(mo->propertyCount() - mo->propertyOffset(), 0);
    const QMetaMethod signal = onlySignal(w.object.get());
    QCOMPARE(signal.methodType(), QMetaMethod::Signal);
    QCOMPARE(signal.name(), signalName);
    QCOMPARE(signal.parameterCount(), 0);
}

void tst_Workers::triggerReturnsBeforeSlotRuns_data()
{
    workerShape_data();
}

void tst_Workers::triggerReturnsBeforeSlotRuns()
{
    QFETCH(QByteArray, className);

    const Worker w = makeWorker(className);
    Owner owner;
    QVERIFY(connectQueued(w.object.get(), &owner));

    w.trigger();
    QVERIFY(owner.log.isEmpty()); // only posted so far
    QTRY_COMPARE_WITH_TIMEOUT(owner.log.size(), 1, 5000);
}

void tst_Workers::eachFiringGivesOneCallInOrder()
{
    // Two owners sharing one log show the order across workers; firing one worker twice before
    // delivery must give two calls, never one merged call.
    const Worker first = makeWorker("Form_WorkThread");
    const Worker second = makeWorker("FormTcpTransfer");
    Owner a;
    Owner b;
    QStringList log;
    a.onCall = [&log] { log << QStringLiteral("first"); };
    b.onCall = [&log] { log << QStringLiteral("second"); };
    QVERIFY(connectQueued(first.object.get(), &a));
    QVERIFY(connectQueued(second.object.get(), &b));

    first.trigger();
    second.trigger();
    first.trigger();
    QVERIFY(log.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(log.size(), 3, 5000);
    QCOMPARE(log, (QStringList{"first", "second", "first"}));
    QCoreApplication::processEvents();
    QCOMPARE(log.size(), 3);
}

void tst_Workers::secondCallStartsInsideWaitOfFirst_data()
{
    QTest::addColumn<bool>("secondFiredDuringWait");
    // Both firings queued before the first call starts: the posted second call must not sit
    // behind the first call's whole wait.
    QTest::newRow("both fired before delivery") << false;
    QTest::newRow("second fired by the first call") << true;
}

void tst_Workers::secondCallStartsInsideWaitOfFirst()
{
    QFETCH(bool, secondFiredDuringWait);

    LocalWait::setTimeScaleForTests(0.01);
    const Worker w = makeWorker("ProgressBar_WorkThread");
    Owner owner;
    int calls = 0;
    owner.onCall = [&] {
        const int n = ++calls;
        owner.log << QStringLiteral("start %1").arg(n);
        if (n == 1) {
            if (secondFiredDuringWait)
                w.trigger();
            LocalWait::wait(1000); // the second posted call is dispatched by this loop
        }
        owner.log << QStringLiteral("end %1").arg(n);
    };
    QVERIFY(connectQueued(w.object.get(), &owner));

    w.trigger();
    if (!secondFiredDuringWait)
        w.trigger();
    QTRY_COMPARE_WITH_TIMEOUT(owner.log.size(), 4, 5000);
    QCOMPARE(owner.log, (QStringList{"start 1", "start 2", "end 2", "end 1"}));
}

void tst_Workers::ownerDeletedBeforeDelivery()
{
    // A window closed after firing must not receive the posted call.
    const Worker w = makeWorker("RecoveryForm_WorkThread");
    auto *owner = new Owner;
    bool called = false;
    owner->onCall = [&called] { called = true; };
    QVERIFY(connectQueued(w.object.get(), owner));
    w.trigger();
    delete owner;
    QCoreApplication::processEvents();
    QVERIFY(!called);
}

void tst_Workers::localWaitKeepsEventsFlowing()
{
    LocalWait::setTimeScaleForTests(0.01);
    bool timerFired = false;
    bool postedRan = false;
    QTimer::singleShot(0, [&timerFired] { timerFired = true; });
    QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&postedRan] { postedRan = true; }, Qt::QueuedConnection);
    LocalWait::wait(1000);
    QVERIFY(timerFired);
    QVERIFY(postedRan);
}

void tst_Workers::localWaitScaling_data()
{
    QTest::addColumn<double>("scale");
    QTest::addColumn<int>("nominal");
    QTest::addColumn<int>("scaled");

    QTest::newRow("product time") << 1.0 << 1000 << 1000;
    QTest::newRow("hundredth") << 0.01 << 61000 << 610;
    QTest::newRow("rounded to the nearest ms") << 0.001 << 1500 << 2;
    QTest::newRow("zero scale is refused") << 0.0 << 1000 << 1000;
    QTest::newRow("negative scale is refused") << -2.0 << 1000 << 1000;
}

void tst_Workers::localWaitScaling()
{
    QFETCH(double, scale);
    QFETCH(int, nominal);
    QFETCH(int, scaled);

    LocalWait::setTimeScaleForTests(scale);
    QCOMPARE(LocalWait::scaled(nominal), scaled);

    // A scaled-down wait ends in about its scaled length, far from the nominal one.
    if (scaled < nominal) {
        QElapsedTimer timer;
        timer.start();
        LocalWait::wait(nominal);
        QVERIFY2(timer.elapsed() < nominal / 2, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(timer.elapsed() >= scaled - 2);
    }
}

void tst_Workers::sleepBlocksTheEventLoop()
{
    LocalWait::setTimeScaleForTests(0.1);
    bool postedRan = false;
    QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&postedRan] { postedRan = true; }, Qt::QueuedConnection);
    LocalWait::sleep(100);
    QVERIFY(!postedRan);
    QCoreApplication::processEvents();
    QVERIFY(postedRan);
}

QTEST_GUILESS_MAIN(tst_Workers)
#include "tst_workers.moc"
