#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>

// One line per event, "EVENT key=value ... t_ms=N", on stdout and optionally in a file, so
// that tests and operators can grep what the box saw and did. Lines are flushed at once.
class EventLog
{
public:
    using Fields = QList<QPair<QString, QString>>;

    // Payloads longer than this are logged by their first bytes and marked truncated=1.
    static constexpr int PayloadLogLimit = 4096;

    explicit EventLog(const QString &filePath = QString());

    bool isOpen() const { return m_filePath.isEmpty() || m_file.isOpen(); }
    QString fileError() const { return m_file.errorString(); }

    void event(const QString &name, const Fields &fields = {});

    // Adds bytes=, payload_hex= and payload= (Latin-1 text with escapes) for `payload`.
    static void addPayload(Fields *fields, const QByteArray &payload);
    // A value as written in a line: bare when it is a plain token, else quoted with escapes.
    static QString quote(const QString &value);

private:
    QString m_filePath;
    QFile m_file;
    QElapsedTimer m_clock;
};
