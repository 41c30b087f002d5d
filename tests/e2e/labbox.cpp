#include "labbox.h"

#include <sys/stat.h>

namespace {

QString labVariable(int box, const char *name)
{
    return qEnvironmentVariable(
            qPrintable(QStringLiteral("TALIX_LAB_BOX_%1_%2").arg(box).arg(QLatin1String(name))));
}

} // namespace

QStringList LabBox::rowTexts() const
{
    return {ip, mac, sn, name, cameraType, osVersion, cameraFw};
}

QList<LabBox> LabBox::fromEnvironment()
{
    QList<LabBox> boxes;
    const int count = qEnvironmentVariableIntValue("TALIX_LAB_BOXES");
    for (int i = 1; i <= count; ++i) {
        LabBox box;
        box.index = i;
        box.ip = labVariable(i, "IP");
        box.mac = labVariable(i, "MAC");
        box.sn = labVariable(i, "SN");
        box.name = labVariable(i, "NAME");
        box.cameraType = labVariable(i, "CAMERA_TYPE");
        box.osVersion = labVariable(i, "OS_VERSION");
        box.cameraFw = labVariable(i, "CAMERA_FW");
        box.logPath = labVariable(i, "LOG");
        box.extraOptions = labVariable(i, "EXTRA");
        boxes.append(box);
    }
    return boxes;
}

QString LabBox::workstationIp()
{
    return qEnvironmentVariable("TALIX_LAB_WS_IP");
}

bool LabBox::insideLabNamespace()
{
    const QByteArray name = qgetenv("TALIX_LAB_NS");
    if (name.isEmpty() || name.contains('/'))
        return false;
    struct stat mine = {};
    struct stat lab = {};
    const QByteArray labPath = "/run/netns/" + name;
    return ::stat("/proc/self/ns/net", &mine) == 0 && ::stat(labPath.constData(), &lab) == 0 &&
           mine.st_dev == lab.st_dev && mine.st_ino == lab.st_ino;
}
