#pragma once

#include <QObject>

// Ends a device search from the event loop, after the search handler has returned.
class WorkThread : public QObject
{
    Q_OBJECT
public:
    explicit WorkThread(QObject *parent = nullptr) : QObject(parent) {}
    void Trigger() { emit DelaySignal(); }

signals:
    void DelaySignal();
};
