#pragma once

#include <QtCore/QCoreApplication>
#include <QtCore/QVariant>
#include <QtGui/QFont>
#include <QtGui/QIcon>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QSpacerItem>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QTabWidget>
#include <QtWidgets/QTextBrowser>
#include <QtWidgets/QVBoxLayout>
#include <QtWidgets/QWidget>

// The main window's widget tree. It only builds and labels the widgets;
// BrantolexMainWindow fills, restores and connects them. The pointers do not
// own anything: every widget belongs to the window's object tree.
class Ui_BrantolexMainWindow
{
public:
    QWidget *centralWidget;
    QGridLayout *gridLayout_2;
    QLabel *l_currentPlugin;
    QTabWidget *tabWidget;
    QWidget *Events;
    QVBoxLayout *verticalLayout;
    QSpacerItem *verticalSpacer;
    QCheckBox *c_sysex;
    QCheckBox *c_midiClockMessages;
    QCheckBox *c_translateCC0toPluginSelect;
    QSpacerItem *verticalSpacer_2;
    QWidget *Device;
    QGridLayout *gridLayout;
    QComboBox *c_midiOutDevice;
    QLabel *l_midiOutDevice;
    QComboBox *c_midiInDevice;
    QLabel *l_midiInDevice;
    QCheckBox *c_createVirtualInput;
    QSpinBox *c_midiChannel;
    QLabel *l_midiChannel;
    QWidget *About;
    QGridLayout *gridLayout_3;
    QTextBrowser *t_About;

