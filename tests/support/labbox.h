#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One simulated box of the virtual lab (scripts/lab.sh), as the lab describes it in TALIX_LAB_*
// variables, and what its simulator logged ("EVENT key=value ..." lines).
struct LabBox
{
    QStringList row;       // the seven texts of its row in the device table
    QString workstationIp; // the workstation's address on the box's network
    QString logPath;

    // The log lines of `event` so far.
    QStringList events(const QString &event) const;

    // Every box of the lab this process runs in.
    static QList<LabBox> fromEnvironment();
    // Whether this process runs in the lab's workstation namespace, the only place where the
    // tool may use its real ports and the real broadcast.
    static bool insideLabNamespace();
};

// The value of `key` in a log line (plain values only).
QString labField(const QString &line, const QString &key);

// Skips outside a lab; fails when started by a lab but not in its workstation namespace.
#define LAB_REQUIRE_NAMESPACE()                                                                    \
    do {                                                                                           \
        if (qEnvironmentVariableIsEmpty("TALIX_LAB_NS"))                                           \
            QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");    \
        QVERIFY2(LabBox::insideLabNamespace(), "not inside the lab's workstation namespace");      \
    } while (false)
