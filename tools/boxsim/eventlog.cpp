#include "eventlog.h"

#include <cstdio>

EventLog::EventLog(const QString &filePath)
    : m_filePath(filePath)
{
    m_clock.start();
    if (!m_filePath.isEmpty()) {
        m_file.setFileName(m_filePath);
        m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    }
}

void EventLog::event(const QString &name, const Fields &fields)
{
    QString line = name;
    for (const auto &field : fields)
        line += QLatin1Char(' ') + field.first + QLatin1Char('=') + quote(field.second);
    line += QStringLiteral(" t_ms=%1\n").arg(m_clock.elapsed());
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (m_file.isOpen()) {
        m_file.write(bytes);
        m_file.flush();
    }
}

void EventLog::addPayload(Fields *fields, const QByteArray &payload)
{
    const bool truncated = payload.size() > PayloadLogLimit;
    const QByteArray shown = truncated ? payload.left(PayloadLogLimit) : payload;
    fields->append({QStringLiteral("bytes"), QString::number(payload.size())});
    if (truncated)
        fields->append({QStringLiteral("truncated"), QStringLiteral("1")});
    fields->append({QStringLiteral("payload_hex"), QString::fromLatin1(shown.toHex())});
    fields->append(
            {QStringLiteral("payload"), QString::fromLatin1(shown.constData(), shown.size())});
}

QString EventLog::quote(const QString &value)
{
    bool plain = !value.isEmpty();
    for (const QChar c : value) {
        const ushort u = c.unicode();
        const bool token = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                           (u >= '0' && u <= '9') || QStringLiteral("._:/%+,@-").contains(c);
        if (!token) {
            plain = false;
            break;
        }
    }
    if (plain)
        return value;
    // Quoted: backslash escapes for quote, backslash and control characters keep the line one line.
    QString out = QStringLiteral("\"");
    for (const QChar c : value) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    out += QLatin1Char('"');
    return out;
}
