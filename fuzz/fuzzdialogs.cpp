#include "fuzzdialogs.h"

namespace {
// Enough to see what a run showed without the list growing for ever.
constexpr int KeptTexts = 64;
} // namespace

FuzzDialogs::FuzzDialogs()
{
    OperatorDialogs::setInstance(this);
}

FuzzDialogs::~FuzzDialogs()
{
    OperatorDialogs::setInstance(nullptr);
}

void FuzzDialogs::clear()
{
    answers.clear();
    texts.clear();
}

void FuzzDialogs::opened(const QString &text)
{
    if (texts.size() < KeptTexts)
        texts.append(text);
    if (whileOpen)
        whileOpen();
}

QMessageBox::StandardButton FuzzDialogs::information(QWidget *, const QString &,
                                                     const QString &text)
{
    opened(text);
    return QMessageBox::Ok;
}

QMessageBox::StandardButton FuzzDialogs::question(QWidget *, const QString &, const QString &text)
{
    opened(text);
    return answers.isEmpty() ? QMessageBox::No : answers.takeFirst();
}

void FuzzDialogs::about(QWidget *, const QString &, const QString &text)
{
    opened(text);
}

QString FuzzDialogs::getOpenFileName(QWidget *, const QString &caption, const QString &,
                                     const QString &)
{
    opened(caption);
    return QString(); // as if cancelled: the fuzzers never choose files
}
