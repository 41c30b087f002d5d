#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One simulated box of the virtual lab, as scripts/lab.sh describes it in TALIX_LAB_* variables.
class LabBox
{
public:
    int index = 0;
    QString ip, mac, sn, name, cameraType, osVersion, cameraFw;
    QString logPath;
    QString extraOptions; // the simulator options the lab gave this box; empty: well-behaved

    // The seven texts of the box's row in the device table, in column order.
    QStringList rowTexts() const;

    // Every box of the lab this process runs in; empty outside a lab.
    static QList<LabBox> fromEnvironment();
    // The workstation's address on the lab's bridge.
    static QString workstationIp();
    // Whether this process runs in the lab's workstation namespace: only there may the tool use
    // its real ports and the real broadcast.
    static bool insideLabNamespace();
};
