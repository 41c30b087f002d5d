#pragma once

#include "operatordialogs.h"

#include <QList>
#include <QString>

#include <functional>

// Stands in for the operator while a fuzzer runs: answers every box at once, questions from a
// scripted list, and lets the caller run events "while a box is open". Installed for its lifetime.
class FuzzDialogs : public OperatorDialogs
{
public:
    FuzzDialogs();
    ~FuzzDialogs() override;

    QMessageBox::StandardButton information(QWidget *parent, const QString &title,
                                            const QString &text) override;
    QMessageBox::StandardButton question(QWidget *parent, const QString &title,
                                         const QString &text) override;
    void about(QWidget *parent, const QString &title, const QString &text) override;
    QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                            const QString &filter) override;

    // Answers to questions in order; No once they are used up.
    QList<QMessageBox::StandardButton> answers;
    // Runs while a box "is open", before it answers.
    std::function<void()> whileOpen;
    // Texts of the boxes shown since the last clear, kept short: a fuzzer runs for millions of
    // inputs.
    QList<QString> texts;

    void clear();

private:
    void opened(const QString &text);
};
