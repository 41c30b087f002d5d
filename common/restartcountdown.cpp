#include "restartcountdown.h"

#include "localwait.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>

namespace RestartCountdown {

bool run(QWidget *window, QLabel *label)
{
    QPointer<QWidget> guard(window);
    const QString text = QCoreApplication::translate(
            "RestartCountdown",
            "The system is restarting, please do not close the form. It takes about 1 minute. "
            "Countdown: ");
    for (int n = 60; n >= 0; --n) {
        label->setText(text + QString::number(n));
        LocalWait::wait(1000);
        if (!guard)
            return false;
    }
    return true;
}

} // namespace RestartCountdown
