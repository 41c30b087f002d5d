// talix-boxsim: a simulated Talix box for tests, demos and the virtual lab.

#include "boxcontroller.h"
#include "boxsettings.h"
#include "discoveryresponder.h"
#include "eventlog.h"
#include "imagereceiver.h"
#include "signalwatcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talix-boxsim"));

    BoxSettings settings;
    QString error;
    QString help;
    bool helpRequested = false;
    if (!BoxSettings::fromArguments(QCoreApplication::arguments(), &settings, &error,
                                    &helpRequested, &help)) {
        std::fprintf(stderr, "talix-boxsim: %s\n", qPrintable(error));
        return 2;
    }
    if (helpRequested) {
        std::fputs(qPrintable(help), stdout);
        return 0;
    }

    EventLog log(settings.logFile);
    if (!log.isOpen()) {
        std::fprintf(stderr, "talix-boxsim: cannot open log %s: %s\n", qPrintable(settings.logFile),
                     qPrintable(log.fileError()));
        return 2;
    }

    SignalWatcher signalWatcher;
    signalWatcher.install();
    QObject::connect(&signalWatcher, &SignalWatcher::terminationRequested, &app,
                     [&log](int signalNumber) {
                         log.event(QStringLiteral("STOP"),
                                   {{QStringLiteral("signal"), QString::number(signalNumber)}});
                         QCoreApplication::quit();
                     });

    log.event(QStringLiteral("START"),
              {{QStringLiteral("ip"), settings.ip.toString()},
               {QStringLiteral("mac"), QString::fromLatin1(settings.mac.toHex(':').toUpper())},
               {QStringLiteral("sn"), settings.sn},
               {QStringLiteral("name"), settings.name},
               {QStringLiteral("camera_type"), settings.cameraType},
               {QStringLiteral("os_version"), settings.osVersion},
               {QStringLiteral("camera_fw"), settings.cameraFw},
               {QStringLiteral("update"), settings.updateScenario},
               {QStringLiteral("recovery"), settings.recoveryScenario}});

    DiscoveryResponder discovery(settings, &log);
    if (!discovery.start())
        return 3;
    ImageReceiver receiver(settings, &log);
    if (!receiver.start())
        return 3;
    BoxController controller(settings, &log, &receiver);
    controller.start();

    log.event(QStringLiteral("READY"),
              {{QStringLiteral("discovery_port"), QString::number(discovery.port())},
               {QStringLiteral("tcp_port"), QString::number(receiver.port())},
               {QStringLiteral("broker"),
                settings.useBroker
                        ? QStringLiteral("%1:%2").arg(settings.brokerHost).arg(settings.brokerPort)
                        : QStringLiteral("none")}});
    return app.exec();
}
