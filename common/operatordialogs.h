#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Every message box and file dialog the tool shows goes through here, so that tests can
// script the operator's answers. The default shows the real QMessageBox / QFileDialog.
class OperatorDialogs
{
public:
    virtual ~OperatorDialogs() = default;

    virtual QMessageBox::StandardButton information(QWidget *parent, const QString &title,
                                                    const QString &text);
    // Yes and No, no default button.
    virtual QMessageBox::StandardButton question(QWidget *parent, const QString &title,
                                                 const QString &text);
    virtual void about(QWidget *parent, const QString &title, const QString &text);
    virtual QString getOpenFileName(QWidget *parent, const QString &caption, const QString &dir,
                                    const QString &filter);

    static OperatorDialogs *instance();
    // Test-only; nullptr brings back the real dialogs. The caller keeps ownership.
    static void setInstance(OperatorDialogs *dialogs);
};
