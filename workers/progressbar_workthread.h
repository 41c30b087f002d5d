#pragma once

#include <QObject>

// Starts a window's busy animation of its progress bar from the event loop.
class ProgressBar_WorkThread : public QObject
{
    Q_OBJECT
public:
    explicit ProgressBar_WorkThread(QObject *parent = nullptr) : QObject(parent) {}
    void Trigger() { emit Cycling_ProgressBar(); }

signals:
    void Cycling_ProgressBar();
};
