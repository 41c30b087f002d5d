#include "scripteddialogs.h"

#include <algorithm>

void ScriptedDialogs::opened(const QString &kind, const QString &title, const QString &text)
{
    calls.append({kind, title, text});
    if (whileOpen)
        whileOpen(Call(calls.last()));
}

QMessageBox::StandardButton ScriptedDialogs::information(QWidget *, const QString &title,
                                                         const QString &text)
{
    opened(QStringLiteral("information"), title, text);
    return QMessageBox::Ok;
}

QMessageBox::StandardButton ScriptedDialogs::question(QWidget *, const QString &title,
                                                      const QString &text)
{
    opened(QStringLiteral("question"), title, text);
    return answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
}

void ScriptedDialogs::about(QWidget *, const QString &title, const QString &text)
{
    opened(QStringLiteral("about"), title, text);
}

QString ScriptedDialogs::getOpenFileName(QWidget *, const QString &caption, const QString &dir,
                                         const QString &filter)
{
    fileCaptions << caption;
    fileDirs << dir;
    fileFilters << filter;
    opened(QStringLiteral("file"), caption, filter);
    return files.isEmpty() ? QString() : files.takeFirst();
}

QStringList ScriptedDialogs::texts() const
{
    QStringList out;
    for (const Call &c : calls)
        out << c.text;
    return out;
}

int ScriptedDialogs::count(const QString &kind) const
{
    return int(std::count_if(calls.cbegin(), calls.cend(),
                             [&](const Call &c) { return c.kind == kind; }));
}

void ScriptedDialogs::clear()
{
    calls.clear();
    fileCaptions.clear();
    fileDirs.clear();
    fileFilters.clear();
}
