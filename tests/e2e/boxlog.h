#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// What one simulated box wrote to its event log (one "EVENT key=value ..." line per event),
// read from the file the lab gave it, counted from a mark so that each step of a test sees
// only what its own actions caused.
class BoxLog
{
public:
    explicit BoxLog(const QString &path = QString());

    // Later reads see only lines written from now on.
    void mark();
    QStringList lines() const;
    QStringList events(const QString &event) const;
    // The first line since the mark of `event` whose fields include every "key=value" of
    // `fields`, waiting with the event loop running; null when none came in time.
    QString waitForEvent(const QString &event, const QStringList &fields = {},
                         int timeoutMs = 10000) const;
    // Every MQTT message the box received since the mark, as `topic "payload"`.
    QStringList received() const;
    // Runs `action` once, from the event loop (also inside nested local waits), as soon as
    // `event` appears after the mark.
    void whenEvent(const QString &event, const std::function<void()> &action);

    // `topic "payload"`, the payload's bytes as Latin-1 characters, so that equal texts mean
    // equal bytes.
    static QString describe(const QString &topic, const QByteArray &payload);

private:
    QStringList allLines() const;
    static bool hasFields(const QString &line, const QStringList &fields);

    QString m_path;
    int m_skip = 0;
    QTimer m_poll;
};
