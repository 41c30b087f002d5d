#include "boxlog.h"

#include "boxsimprocess.h"

#include <QFile>
#include <QTest>

BoxLog::BoxLog(const QString &path)
    : m_path(path)
{
    m_poll.setInterval(5);
}

QStringList BoxLog::allLines() const
{
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArray data = f.readAll();
    // A line still being written is left for the next read.
    const int end = data.lastIndexOf('\n');
    data.truncate(end + 1);
    return QString::fromUtf8(data).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void BoxLog::mark()
{
    m_skip = allLines().size();
}

QStringList BoxLog::lines() const
{
    return allLines().mid(m_skip);
}

QStringList BoxLog::events(const QString &event) const
{
    QStringList out;
    for (const QString &line : lines()) {
        if (BoxSimProcess::eventName(line) == event)
            out.append(line);
    }
    return out;
}

bool BoxLog::hasFields(const QString &line, const QStringList &fields)
{
    for (const QString &f : fields) {
        const int eq = f.indexOf(QLatin1Char('='));
        if (BoxSimProcess::field(line, f.left(eq)) != f.mid(eq + 1))
            return false;
    }
    return true;
}

QString BoxLog::waitForEvent(const QString &event, const QStringList &fields, int timeoutMs) const
{
    QString found;
    const bool seen = QTest::qWaitFor(
            [&] {
                for (const QString &line : events(event)) {
                    if (hasFields(line, fields)) {
                        found = line;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
    return seen ? found : QString();
}

QStringList BoxLog::received() const
{
    QStringList out;
    for (const QString &line : events(QStringLiteral("RECV"))) {
        QString text = describe(
                BoxSimProcess::field(line, QStringLiteral("topic")),
                QByteArray::fromHex(
                        BoxSimProcess::field(line, QStringLiteral("payload_hex")).toLatin1()));
        if (!BoxSimProcess::field(line, QStringLiteral("truncated")).isNull())
            text += QStringLiteral(" (truncated)");
        out.append(text);
    }
    return out;
}

void BoxLog::whenEvent(const QString &event, const std::function<void()> &action)
{
    m_poll.disconnect();
    QObject::connect(&m_poll, &QTimer::timeout, [this, event, action] {
        if (events(event).isEmpty())
            return;
        m_poll.stop();
        action();
    });
    m_poll.start();
}

QString BoxLog::describe(const QString &topic, const QByteArray &payload)
{
    return topic + QStringLiteral(" \"") + QString::fromLatin1(payload) + QLatin1Char('"');
}
