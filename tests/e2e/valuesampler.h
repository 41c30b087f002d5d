#pragma once

#include <QStringList>
#include <QTimer>

#include <functional>

// Records every value a widget shows, in order, by reading it from a fast timer. The timer
// also fires inside the local waits of the windows' handlers, so it sees each step of a
// countdown or an animation that runs nested in a report handler.
class ValueSampler
{
public:
    explicit ValueSampler(const std::function<QString()> &read);

    // Each distinct value, in the order shown (repeats only after another value).
    QStringList values;
    // Called with each new value.
    std::function<void(const QString &)> onChange;

    void clear();
    // Whether `wanted` were shown in this order (other values may come between).
    bool showedInOrder(const QStringList &wanted) const;
    // Takes a value now, e.g. the last one a handler set before it returned.
    void sample();

private:
    std::function<QString()> m_read;
    QTimer m_timer;
};
