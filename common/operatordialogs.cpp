#include "operatordialogs.h"

#include <QFileDialog>

namespace {
OperatorDialogs g_default;
OperatorDialogs *g_current = &g_default;
} // namespace

QMessageBox::StandardButton OperatorDialogs::information(QWidget *parent, const QString &title,
                                                         const QString &text)
{
    return QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

QMessageBox::StandardButton OperatorDialogs::question(QWidget *parent, const QString &title,
                                                      const QString &text)
{
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No);
}

void OperatorDialogs::about(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::about(parent, title, text);
}

QString OperatorDialogs::getOpenFileName(QWidget *parent, const QString &caption,
                                         const QString &dir, const QString &filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

OperatorDialogs *OperatorDialogs::instance()
{
    return g_current;
}

void OperatorDialogs::setInstance(OperatorDialogs *dialogs)
{
    g_current = dialogs ? dialogs : &g_default;
}
