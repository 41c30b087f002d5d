#include "scripteddialogs.h"

ScriptedDialogs::ScriptedDialogs()
{
    OperatorDialogs::setInstance(this);
}

ScriptedDialogs::~ScriptedDialogs()
{
    OperatorDialogs::setInstance(nullptr);
}

QMessageBox::StandardButton ScriptedDialogs::information(QWidget *, const QString &title,
                                                         const QString &text)
{
    calls.append({QStringLiteral("information"), title, text});
    if (whileOpen)
        whileOpen(calls.last());
    return QMessageBox::Ok;
}

QMessageBox::StandardButton ScriptedDialogs::question(QWidget *, const QString &title,
                                                      const QString &text)
{
    calls.append({QStringLiteral("question"), title, text});
    const Call call = calls.last();
    if (whileOpen)
        whileOpen(call);
    return answers.isEmpty() ? defaultAnswer : answers.takeFirst();
}

void ScriptedDialogs::about(QWidget *, const QString &title, const QString &text)
{
    calls.append({QStringLiteral("about"), title, text});
    if (whileOpen)
        whileOpen(calls.last());
}

QString ScriptedDialogs::getOpenFileName(QWidget *, const QString &caption, const QString &dir,
                                         const QString &filter)
{
    calls.append({QStringLiteral("file"), caption, filter});
    fileCaptions << caption;
    fileDirs << dir;
    fileFilters << filter;
    if (whileOpen)
        whileOpen(calls.last());
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
    int n = 0;
    for (const Call &c : calls)
        n += c.kind == kind;
    return n;
}
