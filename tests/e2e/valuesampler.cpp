#include "valuesampler.h"

ValueSampler::ValueSampler(const std::function<QString()> &read)
    : m_read(read)
{
    values.append(m_read());
    QObject::connect(&m_timer, &QTimer::timeout, [this] { sample(); });
    m_timer.start(1);
}

void ValueSampler::clear()
{
    values = QStringList{m_read()};
}

void ValueSampler::sample()
{
    const QString now = m_read();
    if (!values.isEmpty() && now == values.last())
        return;
    values.append(now);
    if (onChange)
        onChange(now);
}

bool ValueSampler::showedInOrder(const QStringList &wanted) const
{
    int at = 0;
    for (const QString &v : values) {
        if (at < wanted.size() && v == wanted.at(at))
            ++at;
    }
    return at == wanted.size();
}
