#pragma once

#include "valuesampler.h"

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>

class BoxLog;
class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
class ScriptedDialogs;

// Drives one firmware update window the way an operator does, through its own widgets:
// "Browser" picks the image, "Start" and Yes begin the run, and the restart question after a
// camera update gets the answer given. Records what the window shows on the way.
class UpdateWindowDriver
{
public:
    UpdateWindowDriver(QWidget *window, ScriptedDialogs *dialogs);

    // Every widget the driver needs was found.
    bool isValid() const;
    // The IP, MAC and SN texts the window shows.
    QStringList deviceTexts() const;

    // Starts a run with the image at `path`. Waits keep their full length until `box` has
    // logged the request (the window's broker connection needs its real second); from then on,
    // for the stream, the reports and the countdown, they run at `scale`.
    void start(const QString &path, QMessageBox::StandardButton restartAnswer, BoxLog *box,
               double scale);
    // Waits until Start is enabled again: the run is over.
    bool waitForEnd(int timeoutMs);

    QPointer<QWidget> window;
    QLabel *state = nullptr;
    QLabel *tip = nullptr;
    QProgressBar *bar = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *browserButton = nullptr;
    ValueSampler stateTexts;
    ValueSampler tipTexts;
    ValueSampler barValues;

private:
    ScriptedDialogs *m_dialogs;
};
