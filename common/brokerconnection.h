#pragma once

#include <QString>

class MqttClient;
class QObject;

// How the update and recovery windows open their connection to a box's broker: set host and
// port, start connecting when disconnected, then one fixed 1000 ms local wait.
namespace BrokerConnection {

enum Result { Connected, NotConnected, WindowGone };

// `window` is the owner of `client`; when it is deleted during the wait the caller must
// return at once without touching it.
Result open(MqttClient *client, const QString &host, quint16 port, QObject *window);

} // namespace BrokerConnection
