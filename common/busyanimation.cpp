#include "busyanimation.h"

#include "localwait.h"

#include <QPointer>
#include <QProgressBar>

namespace BusyAnimation {

void run(QWidget *window, QProgressBar *bar, State &state)
{
    QPointer<QWidget> guard(window);
    bar->setTextVisible(false);
    while (guard && window->isVisible()) {
        if (state.cycleStop) {
            if (state.succeeded) {
                bar->setTextVisible(true);
                bar->setValue(100);
                bar->repaint();
            } else {
                bar->setValue(60);
            }
            return;
        }
        if (state.cycleValue > 100)
            state.cycleValue = 0;
        bar->setValue(state.cycleValue);
        state.cycleValue += 5;
        LocalWait::wait(100);
    }
}

} // namespace BusyAnimation
