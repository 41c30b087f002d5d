#pragma once

#include <QApplication>
#include <QFont>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QWidget>

// The main window's widgets, built as a designer form would build them.
class Ui_MainWindow
{
public:
    QWidget *centralwidget = nullptr;
    QTableView *tableView = nullptr;
    QPushButton *pushButton_Search_Device = nullptr;
    QLabel *label_Search_State = nullptr;
    QMenuBar *menubar = nullptr;
    QStatusBar *statusbar = nullptr;

    void setupUi(QMainWindow *MainWindow)
    {
        if (MainWindow->objectName().isEmpty())
            MainWindow->setObjectName(QString::fromUtf8("MainWindow"));
        MainWindow->resize(1035, 496);
        QIcon icon;
        icon.addFile(QString::fromUtf8("Toolkit.ico"), QSize(), QIcon::Normal, QIcon::Off);
        MainWindow->setWindowIcon(icon);
        centralwidget = new QWidget(MainWindow);
        centralwidget->setObjectName(QString::fromUtf8("centralwidget"));
        tableView = new QTableView(centralwidget);
        tableView->setObjectName(QString::fromUtf8("tableView"));
        tableView->setGeometry(QRect(10, 40, 866, 400));
        QFont font;
        font.setPointSize(9);
        tableView->setFont(font);
        tableView->setContextMenuPolicy(Qt::CustomContextMenu);
        tableView->setSelectionMode(QAbstractItemView::SingleSelection);
        tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
        tableView->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        tableView->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
        tableView->horizontalHeader()->setDefaultSectionSize(120);
        pushButton_Search_Device = new QPushButton(centralwidget);
        pushButton_Search_Device->setObjectName(QString::fromUtf8("pushButton_Search_Device"));
        pushButton_Search_Device->setGeometry(QRect(890, 40, 131, 61));
        pushButton_Search_Device->setFont(font);
        label_Search_State = new QLabel(centralwidget);
        label_Search_State->setObjectName(QString::fromUtf8("label_Search_State"));
        label_Search_State->setGeometry(QRect(10, 460, 71, 16));
        MainWindow->setCentralWidget(centralwidget);
        menubar = new QMenuBar(MainWindow);
        menubar->setObjectName(QString::fromUtf8("menubar"));
        menubar->setGeometry(QRect(0, 0, 1035, 21));
        MainWindow->setMenuBar(menubar);
        statusbar = new QStatusBar(MainWindow);
        statusbar->setObjectName(QString::fromUtf8("statusbar"));
        MainWindow->setStatusBar(statusbar);

        retranslateUi(MainWindow);

        QMetaObject::connectSlotsByName(MainWindow);
    }

    void retranslateUi(QMainWindow *MainWindow)
    {
        MainWindow->setWindowTitle(
                QCoreApplication::translate("MainWindow", "Talix Tool_Kits V1.0.0.0", nullptr));
        pushButton_Search_Device->setText(
                QCoreApplication::translate("MainWindow", "Search Device", nullptr));
        label_Search_State->setText(
                QCoreApplication::translate("MainWindow", "TextLabel", nullptr));
    }
};

namespace Ui {
class MainWindow : public Ui_MainWindow
{
};
} // namespace Ui
