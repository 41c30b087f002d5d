#include "boxtext.h"

QString BoxText::shown(const QString &text)
{
    return text.size() > MaxShownChars ? text.left(MaxShownChars) : text;
}
