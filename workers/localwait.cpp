#include "localwait.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace {
double g_scale = 1.0;
}

namespace LocalWait {

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(scaled(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    // Calls posted before the one that is running now must also run during the wait. The glib
    // dispatcher (Qt's default on Linux) only looks at posted events again after a new post, so
    // without this nudge they would wait for the whole wait.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->wakeUp();
    loop.exec();
}

void sleep(int ms)
{
    QThread::msleep(ulong(scaled(ms)));
}

int scaled(int ms)
{
    if (g_scale == 1.0)
        return ms;
    // A scaled wait never becomes 0 ms: a loop of zero-length timers starves every other
    // timer of the glib event loop.
    return ms > 0 ? qMax(1, int(std::lround(ms * g_scale))) : ms;
}

void setTimeScaleForTests(double scale)
{
    g_scale = scale > 0 ? scale : 1.0;
}

double timeScale()
{
    return g_scale;
}

} // namespace LocalWait
