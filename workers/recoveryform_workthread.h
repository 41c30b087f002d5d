#pragma once

#include <QObject>

// Starts the recovery request of a recovery window from the event loop.
class RecoveryForm_WorkThread : public QObject
{
    Q_OBJECT
public:
    explicit RecoveryForm_WorkThread(QObject *parent = nullptr) : QObject(parent) {}
    void Trigger() { emit Recovering_System(); }

signals:
    void Recovering_System();
};
