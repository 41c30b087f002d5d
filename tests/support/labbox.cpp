#include "labbox.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

namespace {

QString labVariable(int box, const char *name)
{
    return qEnvironmentVariable(
            qPrintable(QStringLiteral("TALIX_LAB_BOX_%1_%2").arg(box).arg(name)));
}

} // namespace

QStringList LabBox::events(const QString &event) const
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.startsWith(event.toUtf8() + ' '))
            lines.append(QString::fromUtf8(line));
    }
    return lines;
}

QList<LabBox> LabBox::fromEnvironment()
{
    QList<LabBox> boxes;
    for (int i = 1; i <= qEnvironmentVariableIntValue("TALIX_LAB_BOXES"); ++i) {
        LabBox box;
        for (const char *name :
             {"IP", "MAC", "SN", "NAME", "CAMERA_TYPE", "OS_VERSION", "CAMERA_FW"})
            box.row.append(labVariable(i, name));
        box.workstationIp = labVariable(i, "WS_IP");
        box.logPath = labVariable(i, "LOG");
        boxes.append(box);
    }
    return boxes;
}

bool LabBox::insideLabNamespace()
{
    const QByteArray name = qgetenv("TALIX_LAB_NS");
    struct stat mine = {};
    struct stat lab = {};
    return !name.isEmpty() && !name.contains('/') && ::stat("/proc/self/ns/net", &mine) == 0 &&
           ::stat(("/run/netns/" + name).constData(), &lab) == 0 && mine.st_dev == lab.st_dev &&
           mine.st_ino == lab.st_ino;
}

QString labField(const QString &line, const QString &key)
{
    const QRegularExpression pattern(QStringLiteral(" %1=(\\S*)").arg(key));
    return pattern.match(line).captured(1);
}
