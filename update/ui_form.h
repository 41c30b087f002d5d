#pragma once

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

// The update window's widgets, built as a designer form would build them.
class Ui_Form
{
public:
    QLabel *label = nullptr;
    QLabel *label_ip_value = nullptr;
    QLabel *label_mac_value = nullptr;
    QLabel *label_4 = nullptr;
    QLabel *label_sn_value = nullptr;
    QLabel *label_6 = nullptr;
    QLineEdit *lineEdit = nullptr;
    QPushButton *pushButton_Browser = nullptr;
    QPushButton *pushButton_Start = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *label_state = nullptr;
    QLabel *label_Tip = nullptr;

    void setupUi(QWidget *Form)
    {
        if (Form->objectName().isEmpty())
            Form->setObjectName(QString::fromUtf8("Form"));
        Form->resize(461, 355);
        label = new QLabel(Form);
        label->setObjectName(QString::fromUtf8("label"));
        label->setGeometry(QRect(40, 40, 47, 13));
        label_ip_value = new QLabel(Form);
        label_ip_value->setObjectName(QString::fromUtf8("label_ip_value"));
        label_ip_value->setGeometry(QRect(110, 40, 200, 13));
        label_mac_value = new QLabel(Form);
        label_mac_value->setObjectName(QString::fromUtf8("label_mac_value"));
        label_mac_value->setGeometry(QRect(110, 70, 200, 13));
        label_4 = new QLabel(Form);
        label_4->setObjectName(QString::fromUtf8("label_4"));
        label_4->setGeometry(QRect(40, 70, 47, 13));
        label_sn_value = new QLabel(Form);
        label_sn_value->setObjectName(QString::fromUtf8("label_sn_value"));
        label_sn_value->setGeometry(QRect(110, 100, 200, 13));
        label_6 = new QLabel(Form);
        label_6->setObjectName(QString::fromUtf8("label_6"));
        label_6->setGeometry(QRect(40, 100, 47, 13));
        lineEdit = new QLineEdit(Form);
        lineEdit->setObjectName(QString::fromUtf8("lineEdit"));
        lineEdit->setGeometry(QRect(40, 140, 291, 20));
        pushButton_Browser = new QPushButton(Form);
        pushButton_Browser->setObjectName(QString::fromUtf8("pushButton_Browser"));
        pushButton_Browser->setGeometry(QRect(350, 138, 75, 23));
        pushButton_Start = new QPushButton(Form);
        pushButton_Start->setObjectName(QString::fromUtf8("pushButton_Start"));
        pushButton_Start->setGeometry(QRect(180, 250, 75, 28));
        QFont font;
        font.setPointSize(9);
        pushButton_Start->setFont(font);
        progressBar = new QProgressBar(Form);
        progressBar->setObjectName(QString::fromUtf8("progressBar"));
        progressBar->setGeometry(QRect(5, 295, 450, 23));
        progressBar->setValue(0);
        label_state = new QLabel(Form);
        label_state->setObjectName(QString::fromUtf8("label_state"));
        label_state->setGeometry(QRect(10, 335, 421, 16));
        label_state->setFont(font);
        label_Tip = new QLabel(Form);
        label_Tip->setObjectName(QString::fromUtf8("label_Tip"));
        label_Tip->setGeometry(QRect(40, 178, 381, 61));
        QFont font1;
        font1.setPointSize(10);
        label_Tip->setFont(font1);
        label_Tip->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignTop);
        label_Tip->setWordWrap(true);

        retranslateUi(Form);

        QMetaObject::connectSlotsByName(Form);
    }

    void retranslateUi(QWidget *Form)
    {
        Form->setWindowTitle(QCoreApplication::translate("Form", "Form", nullptr));
        label->setText(QCoreApplication::translate("Form", "IP\357\274\232", nullptr));
        label_ip_value->setText(QCoreApplication::translate("Form", "IP\357\274\232", nullptr));
        label_mac_value->setText(QCoreApplication::translate("Form", "MAC\357\274\232", nullptr));
        label_4->setText(QCoreApplication::translate("Form", "MAC\357\274\232", nullptr));
        label_sn_value->setText(QCoreApplication::translate("Form", "SN\357\274\232", nullptr));
        label_6->setText(QCoreApplication::translate("Form", "SN\357\274\232", nullptr));
        pushButton_Browser->setText(QCoreApplication::translate("Form", "Browser", nullptr));
        pushButton_Start->setText(QCoreApplication::translate("Form", "Start", nullptr));
        label_state->setText(QCoreApplication::translate("Form", "TextLabel", nullptr));
        label_Tip->setText(QCoreApplication::translate(
                "Form",
                "Note: Please do not disconnect the power of the camera\357\274\214and it takes "
                "about 30 minutes to update the system fw.",
                nullptr));
    }
};

namespace Ui {
class Form : public Ui_Form
{
};
} // namespace Ui
