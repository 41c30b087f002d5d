#include "recoverywindowdriver.h"

#include "boxlog.h"
#include "localwait.h"
#include "scripteddialogs.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QWidget>

namespace {

template<typename T>
T *child(QWidget *window, const char *name)
{
    return window ? window->findChild<T *>(QLatin1String(name)) : nullptr;
}

} // namespace

RecoveryWindowDriver::RecoveryWindowDriver(QWidget *window, ScriptedDialogs *dialogs)
    : window(window)
    , state(child<QLabel>(window, "label_state_recovery"))
    , tip(child<QLabel>(window, "label_Tip"))
    , bar(child<QProgressBar>(window, "progressBar_Recovery"))
    , button(child<QPushButton>(window, "pushButton_Recovery"))
    , stateTexts([label = QPointer<QLabel>(state)] { return label ? label->text() : QString(); })
    , tipTexts([label = QPointer<QLabel>(tip)] { return label ? label->text() : QString(); })
    , barValues([b = QPointer<QProgressBar>(bar)] {
        return b ? QString::number(b->value()) : QString();
    })
    , m_dialogs(dialogs)
{}

bool RecoveryWindowDriver::isValid() const
{
    return window && state && tip && bar && button;
}

QStringList RecoveryWindowDriver::deviceTexts() const
{
    QStringList out;
    for (const char *name :
         {"label_recovery_ip_value", "label_recovery_mac_value", "label_recovery_sn_value"}) {
        const QLabel *label = child<QLabel>(window, name);
        out.append(label ? label->text() : QStringLiteral("(no %1)").arg(QLatin1String(name)));
    }
    return out;
}

void RecoveryWindowDriver::start(BoxLog *box, double scale)
{
    box->whenEvent(QStringLiteral("RECOVERY_REQUEST"),
                   [scale] { LocalWait::setTimeScaleForTests(scale); });
    m_dialogs->answers = {QMessageBox::Yes};
    button->click();
}

bool RecoveryWindowDriver::waitForEnd(int timeoutMs)
{
    // Evaluated between event loop passes, never inside a handler's local wait: when the
    // button is enabled here, the handler that enabled it has returned.
    const bool ended =
            QTest::qWaitFor([this] { return !window || button->isEnabled(); }, timeoutMs) && window;
    // What the last handler showed just before it returned.
    stateTexts.sample();
    tipTexts.sample();
    barValues.sample();
    return ended;
}
