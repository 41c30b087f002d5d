#pragma once

#include "valuesampler.h"

#include <QPointer>
#include <QStringList>

class BoxLog;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
class ScriptedDialogs;

// Drives one recovery window the way an operator does: "Recovery" and Yes. Records what the
// window shows on the way.
class RecoveryWindowDriver
{
public:
    RecoveryWindowDriver(QWidget *window, ScriptedDialogs *dialogs);

    bool isValid() const;
    // The IP, MAC and SN texts the window shows.
    QStringList deviceTexts() const;

    // Starts a run. Waits keep their full length until `box` has logged the request (the
    // window's broker connection needs its real second); from then on they run at `scale`.
    void start(BoxLog *box, double scale);
    // Waits until the button is enabled again: the run is over.
    bool waitForEnd(int timeoutMs);

    QPointer<QWidget> window;
    QLabel *state = nullptr;
    QLabel *tip = nullptr;
    QProgressBar *bar = nullptr;
    QPushButton *button = nullptr;
    ValueSampler stateTexts;
    ValueSampler tipTexts;
    ValueSampler barValues;

private:
    ScriptedDialogs *m_dialogs;
};
