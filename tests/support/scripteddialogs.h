#pragma once

#include "operatordialogs.h"

#include <QList>
#include <QStringList>

#include <functional>

// Stands in for the operator: records every dialog and answers as the test scripted.
// Installed for its lifetime.
class ScriptedDialogs : public OperatorDialogs
{
public:
    struct Call
    {
        QString kind; // "information", "question", "about", "file"
        QString title;
        QString text;
    };

    ScriptedDialogs() { OperatorDialogs::setInstance(this); }
    ~ScriptedDialogs() override { OperatorDialogs::setInstance(nullptr); }

    QMessageBox::StandardButton information(QWidget *, const QString &title,
                                            const QString &text) override;
    QMessageBox::StandardButton question(QWidget *, const QString &title,
                                         const QString &text) override;
    void about(QWidget *, const QString &title, const QString &text) override;
    QString getOpenFileName(QWidget *, const QString &caption, const QString &dir,
                            const QString &filter) override;

    QList<Call> calls;
    QStringList fileCaptions, fileDirs, fileFilters;

    // Answers to questions, taken in order; when none is left the answer is No.
    QList<QMessageBox::StandardButton> answers;
    // File dialog results in order; an empty list answers as a cancelled dialog.
    QStringList files;
    // Runs while a dialog "is open", before it answers (e.g. to spin the event loop).
    std::function<void(const Call &)> whileOpen;

    QStringList texts() const;
    int count(const QString &kind) const;
    void clear();

private:
    void opened(const QString &kind, const QString &title, const QString &text);
};
