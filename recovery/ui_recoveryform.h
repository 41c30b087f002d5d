#pragma once

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

// The recovery window's widgets, built as a designer form would build them.
class Ui_RecoveryForm
{
public:
    QProgressBar *progressBar_Recovery = nullptr;
    QLabel *label_recovery_sn_value = nullptr;
    QLabel *label = nullptr;
    QLabel *label_recovery_ip_value = nullptr;
    QLabel *label_state_recovery = nullptr;
    QLabel *label_6 = nullptr;
    QLabel *label_recovery_mac_value = nullptr;
    QLabel *label_4 = nullptr;
    QPushButton *pushButton_Recovery = nullptr;
    QLabel *label_Tip = nullptr;

    void setupUi(QWidget *RecoveryForm)
    {
        if (RecoveryForm->objectName().isEmpty())
            RecoveryForm->setObjectName(QString::fromUtf8("RecoveryForm"));
        RecoveryForm->resize(461, 335);
        progressBar_Recovery = new QProgressBar(RecoveryForm);
        progressBar_Recovery->setObjectName(QString::fromUtf8("progressBar_Recovery"));
        progressBar_Recovery->setGeometry(QRect(5, 275, 450, 23));
        progressBar_Recovery->setValue(0);
        label_recovery_sn_value = new QLabel(RecoveryForm);
        label_recovery_sn_value->setObjectName(QString::fromUtf8("label_recovery_sn_value"));
        label_recovery_sn_value->setGeometry(QRect(110, 100, 200, 13));
        label = new QLabel(RecoveryForm);
        label->setObjectName(QString::fromUtf8("label"));
        label->setGeometry(QRect(40, 40, 47, 13));
        label_recovery_ip_value = new QLabel(RecoveryForm);
        label_recovery_ip_value->setObjectName(QString::fromUtf8("label_recovery_ip_value"));
        label_recovery_ip_value->setGeometry(QRect(110, 40, 200, 13));
        label_state_recovery = new QLabel(RecoveryForm);
        label_state_recovery->setObjectName(QString::fromUtf8("label_state_recovery"));
        label_state_recovery->setGeometry(QRect(10, 315, 421, 16));
        QFont font;
        font.setPointSize(9);
        label_state_recovery->setFont(font);
        label_6 = new QLabel(RecoveryForm);
        label_6->setObjectName(QString::fromUtf8("label_6"));
        label_6->setGeometry(QRect(40, 100, 47, 13));
        label_recovery_mac_value = new QLabel(RecoveryForm);
        label_recovery_mac_value->setObjectName(QString::fromUtf8("label_recovery_mac_value"));
        label_recovery_mac_value->setGeometry(QRect(110, 70, 200, 13));
        label_4 = new QLabel(RecoveryForm);
        label_4->setObjectName(QString::fromUtf8("label_4"));
        label_4->setGeometry(QRect(40, 70, 47, 13));
        pushButton_Recovery = new QPushButton(RecoveryForm);
        pushButton_Recovery->setObjectName(QString::fromUtf8("pushButton_Recovery"));
        pushButton_Recovery->setGeometry(QRect(180, 222, 75, 28));
        pushButton_Recovery->setFont(font);
        label_Tip = new QLabel(RecoveryForm);
        label_Tip->setObjectName(QString::fromUtf8("label_Tip"));
        label_Tip->setGeometry(QRect(40, 136, 411, 61));
        QFont font1;
        font1.setPointSize(10);
        font1.setBold(false);
        font1.setWeight(50);
        label_Tip->setFont(font1);
        label_Tip->setAutoFillBackground(false);
        label_Tip->setTextFormat(Qt::AutoText);
        label_Tip->setScaledContents(false);
        label_Tip->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignTop);
        label_Tip->setWordWrap(true);
        label_Tip->setOpenExternalLinks(false);

        retranslateUi(RecoveryForm);

        QMetaObject::connectSlotsByName(RecoveryForm);
    }

    void retranslateUi(QWidget *RecoveryForm)
    {
        RecoveryForm->setWindowTitle(QCoreApplication::translate("RecoveryForm", "Form", nullptr));
        label_recovery_sn_value->setText(
                QCoreApplication::translate("RecoveryForm", "SN\357\274\232", nullptr));
        label->setText(QCoreApplication::translate("RecoveryForm", "IP\357\274\232", nullptr));
        label_recovery_ip_value->setText(
                QCoreApplication::translate("RecoveryForm", "IP\357\274\232", nullptr));
        label_state_recovery->setText(
                QCoreApplication::translate("RecoveryForm", "TextLabel", nullptr));
        label_6->setText(QCoreApplication::translate("RecoveryForm", "SN\357\274\232", nullptr));
        label_recovery_mac_value->setText(
                QCoreApplication::translate("RecoveryForm", "MAC\357\274\232", nullptr));
        label_4->setText(QCoreApplication::translate("RecoveryForm", "MAC\357\274\232", nullptr));
        pushButton_Recovery->setText(
                QCoreApplication::translate("RecoveryForm", "Recovery", nullptr));
        label_Tip->setText(QCoreApplication::translate(
                "RecoveryForm",
                "Note: Please do not disconnect the power of the camera\357\274\214and it takes "
                "about 25 minutes to restore the default system.",
                nullptr));
    }
};

namespace Ui {
class RecoveryForm : public Ui_RecoveryForm
{
};
} // namespace Ui
