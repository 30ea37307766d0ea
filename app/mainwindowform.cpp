#include "app/mainwindowform.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMainWindow>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

QPushButton *addButton(QWidget *parent, QVBoxLayout *layout, const char *name)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    layout->addWidget(button);
    return button;
}

} // namespace

void MainWindowForm::setupUi(QMainWindow *mainWindow)
{
    if (mainWindow->objectName().isEmpty())
        mainWindow->setObjectName(QStringLiteral("MainWindow"));
    mainWindow->resize(800, 600);

    centralWidget = new QWidget(mainWindow);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));

    horizontalLayout = new QHBoxLayout(centralWidget);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setSpacing(6);
    horizontalLayout->setContentsMargins(11, 11, 11, 11);

    videoLayout = new QGridLayout();
    videoLayout->setObjectName(QStringLiteral("videoLayout"));
    videoLayout->setSpacing(6);
    horizontalLayout->addLayout(videoLayout);

    groupBox = new QGroupBox(centralWidget);
    groupBox->setObjectName(QStringLiteral("groupBox"));
    QSizePolicy sizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    sizePolicy.setHorizontalStretch(0);
    sizePolicy.setVerticalStretch(0);
    sizePolicy.setHeightForWidth(groupBox->sizePolicy().hasHeightForWidth());
    groupBox->setSizePolicy(sizePolicy);
    groupBox->setMinimumSize(QSize(0, 0));
    groupBox->setMaximumSize(QSize(150, 16777215));
    groupBox->setBaseSize(QSize(0, 0));
    groupBox->setLayoutDirection(Qt::LeftToRight);
    groupBox->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    verticalLayout = new QVBoxLayout(groupBox);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(11, 11, 11, 11);

    pbStart = addButton(groupBox, verticalLayout, "pbStart");
    pbStartRecord = addButton(groupBox, verticalLayout, "pbStartRecord");
    pbSaveImage = addButton(groupBox, verticalLayout, "pbSaveImage");
    pbPlayBack = addButton(groupBox, verticalLayout, "pbPlayBack");
    pushButton = addButton(groupBox, verticalLayout, "pushButton");

    verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);
    verticalLayout->addItem(verticalSpacer);

    horizontalLayout->addWidget(groupBox);
    mainWindow->setCentralWidget(centralWidget);

    retranslateUi(mainWindow);
    QMetaObject::connectSlotsByName(mainWindow);
}

void MainWindowForm::retranslateUi(QMainWindow *mainWindow)
{
    mainWindow->setWindowTitle(QCoreApplication::translate("MainWindow", "MainWindow", nullptr));
    groupBox->setTitle(QCoreApplication::translate("MainWindow", "Camera", nullptr));
    pbStart->setText(QCoreApplication::translate("MainWindow", "start", nullptr));
    pbStartRecord->setText(QCoreApplication::translate("MainWindow", "StartRecord", nullptr));
    pbSaveImage->setText(QCoreApplication::translate("MainWindow", "SaveImage", nullptr));
    pbPlayBack->setText(QCoreApplication::translate("MainWindow", "StartReplay", nullptr));
    pushButton->setText(QCoreApplication::translate("MainWindow", "Mirror", nullptr));
}
