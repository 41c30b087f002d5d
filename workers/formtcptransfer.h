#pragma once

#include <QObject>

// Starts the image stream of a firmware update window from the event loop.
class FormTcpTransfer : public QObject
{
    Q_OBJECT
public:
    explicit FormTcpTransfer(QObject *parent = nullptr) : QObject(parent) {}
    void Trigger() { emit TCP_Transfer(); }

signals:
    void TCP_Transfer();
};
