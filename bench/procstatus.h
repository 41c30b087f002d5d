#pragma once

// Memory figures of this process from Linux's /proc, for the benchmarks.

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

namespace ProcStatus {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 where there is none.
inline qint64 statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts the peak-RSS count afresh (Linux 4.0 and later).
inline bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

} // namespace ProcStatus