    void setupUi(QMainWindow *BrantolexMainWindow)
    {
        if (BrantolexMainWindow->objectName().isEmpty())
            BrantolexMainWindow->setObjectName(QString::fromUtf8("BrantolexMainWindow"));
        BrantolexMainWindow->setEnabled(true);
        BrantolexMainWindow->resize(295, 194);
        QFont font;
        font.setFamily(QString::fromUtf8("Ubuntu"));
        BrantolexMainWindow->setFont(font);
        QIcon icon;
        icon.addFile(QString::fromUtf8(":/icons/midi-connector.png"), QSize(), QIcon::Normal,
                     QIcon::Off);
        BrantolexMainWindow->setWindowIcon(icon);
        BrantolexMainWindow->setUnifiedTitleAndToolBarOnMac(true);

        centralWidget = new QWidget(BrantolexMainWindow);
        centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
        gridLayout_2 = new QGridLayout(centralWidget);
        gridLayout_2->setSpacing(6);
        gridLayout_2->setContentsMargins(11, 11, 11, 11);
        gridLayout_2->setObjectName(QString::fromUtf8("gridLayout_2"));

        l_currentPlugin = new QLabel(centralWidget);
        l_currentPlugin->setObjectName(QString::fromUtf8("l_currentPlugin"));
        QFont font1;
        font1.setFamily(QString::fromUtf8("Arial Black"));
        font1.setPointSize(15);
        l_currentPlugin->setFont(font1);
        l_currentPlugin->setFrameShape(QFrame::Box);
        l_currentPlugin->setLineWidth(1);
        gridLayout_2->addWidget(l_currentPlugin, 0, 0, 1, 2);

        tabWidget = new QTabWidget(centralWidget);
        tabWidget->setObjectName(QString::fromUtf8("tabWidget"));

        Events = new QWidget();
        Events->setObjectName(QString::fromUtf8("Events"));
        verticalLayout = new QVBoxLayout(Events);
        verticalLayout->setSpacing(6);
        verticalLayout->setContentsMargins(11, 11, 11, 11);
        verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));
        verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout->addItem(verticalSpacer);
        c_sysex = new QCheckBox(Events);
        c_sysex->setObjectName(QString::fromUtf8("c_sysex"));
        verticalLayout->addWidget(c_sysex);
        c_midiClockMessages = new QCheckBox(Events);
        c_midiClockMessages->setObjectName(QString::fromUtf8("c_midiClockMessages"));
        verticalLayout->addWidget(c_midiClockMessages);
        c_translateCC0toPluginSelect = new QCheckBox(Events);
        c_translateCC0toPluginSelect->setObjectName(
            QString::fromUtf8("c_translateCC0toPluginSelect"));
        verticalLayout->addWidget(c_translateCC0toPluginSelect);
        verticalSpacer_2 = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
        verticalLayout->addItem(verticalSpacer_2);
        tabWidget->addTab(Events, QString());

        Device = new QWidget();
        Device->setObjectName(QString::fromUtf8("Device"));
        gridLayout = new QGridLayout(Device);
        gridLayout->setSpacing(6);
        gridLayout->setContentsMargins(11, 11, 11, 11);
        gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
        c_midiOutDevice = new QComboBox(Device);
        c_midiOutDevice->setObjectName(QString::fromUtf8("c_midiOutDevice"));
        c_midiOutDevice->setMinimumSize(QSize(200, 0));
        gridLayout->addWidget(c_midiOutDevice, 0, 0, 1, 2);
        l_midiOutDevice = new QLabel(Device);
        l_midiOutDevice->setObjectName(QString::fromUtf8("l_midiOutDevice"));
        gridLayout->addWidget(l_midiOutDevice, 0, 2, 1, 1);
        c_midiInDevice = new QComboBox(Device);
        c_midiInDevice->setObjectName(QString::fromUtf8("c_midiInDevice"));
        c_midiInDevice->setMinimumSize(QSize(200, 0));
        gridLayout->addWidget(c_midiInDevice, 1, 0, 1, 2);
        l_midiInDevice = new QLabel(Device);
        l_midiInDevice->setObjectName(QString::fromUtf8("l_midiInDevice"));
        gridLayout->addWidget(l_midiInDevice, 1, 2, 1, 1);
        c_createVirtualInput = new QCheckBox(Device);
        c_createVirtualInput->setObjectName(QString::fromUtf8("c_createVirtualInput"));
        gridLayout->addWidget(c_createVirtualInput, 2, 0, 1, 2);
        c_midiChannel = new QSpinBox(Device);
        c_midiChannel->setObjectName(QString::fromUtf8("c_midiChannel"));
        c_midiChannel->setMaximumSize(QSize(100, 16777215));
        c_midiChannel->setMinimum(1);
        c_midiChannel->setMaximum(16);
        gridLayout->addWidget(c_midiChannel, 3, 0, 1, 1);
        l_midiChannel = new QLabel(Device);
        l_midiChannel->setObjectName(QString::fromUtf8("l_midiChannel"));
        gridLayout->addWidget(l_midiChannel, 3, 1, 1, 2);
        tabWidget->addTab(Device, QString());

        About = new QWidget();
        About->setObjectName(QString::fromUtf8("About"));
        gridLayout_3 = new QGridLayout(About);
        gridLayout_3->setSpacing(6);
        gridLayout_3->setContentsMargins(11, 11, 11, 11);
        gridLayout_3->setObjectName(QString::fromUtf8("gridLayout_3"));
        t_About = new QTextBrowser(About);
        t_About->setObjectName(QString::fromUtf8("t_About"));
        t_About->setTextInteractionFlags(Qt::LinksAccessibleByKeyboard |
                                         Qt::LinksAccessibleByMouse | Qt::TextSelectableByKeyboard |
                                         Qt::TextSelectableByMouse);
        t_About->setOpenExternalLinks(false);
        t_About->setOpenLinks(true);
        gridLayout_3->addWidget(t_About, 0, 0, 1, 1);
        tabWidget->addTab(About, QString());

        gridLayout_2->addWidget(tabWidget, 1, 0, 1, 2);
        BrantolexMainWindow->setCentralWidget(centralWidget);

        l_midiOutDevice->setBuddy(c_midiOutDevice);
        l_midiInDevice->setBuddy(c_midiInDevice);
        l_midiChannel->setBuddy(c_midiChannel);

        QWidget::setTabOrder(tabWidget, c_sysex);
        QWidget::setTabOrder(c_sysex, c_midiClockMessages);
        QWidget::setTabOrder(c_midiClockMessages, c_translateCC0toPluginSelect);
        QWidget::setTabOrder(c_translateCC0toPluginSelect, c_midiOutDevice);
        QWidget::setTabOrder(c_midiOutDevice, c_midiInDevice);
        QWidget::setTabOrder(c_midiInDevice, c_createVirtualInput);
        QWidget::setTabOrder(c_createVirtualInput, c_midiChannel);

        retranslateUi(BrantolexMainWindow);

        tabWidget->setCurrentIndex(0);

        QMetaObject::connectSlotsByName(BrantolexMainWindow);
    }

    void retranslateUi(QMainWindow *BrantolexMainWindow)
    {
        BrantolexMainWindow->setWindowTitle(
            QCoreApplication::translate("BrantolexMainWindow", "Brantolex Fixer", nullptr));
#if QT_CONFIG(statustip)
        BrantolexMainWindow->setStatusTip(QString());
#endif
        l_currentPlugin->setText(
            QCoreApplication::translate("BrantolexMainWindow", "Plugin", nullptr));
        c_sysex->setText(QCoreApplication::translate("BrantolexMainWindow",
                                                     "&System exclusive messages", nullptr));
        c_midiClockMessages->setText(
            QCoreApplication::translate("BrantolexMainWindow", "&Clock messages", nullptr));
        c_translateCC0toPluginSelect->setText(QCoreApplication::translate(
            "BrantolexMainWindow", "Translate CC&0 to plugin select", nullptr));
        tabWidget->setTabText(
            tabWidget->indexOf(Events),
            QCoreApplication::translate("BrantolexMainWindow", "&Events", nullptr));
        l_midiOutDevice->setText(
            QCoreApplication::translate("BrantolexMainWindow", "&Out port", nullptr));
        l_midiInDevice->setText(
            QCoreApplication::translate("BrantolexMainWindow", "&In  port", nullptr));
        c_createVirtualInput->setText(
            QCoreApplication::translate("BrantolexMainWindow", "Create &virtual input", nullptr));
        l_midiChannel->setText(
            QCoreApplication::translate("BrantolexMainWindow", "Channel", nullptr));
        tabWidget->setTabText(
            tabWidget->indexOf(Device),
            QCoreApplication::translate("BrantolexMainWindow", "&Device", nullptr));
        t_About->setHtml(QCoreApplication::translate(
            "BrantolexMainWindow",
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" "
            "\"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
            "<html><head><meta name=\"qrichtext\" content=\"1\" />"
            "<style type=\"text/css\">\n"
            "p, li { white-space: pre-wrap; }\n"
            "</style></head>"
            "<body style=\" font-family:'Ubuntu'; font-size:8.25pt; font-weight:400; "
            "font-style:normal;\">\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:12pt; font-weight:600;\">Brantolex Fixer 1.0</span></p>\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:9pt;\">Made with care by the Brantolex Fixer workshop."
            "<br />Free to use with any Brantolex unit.</span></p>\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:9pt;\">Kettle Lane 7</span></p>\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:9pt;\">00000 Nowhereton</span></p>\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:9pt;\">Imaginaria</span></p>\n"
            "<p style=\"-qt-paragraph-type:empty; margin-top:0px; margin-bottom:0px; "
            "margin-left:0px; margin-right:0px; -qt-block-indent:0; text-indent:0px; "
            "font-size:9pt;\"><br /></p>\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:9pt;\">Internet: www.brantolex-fixer.example.invalid"
            "</span></p>\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">"
            "<span style=\" font-size:9pt;\">E-Mail: workshop@brantolex-fixer.example.invalid"
            "</span></p>\n"
            "<p style=\"-qt-paragraph-type:empty; margin-top:0px; margin-bottom:0px; "
            "margin-left:0px; margin-right:0px; -qt-block-indent:0; text-indent:0px; "
            "font-size:9pt;\"><br /></p></body></html>",
            nullptr));
        tabWidget->setTabText(
            tabWidget->indexOf(About),
            QCoreApplication::translate("BrantolexMainWindow", "&About", nullptr));
    }
};
