#include "busyanimation.h"

#include "localwait.h"

#include <QPointer>
#include <QProgressBar>

void BusyAnimation::run(QWidget *window, QProgressBar *bar, Flags flags)
{
    QPointer<QWidget> guard(window);
    bar->setTextVisible(false);
    while (guard && window->isVisible()) {
        if (*flags.cycleStop) {
            if (*flags.succeeded) {
                bar->setTextVisible(true);
                bar->setValue(100);
                bar->repaint();
            } else {
                bar->setValue(60);
            }
            return;
        }
        if (*flags.cycleValue > 100)
            *flags.cycleValue = 0;
        bar->setValue(*flags.cycleValue);
        *flags.cycleValue += 5;
        LocalWait::wait(100);
    }
}
