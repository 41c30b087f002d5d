#include "devicelister.h"

#include "devicecollector.h"
#include "deviceinfoparse.h"
#include "discovery.h"
#include "framecheck.h"
#include "localwait.h"

#include <QObject>
#include <QTextStream>
#include <QUdpSocket>

DeviceLister::DeviceLister(const Endpoints &endpoints)
    : m_endpoints(endpoints)
{}

int DeviceLister::run(int waitMs, DeviceList::Format format, QTextStream &out, QTextStream &err)
{
    QUdpSocket socket;
    if (!Discovery::bind(&socket, m_endpoints.discoveryBindPort)) {
        err << QStringLiteral("talix-toolkits: cannot use UDP port %1 for the search: %2\n")
                        .arg(m_endpoints.discoveryBindPort)
                        .arg(socket.errorString());
        err.flush();
        return CannotBind;
    }

    const FrameCheck check;
    const DeviceInfoParse parse;
    DeviceCollector collector;
    QList<QStringList> rows;
    QObject::connect(&socket, &QUdpSocket::readyRead,
                     [&] { rows += collector.readFrom(&socket, check, parse); });
    Discovery::sendRequest(&socket, QHostAddress(m_endpoints.discoveryAddress),
                           m_endpoints.discoveryTargetPort);
    LocalWait::wait(waitMs);
    rows += collector.readFrom(&socket, check, parse);

    out << DeviceList::format(format, rows);
    out.flush();
    return rows.isEmpty() ? NoneFound : Found;
}
