#include "boxsimprocess.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

BoxSimProcess::BoxSimProcess(const QString &executable)
    : m_executable(executable)
{}

BoxSimProcess::~BoxSimProcess()
{
    stop();
}

QString BoxSimProcess::defaultExecutable()
{
    const QByteArray fromEnv = qgetenv("TALIX_BOXSIM");
    if (!fromEnv.isEmpty())
        return QString::fromLocal8Bit(fromEnv);
#ifdef TALIX_BOXSIM_PATH
    return QStringLiteral(TALIX_BOXSIM_PATH);
#else
    return QStringLiteral("talix-boxsim");
#endif
}

bool BoxSimProcess::start(const QStringList &arguments, bool waitForBroker, int timeoutMs)
{
    m_lines.clear();
    m_partial.clear();
    m_process.start(m_executable, arguments);
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    const QDeadlineTimer deadline(timeoutMs);
    if (waitForEvent(QStringLiteral("READY"), {}, int(deadline.remainingTime())).isNull())
        return false;
    if (waitForBroker && waitForEvent(QStringLiteral("MQTT_SUBSCRIBE"), {QStringLiteral("ok=1")},
                                      int(qMax<qint64>(0, deadline.remainingTime())))
                                 .isNull())
        return false;
    return true;
}

void BoxSimProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    collect();
}

bool BoxSimProcess::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

void BoxSimProcess::collect()
{
    m_partial += m_process.readAllStandardOutput();
    int newline;
    while ((newline = m_partial.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_partial.left(newline)));
        m_partial.remove(0, newline + 1);
    }
}

QStringList BoxSimProcess::lines()
{
    collect();
    return m_lines;
}

QStringList BoxSimProcess::events(const QString &event)
{
    QStringList out;
    for (const QString &line : lines()) {
        if (eventName(line) == event)
            out.append(line);
    }
    return out;
}

QString BoxSimProcess::errorOutput()
{
    return QString::fromUtf8(m_process.readAllStandardError());
}

QString BoxSimProcess::waitForLine(const std::function<bool(const QString &)> &match, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    int checked = 0;
    for (;;) {
        collect();
        for (; checked < m_lines.size(); ++checked) {
            if (match(m_lines.at(checked)))
                return m_lines.at(checked);
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return QString();
        // Sleep in the event loop until output arrives or a short slice passes, so sockets
        // and MQTT clients of the test keep working meanwhile.
        QEventLoop loop;
        QTimer::singleShot(int(qMin<qint64>(50, deadline.remainingTime())), &loop,
                           &QEventLoop::quit);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
        QObject::connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                         &loop, &QEventLoop::quit);
        loop.exec();
    }
}

QString BoxSimProcess::waitForEvent(const QString &event, const QStringList &fields, int timeoutMs)
{
    return waitForLine(
            [&](const QString &line) {
                if (eventName(line) != event)
                    return false;
                for (const QString &kv : fields) {
                    const int eq = kv.indexOf(QLatin1Char('='));
                    if (field(line, kv.left(eq)) != kv.mid(eq + 1))
                        return false;
                }
                return true;
            },
            timeoutMs);
}

quint16 BoxSimProcess::discoveryPort()
{
    return quint16(
            field(waitForEvent(QStringLiteral("READY"), {}, 0), QStringLiteral("discovery_port"))
                    .toUInt());
}

quint16 BoxSimProcess::tcpPort()
{
    return quint16(field(waitForEvent(QStringLiteral("READY"), {}, 0), QStringLiteral("tcp_port"))
                           .toUInt());
}

QString BoxSimProcess::eventName(const QString &line)
{
    return line.section(QLatin1Char(' '), 0, 0);
}

QString BoxSimProcess::field(const QString &line, const QString &key)
{
    // Walks the line token by token, so that "key=" inside a quoted value never matches.
    int i = line.indexOf(QLatin1Char(' '));
    while (i >= 0 && i < line.size()) {
        while (i < line.size() && line.at(i) == QLatin1Char(' '))
            ++i;
        const int eq = line.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            return QString();
        const QString name = line.mid(i, eq - i);
        int j = eq + 1;
        QString value;
        if (j < line.size() && line.at(j) == QLatin1Char('"')) {
            ++j;
            while (j < line.size() && line.at(j) != QLatin1Char('"')) {
                QChar c = line.at(j);
                if (c == QLatin1Char('\\') && j + 1 < line.size()) {
                    const QChar e = line.at(++j);
                    if (e == QLatin1Char('n'))
                        c = QLatin1Char('\n');
                    else if (e == QLatin1Char('r'))
                        c = QLatin1Char('\r');
                    else if (e == QLatin1Char('t'))
                        c = QLatin1Char('\t');
                    else if (e == QLatin1Char('x') && j + 2 < line.size()) {
                        c = QChar(line.mid(j + 1, 2).toUShort(nullptr, 16));
                        j += 2;
                    } else
                        c = e;
                }
                value += c;
                ++j;
            }
            ++j; // closing quote
        } else {
            const int end = line.indexOf(QLatin1Char(' '), j);
            value = line.mid(j, end < 0 ? -1 : end - j);
            j = end < 0 ? line.size() : end;
        }
        if (name == key)
            return value.isNull() ? QStringLiteral("") : value;
        i = j;
    }
    return QString();
}
