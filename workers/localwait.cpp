#include "localwait.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <cmath>

namespace {
double g_scale = 1.0;
}

void LocalWait::wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(scaled(ms), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void LocalWait::sleep(int ms)
{
    QThread::msleep(ulong(scaled(ms)));
}

int LocalWait::scaled(int ms)
{
    if (g_scale == 1.0)
        return ms;
    return int(std::lround(ms * g_scale));
}

void LocalWait::setTimeScaleForTests(double scale)
{
    g_scale = scale > 0 ? scale : 1.0;
}

double LocalWait::timeScale()
{
    return g_scale;
}
