#pragma once

#include <QByteArray>
#include <QString>

// One report the box is to publish: topic and exact payload bytes.
struct PlannedReport
{
    QString topic;
    QByteArray payload;
};
