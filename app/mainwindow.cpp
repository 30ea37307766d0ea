#include "app/mainwindow.h"

#include "app/mainwindowform.h"
#include "display/videodisplaywidget.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGridLayout>
#include <QIcon>
#include <QLocale>
#include <QPushButton>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowForm)
{
    ui->setupUi(this);
    setWindowTitle(QObject::tr("Velmora PC wireless"));
    setFixedSize(800, 500);

    videoWidget = new VideoDisplayWidget(this);
    ui->videoLayout->addWidget(videoWidget);

    const QLocale::Language language = QLocale().language();
    qDebug("language is  %d\n", int(language));
    if (language == QLocale::Chinese) {
        const QString dir = QCoreApplication::applicationDirPath();
        setWindowIcon(QIcon(dir + QStringLiteral("/icon.png")));
        const QString translationPath = dir + QStringLiteral("/qmain_zh.qm");
        if (translator.load(translationPath)) {
            QCoreApplication::installTranslator(&translator);
            ui->retranslateUi(this);
        } else {
            qDebug("not findf %s\n", translationPath.toUtf8().constData());
        }
    }

    updateButtons();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::updateButtons()
{
    ui->pbStartRecord->setEnabled(isLive);
    ui->pbSaveImage->setEnabled(isLive);
    ui->pbPlayBack->setEnabled(!isLive);
    ui->pbStart->setText(isLive ? QObject::tr("Stop") : QObject::tr("Start"));
    ui->pbStartRecord->setText(isRecording ? QObject::tr("StopRecord") : QObject::tr("StartRecord"));
    ui->pbPlayBack->setText(isPlayBack ? QObject::tr("StopReplay") : QObject::tr("StartReplay"));
    ui->pbStart->setEnabled(!isPlayBack && !isRecording);
}

void MainWindow::setImage(QImage image, int degree, bool isHaveDegree, bool, bool)
{
    if (image.height() <= 0)
        return;
    videoWidget->setHaveDegree(isHaveDegree);
    videoWidget->setFrame(image, degree);
}

void MainWindow::on_pbStart_clicked()
{
}

void MainWindow::on_pbStartRecord_clicked()
{
}

void MainWindow::on_pbSaveImage_clicked()
{
}

void MainWindow::on_pbPlayBack_clicked()
{
}

void MainWindow::on_pushButton_clicked()
{
    videoWidget->toggleMirror();
}
