#pragma once

#include <QString>

// A text that came from a box, as a one-line state label shows it: its beginning only, so
// that a report of megabytes never stalls a window for seconds while the label lays it out.
class BoxText
{
public:
    // Far more than a state label can show.
    static constexpr int MaxShownChars = 1024;

    static QString shown(const QString &text);
};
