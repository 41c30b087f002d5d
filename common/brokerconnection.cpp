#include "brokerconnection.h"

#include "localwait.h"
#include "mqttclient.h"

#include <QPointer>

namespace BrokerConnection {

Result open(MqttClient *client, const QString &host, quint16 port, QObject *window)
{
    QPointer<QObject> guard(window);
    client->setHostname(host);
    client->setPort(port);
    if (client->state() == MqttClient::Disconnected)
        client->connectToHost();
    LocalWait::wait(1000);
    if (!guard)
        return WindowGone;
    return client->state() == MqttClient::Connected ? Connected : NotConnected;
}

} // namespace BrokerConnection
