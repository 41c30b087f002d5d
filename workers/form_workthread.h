#pragma once

#include <QObject>

// Starts the update request of a firmware update window from the event loop.
class Form_WorkThread : public QObject
{
    Q_OBJECT
public:
    explicit Form_WorkThread(QObject *parent = nullptr) : QObject(parent) {}
    void Trigger() { emit CameraOrBoard_Updating(); }

signals:
    void CameraOrBoard_Updating();
};
