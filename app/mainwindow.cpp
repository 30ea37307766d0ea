#include "app/mainwindow.h"

#include "app/mainwindowform.h"
#include "display/videodisplaywidget.h"
#include "media/picturesize.h"
#include "playback/playbackthread.h"
#include "stream/cameranetwork.h"
#include "stream/readthread.h"
#include "record/recordingfinisher.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QCoreApplication>
#include <QDir>
#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QUrl>

#include <functional>
#include <limits>
#include <utility>

namespace {

// The camera serves its stream on its own Wi-Fi access point, at this address.
const char CameraStreamUrl[] = "rtsp://192.168.73.1:7070/webcam";

// Where the save dialogs open: the desktop, or the home folder of a user who has none
// (the dialog would otherwise open wherever the program was started from).
QString desktopDirectory()
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QFileInfo(desktop).isDir() ? desktop : QDir::homePath();
}

// The speeds of a replay, slowest first, and the seek of the arrow keys.
const double ReplaySpeeds[] = {0.5, 1, 2, 4};
const int64_t ArrowSeekUs = 5000000;

} // namespace

// Connects a signal of the worker the window holds in `current` to `slot`, for as long as
// it is that worker: one made with the serial number `currentSerial` has now. A queued
// signal can arrive after its worker was ended, since disconnect() does not take back what
// is posted, and even after another was made in its place, perhaps at its very address:
// such a signal does nothing.
template <typename Worker, typename Signal, typename Slot>
void MainWindow::connectWorker(Worker *const &current, const quint64 &currentSerial, Signal signal, Slot slot)
{
    Worker *const worker = current;
    const quint64 serial = currentSerial;
    connect(worker, signal, this, [this, &current, &currentSerial, worker, serial, slot](auto... arguments) {
        if (current == worker && currentSerial == serial)
            (this->*slot)(arguments...);
    });
}

// Ends a worker: asks it to stop, waits until it has, and deletes it, and with it its
// FFmpeg objects and its session with the camera, so that there is never more than one.
// Every wait inside a worker gives up on the stop request, so this takes a moment only.
template <typename Worker>
void MainWindow::endWorker(Worker *&worker, void (Worker::*stop)())
{
    disconnect(worker, nullptr, this, nullptr);
    (worker->*stop)();
    worker->wait();
    delete worker;
    worker = nullptr;
}

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(QString::fromLatin1(CameraStreamUrl), parent)
{
}

MainWindow::MainWindow(const QString &streamUrl, QWidget *parent)
    : QMainWindow(parent)
    , ui(new MainWindowForm)
    , streamUrl(streamUrl)
{
    ui->setupUi(this);
    setWindowTitle(QObject::tr("Velmora PC wireless"));
    setFixedSize(800, 500);

    videoWidget = new VideoDisplayWidget(this);
    ui->videoLayout->addWidget(videoWidget);
    connect(videoWidget, &VideoDisplayWidget::pictureSizeChanged, this, &MainWindow::requestPictureSizes);
    connect(videoWidget, &VideoDisplayWidget::fullScreenRequested, this,
            [this] { setFullScreenView(!videoWidget->isFullScreenView()); });

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

    connect(&recordingTicker, &QTimer::timeout, this, &MainWindow::updateRecordingIndicator);
    connect(&finishingTicker, &QTimer::timeout, this, &MainWindow::showFinishing);
    lostTicker.setInterval(1000);
    connect(&lostTicker, &QTimer::timeout, this, &MainWindow::updateLostNotice);
    linkTicker.setInterval(1000);
    connect(&linkTicker, &QTimer::timeout, this, [this] {
        picturesPerSecond = std::exchange(picturesThisSecond, 0);
        updateLinkInfo();
    });
    setAcceptDrops(true);
    connect(videoWidget, &VideoDisplayWidget::seekRequested, this, [this](qint64 us) {
        if (playBackThread)
            playBackThread->seekTo(us);
    });
    addShortcuts();
    updateButtons();
}

MainWindow::~MainWindow()
{
    // A recording is completed before its stream stops.
    endRecording();
    if (readThread) {
        qDebug() << "~readThread";
        endWorker(readThread, &ReadThread::stopRead);
    }
    if (playBackThread) {
        qDebug() << "playBackThread";
        endWorker(playBackThread, &PlayBackThread::stopPlay);
    }
    // The last recording is completed in the background; the program ends only after it.
    RecordingFinisher::waitForAll();
    delete ui;
}

// Closing while a recording is being finished (a long one, on a slow USB stick, may take
// minutes): the window stays, says how far that has come, and closes once it is done,
// rather than vanishing while the program goes on unseen, or freezing.
void MainWindow::closeEvent(QCloseEvent *event)
{
    endRecording();
    if (!RecordingFinisher::isFinishing()) {
        finishingTicker.stop();
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    if (afterFinishing == AfterFinishing::Close)
        return;
    // The live view and the replay end now, and nothing new can begin.
    if (readThread) {
        isLive = isConnecting = false;
        stopLiveView();
    }
    if (isPlayBack) {
        stopPlayBack();
        isPlayBack = false;
    }
    updateButtons();
    ui->groupBox->setEnabled(false);
    waitForFinishing(AfterFinishing::Close);
}

// Recordings being finished: the display says how far that has come while the window goes
// on, and what was waiting for them follows once they are done.
void MainWindow::waitForFinishing(AfterFinishing then)
{
    afterFinishing = then;
    finishingTicker.start(200);
    showFinishing();
}

void MainWindow::showFinishing()
{
    if (RecordingFinisher::isFinishing()) {
        videoWidget->setNotice(QObject::tr("Finishing the recording... %1 %").arg(RecordingFinisher::percentDone()));
        return;
    }
    finishingTicker.stop();
    videoWidget->setNotice(QString());
    switch (std::exchange(afterFinishing, AfterFinishing::Nothing)) {
    case AfterFinishing::Close:
        // From the event loop: this may run within the close that began the wait, and Qt
        // ignores a close within a close.
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
        break;
    case AfterFinishing::Replay:
        openPlayBack(recordPath);
        break;
    case AfterFinishing::Nothing:
        break;
    }
}

// A key for each button, for a technician whose other hand holds the probe. A key clicks
// its button, so it follows the same rules, and does nothing while the button is off. Keys
// of camera and player programs; not Space, which clicks whichever button has the focus.
void MainWindow::addShortcuts()
{
    const struct
    {
        QPushButton *button;
        QKeySequence key;
        const char *tip;
    } keys[] = {
        {ui->pbStart, QKeySequence(Qt::Key_F5), QT_TRANSLATE_NOOP("QObject", "Start or stop the live picture (F5)")},
        {ui->pbStartRecord, QKeySequence(Qt::Key_R), QT_TRANSLATE_NOOP("QObject", "Start or stop recording (R)")},
        {ui->pbSaveImage, QKeySequence(Qt::Key_S), QT_TRANSLATE_NOOP("QObject", "Save the next picture (S)")},
        {ui->pbPlayBack, QKeySequence(Qt::Key_P), QT_TRANSLATE_NOOP("QObject", "Replay the last recording (P)")},
        {ui->pushButton, QKeySequence(Qt::Key_M), QT_TRANSLATE_NOOP("QObject", "Mirror the picture (M)")},
    };
    for (const auto &key : keys) {
        auto *shortcut = new QShortcut(key.key, this);
        shortcut->setAutoRepeat(false);
        connect(shortcut, &QShortcut::activated, key.button, &QAbstractButton::click);
        key.button->setToolTip(QObject::tr(key.tip));
    }
    addViewKeys();
    addPlayerKeys();
}

// Not buttons': the link's figures over the picture, full screen, and zoom, as in players
// (+ and - repeat while held).
void MainWindow::addViewKeys()
{
    const struct
    {
        QKeySequence key;
        std::function<void()> action;
        bool repeats;
    } views[] = {
        {QKeySequence(Qt::Key_I), [this] { toggleLinkInfo(); }, false},
        {QKeySequence(Qt::Key_F11), [this] { setFullScreenView(!videoWidget->isFullScreenView()); }, false},
        {QKeySequence(Qt::Key_Escape), [this] { setFullScreenView(false); }, false},
        {QKeySequence(Qt::Key_Plus), [this] { videoWidget->zoomBy(1.25); }, true},
        {QKeySequence(Qt::Key_Equal), [this] { videoWidget->zoomBy(1.25); }, true},
        {QKeySequence(Qt::Key_Minus), [this] { videoWidget->zoomBy(1 / 1.25); }, true},
        {QKeySequence(Qt::Key_0), [this] { videoWidget->resetZoom(); }, false},
    };
    for (const auto &view : views) {
        auto *shortcut = new QShortcut(view.key, this);
        shortcut->setAutoRepeat(view.repeats);
        connect(shortcut, &QShortcut::activated, this, view.action);
    }
}

// The player's keys, as in media players; on only while replaying, when Space pauses
// rather than clicking the button that has the focus. Ctrl+O, when neither live nor
// replaying.
void MainWindow::addPlayerKeys()
{
    const struct
    {
        QKeySequence key;
        std::function<void(PlayBackThread *)> action;
    } player[] = {
        {QKeySequence(Qt::Key_Space), [](PlayBackThread *p) { p->togglePause(); }},
        {QKeySequence(Qt::Key_Left), [](PlayBackThread *p) { p->seekBy(-ArrowSeekUs); }},
        {QKeySequence(Qt::Key_Right), [](PlayBackThread *p) { p->seekBy(ArrowSeekUs); }},
        {QKeySequence(Qt::Key_Home), [](PlayBackThread *p) { p->seekTo(0); }},
        {QKeySequence(Qt::Key_End), [](PlayBackThread *p) { p->seekTo(std::numeric_limits<int64_t>::max() / 1000); }},
        {QKeySequence(Qt::Key_Comma), [](PlayBackThread *p) { p->step(-1); }},
        {QKeySequence(Qt::Key_Period), [](PlayBackThread *p) { p->step(1); }},
        {QKeySequence(Qt::Key_BracketLeft), [this](PlayBackThread *) { changeReplaySpeed(-1); }},
        {QKeySequence(Qt::Key_BracketRight), [this](PlayBackThread *) { changeReplaySpeed(1); }},
    };
    for (const auto &key : player) {
        auto *shortcut = new QShortcut(key.key, this);
        connect(shortcut, &QShortcut::activated, this, [this, action = key.action] {
            if (!playBackThread)
                return;
            action(playBackThread);
            videoWidget->showReplayBar();
        });
        replayKeys << shortcut;
    }
    openKey = new QShortcut(QKeySequence::Open, this);
    connect(openKey, &QShortcut::activated, this, &MainWindow::openRecordingDialog);
}

// Full screen: the current view on the whole screen, without the buttons, whose keys go
// on working; back in the window, everything as it was.
void MainWindow::setFullScreenView(bool on)
{
    if (on == videoWidget->isFullScreenView())
        return;
    if (on) {
        windowPlace = pos();
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        ui->groupBox->hide();
        ui->horizontalLayout->setContentsMargins(0, 0, 0, 0);
        videoWidget->setFullScreenView(true);
        // A window manager gives a full-screen window the whole screen; on an X display
        // without one, the window takes it itself.
        setGeometry(screen()->geometry());
        showFullScreen();
        videoWidget->showHint(QObject::tr("F11 or Esc: back to the window"));
    } else {
        showNormal();
        videoWidget->setFullScreenView(false);
        ui->horizontalLayout->setContentsMargins(11, 11, 11, 11);
        ui->groupBox->show();
        setFixedSize(800, 500);
        move(windowPlace);
    }
}

QString MainWindow::suggestedPath(const QString &directory, const QString &suffix, const QDateTime &now)
{
    const QDir dir(directory);
    const QString stem = QStringLiteral("velmora-") + now.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    QString name = stem + QLatin1Char('.') + suffix;
    for (int counter = 2; QFileInfo::exists(dir.filePath(name)); ++counter)
        name = QStringLiteral("%1-%2.%3").arg(stem).arg(counter).arg(suffix);
    return dir.filePath(name);
}

// While recording, the display shows for how long and how big the file is so far; while
// the file is being made, that it is.
void MainWindow::updateRecordingIndicator()
{
    if (!isRecording) {
        recordingTicker.stop();
        videoWidget->setRecordingStatus(QString());
        return;
    }
    if (!isRecordingStarted) {
        recordingTicker.stop();
        videoWidget->setRecordingStatus(QObject::tr("REC · starting..."));
        return;
    }
    if (!recordingTicker.isActive()) {
        recordingClock.start();
        recordingTicker.start(500);
    }
    const qint64 seconds = recordingClock.elapsed() / 1000;
    const QString elapsed = VideoDisplayWidget::clockText(seconds);
    const QString size = QLocale().formattedDataSize(readThread ? readThread->recordingSize() : 0, 1,
                                                     QLocale::DataSizeSIFormat);
    videoWidget->setRecordingStatus(QObject::tr("REC %1 · %2").arg(elapsed, size));
}

void MainWindow::updateButtons()
{
    ui->pbStartRecord->setEnabled(isLive);
    ui->pbSaveImage->setEnabled(isLive || isPlayBack);
    ui->pbPlayBack->setEnabled(!isLive && (isPlayBack || !recordPath.isEmpty()));
    ui->pbStart->setText(isLive || isConnecting ? QObject::tr("Stop") : QObject::tr("Start"));
    ui->pbStartRecord->setText(isRecording ? QObject::tr("StopRecord") : QObject::tr("StartRecord"));
    ui->pbPlayBack->setText(isPlayBack ? QObject::tr("StopReplay") : QObject::tr("StartReplay"));
    ui->pbStart->setEnabled(!isPlayBack && !isRecording);
    for (QShortcut *key : qAsConst(replayKeys))
        key->setEnabled(isPlayBack);
    openKey->setEnabled(isIdle());
    updateRecordingIndicator();
}

void MainWindow::setImage(QImage image, int degree, bool isHaveDegree, bool, bool)
{
    if (image.height() <= 0)
        return;
    if (isConnecting) {
        // The first picture: the camera is there, and the live view is on.
        isConnecting = false;
        isLive = true;
        videoWidget->setNotice(QString());
        updateButtons();
    }
    if (readThread)
        ++picturesThisSecond;
    videoWidget->setHaveDegree(isHaveDegree);
    videoWidget->setFrame(image, degree);

    // A snapshot keeps the camera's whole picture at its full size, which the reader sends
    // while one is waiting; a picture already on its way at the view's size is only shown.
    if (isSnapshotPending && image.size() == CameraPictureSize) {
        isSnapshotPending = false;
        requestPictureSizes();
        saveSnapshot(image);
    }
}

// The file holds the frame as it arrived or was recorded, not the mirrored or turned view.
// A path left empty by a cancelled dialog saves nothing.
void MainWindow::saveSnapshot(const QImage &image)
{
    if (imagePath.isEmpty() || !image.save(imagePath)) {
        qDebug() << "save image error" << imagePath;
        if (!imagePath.isEmpty())
            videoWidget->showMessage(QObject::tr("Could not save %1").arg(QDir::toNativeSeparators(imagePath)));
    } else {
        videoWidget->showMessage(QObject::tr("Saved %1").arg(QFileInfo(imagePath).fileName()));
    }
}

void MainWindow::on_pbStart_clicked()
{
    if (isLive || isConnecting) {
        isLive = false;
        isConnecting = false;
        stopLiveView();
    } else if (startLiveView()) {
        isConnecting = true;
    }
    updateButtons();
}

bool MainWindow::startLiveView()
{
    readThread = new ReadThread(this);
    ++readThreadSerial;
    connectWorker(readThread, readThreadSerial, &ReadThread::getImage, &MainWindow::setImage);
    connectWorker(readThread, readThreadSerial, &ReadThread::cameraLost, &MainWindow::cameraLost);
    connectWorker(readThread, readThreadSerial, &ReadThread::cameraFound, &MainWindow::cameraFound);
    connectWorker(readThread, readThreadSerial, &ReadThread::recordingStarted, &MainWindow::recordingStarted);
    connectWorker(readThread, readThreadSerial, &ReadThread::recordingFailed, &MainWindow::recordingFailed);
    connectWorker(readThread, readThreadSerial, &ReadThread::framesLeftOut, &MainWindow::framesLeftOut);
    connectWorker(readThread, readThreadSerial, &ReadThread::connectFailed, &MainWindow::connectFailed);
    connectWorker(readThread, readThreadSerial, &ReadThread::linkQuality, &MainWindow::linkQuality);
    readThread->url = streamUrl;
    requestPictureSizes();
    videoWidget->resetMirror(false);
    readThread->resetMirror(false);
    // The stream is opened on the reader's own thread: the window goes on meanwhile, and
    // Stop breaks the attempt off.
    readThread->start();
    videoWidget->setNotice(QObject::tr("Connecting to the camera..."));
    picturesThisSecond = picturesPerSecond = linkReceived = linkLost = 0;
    linkTicker.start();
    updateLinkInfo();
    return true;
}

// The camera could not be reached: back to Idle, and the user is told what to do about it.
void MainWindow::connectFailed(ReadThread::ConnectFailure reason)
{
    isConnecting = false;
    stopLiveView();
    updateButtons();
    QString why;
    switch (reason) {
    case ReadThread::ConnectFailure::CannotDecode:
        // Nothing about the Wi-Fi would help here.
        warn(QObject::tr("The camera's video cannot be shown"),
             QObject::tr("The camera answers and sends its video, but this copy of Velmora PC wireless has no "
                         "decoder for it. Reinstall the program."));
        return;
    case ReadThread::ConnectFailure::NotOnCameraNetwork:
        why = QObject::tr("This PC is not on the camera's Wi-Fi. Join the camera's Wi-Fi network, then press Start.");
        break;
    case ReadThread::ConnectFailure::NoAnswer:
        why = QObject::tr("The camera does not answer at %1. Check that it is switched on and near this PC.")
                  .arg(QUrl(streamUrl).host());
        break;
    case ReadThread::ConnectFailure::NoPicture:
        why = QObject::tr("The camera answers, but no picture arrives. A firewall may be blocking the video: "
                          "allow Velmora PC wireless through it.");
        break;
    }
    warn(QObject::tr("please connect the right wifi and try again"), why);
}

// The reader converts each picture once, straight to the size the display draws it at;
// while a snapshot waits, to the camera's full size instead.
void MainWindow::requestPictureSizes()
{
    if (playBackThread)
        playBackThread->setPictureSizes(videoWidget->pictureSize(false), videoWidget->pictureSize(true));
    if (!readThread)
        return;
    if (isSnapshotPending)
        readThread->setPictureSizes(CameraPictureSize, CameraPictureSize);
    else
        readThread->setPictureSizes(videoWidget->pictureSize(false), videoWidget->pictureSize(true));
}

// Ends the live view at once: the reader tells the camera goodbye and goes, with its
// session, decoder and buffers. A snapshot still waiting for a frame is cancelled.
void MainWindow::stopLiveView()
{
    endRecording();
    endWorker(readThread, &ReadThread::stopRead);
    isSnapshotPending = false;
    lostTicker.stop();
    linkTicker.stop();
    isLinkInfoShownByItself = false;
    videoWidget->setNotice(QString());
    updateLinkInfo();
}

// The last picture stays on screen, with a word over it, while the reader tries to reach
// the camera again.
void MainWindow::cameraLost()
{
    lostTicker.start();
    updateLostNotice();
}

void MainWindow::cameraFound()
{
    lostTicker.stop();
    videoWidget->setNotice(QString());
}

// While the camera is lost: the notice says so, and says that the PC has left the camera's
// Wi-Fi, once it has no address on the camera's network any more.
void MainWindow::updateLostNotice()
{
    QString notice = QObject::tr("Camera lost, reconnecting...");
    if (!CameraNetwork::isJoined(QUrl(streamUrl).host()))
        notice += QLatin1Char(' ') + QObject::tr("(Wi-Fi disconnected)");
    videoWidget->setNotice(notice);
}

void MainWindow::linkQuality(int received, int lost)
{
    linkReceived = received;
    linkLost = lost;
    // Shown by itself while more than a tenth of the frames are lost, and until ten
    // seconds without a loss.
    if (lost * 10 > received + lost)
        isLinkInfoShownByItself = true;
    else if (lost == 0)
        isLinkInfoShownByItself = false;
    updateLinkInfo();
}

void MainWindow::toggleLinkInfo()
{
    isLinkInfoOn = !isLinkInfoOn;
    updateLinkInfo();
}

// The link's figures in a corner of the picture, while the live view runs and the user
// asked for them, or the link loses many frames.
void MainWindow::updateLinkInfo()
{
    if (!readThread || !(isLinkInfoOn || isLinkInfoShownByItself)) {
        videoWidget->setLinkInfo(QString());
        return;
    }
    videoWidget->setLinkInfo(QObject::tr("%1 pictures/s · %2 frames lost in 10 s").arg(picturesPerSecond).arg(linkLost));
}

// One way to end a recording, whichever way the user leaves it: the reader stops taking
// pictures for it, and its file is finished in the background. From then on StartReplay
// plays it; a recording that got no picture (the camera was lost meanwhile) leaves no file,
// and StartReplay the last recording that has pictures.
void MainWindow::endRecording()
{
    if (!isRecording)
        return;
    const bool hasPictures = isRecordingStarted && readThread->recordingPictures() > 0;
    readThread->setRecord(false, QString());
    isRecording = false;
    if (hasPictures)
        recordPath = startingRecordPath;
    else if (isRecordingStarted)
        videoWidget->showMessage(QObject::tr("Nothing recorded: no picture came from the camera"), 4000);
    isRecordingStarted = false;
}

void MainWindow::recordingStarted()
{
    isRecordingStarted = true;
    updateRecordingIndicator();
}

// The reader could not start the recording, or has ended one whose file could not be
// written any more. The live view goes on, and StartReplay plays what the file holds, or
// the last recording before it if it never began.
void MainWindow::recordingFailed()
{
    if (isRecording) {
        if (isRecordingStarted)
            recordPath = startingRecordPath;
        isRecording = false;
        isRecordingStarted = false;
        updateButtons();
    }
    warn(QObject::tr("record error"));
}

// The recording leaves out frames that this machine cannot encode in time; the user is
// told once, and the recording goes on with what it can keep.
void MainWindow::framesLeftOut()
{
    videoWidget->showMessage(QObject::tr("This PC is too busy to record every picture"), 4000);
}

// The save dialog of recordings and snapshots: on the desktop, with a name made of the date
// and time; the suffix is added to a name chosen without it. Empty when cancelled.
QString MainWindow::askSavePath(const QString &suffix)
{
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save"), suggestedPath(desktopDirectory(), suffix),
                                                QStringLiteral("*.") + suffix);
    if (!path.isEmpty() && QFileInfo(path).suffix() != suffix)
        path += QLatin1Char('.') + suffix;
    return path;
}

void MainWindow::on_pbStartRecord_clicked()
{
    if (isRecording) {
        endRecording();
        updateButtons();
        return;
    }

    const QString path = askSavePath(QStringLiteral("mp4"));
    if (path.isEmpty())
        return;

    // The file is made away from the window, which says so meanwhile; a recording that
    // cannot start is told to the user (recordingFailed()).
    if (!readThread->setRecord(true, path)) {
        warn(QObject::tr("record error"));
        return;
    }
    startingRecordPath = path;
    isRecording = true;
    updateButtons();
}

void MainWindow::on_pbSaveImage_clicked()
{
    imagePath = askSavePath(QStringLiteral("jpg"));
    if (imagePath.isEmpty())
        return;
    isSnapshotPending = true;
    // Replaying: the picture shown, at the file's own size; or the first, when the replay
    // waits for its recording to be finished.
    if (isPlayBack) {
        if (playBackThread) {
            isSnapshotPending = false;
            playBackThread->requestStill();
        }
        return;
    }
    requestPictureSizes();
}

void MainWindow::on_pbPlayBack_clicked()
{
    if (isPlayBack) {
        stopPlayBack();
        isPlayBack = false;
    } else if (startPlayBack()) {
        isPlayBack = true;
    }
    updateButtons();
}

bool MainWindow::startPlayBack()
{
    if (recordPath.isEmpty()) {
        warn(QObject::tr("don't have saved video"));
        return false;
    }
    // While the live view is still connecting, the replay button is on as in Idle: the
    // attempt to reach the camera gives way to the replay.
    if (isConnecting) {
        isConnecting = false;
        stopLiveView();
    }
    // A recording that has just been stopped is replayed as it is finally written.
    if (RecordingFinisher::isFinishing()) {
        waitForFinishing(AfterFinishing::Replay);
        return true;
    }
    return openPlayBack(recordPath);
}

// The file is opened on the replay's thread, which tells how that went.
bool MainWindow::openPlayBack(const QString &fileName)
{
    playBackThread = new PlayBackThread(this);
    ++playBackThreadSerial;
    playBackThread->setFile(fileName);
    replayingPath = fileName;
    replaySpeedIndex = 1;
    requestPictureSizes();
    connectWorker(playBackThread, playBackThreadSerial, &PlayBackThread::getImage, &MainWindow::showReplayPicture);
    connectWorker(playBackThread, playBackThreadSerial, &PlayBackThread::opened, &MainWindow::replayOpened);
    connectWorker(playBackThread, playBackThreadSerial, &PlayBackThread::openFailed, &MainWindow::replayFailed);
    connectWorker(playBackThread, playBackThreadSerial, &PlayBackThread::positionChanged, &MainWindow::replayPosition);
    connectWorker(playBackThread, playBackThreadSerial, &PlayBackThread::still, &MainWindow::saveSnapshot);
    // The user's flips of an earlier replay do not carry over.
    videoWidget->resetMirror(videoWidget->isMirrored());
    if (std::exchange(isSnapshotPending, false))
        playBackThread->requestStill();
    playBackThread->start();
    return true;
}

void MainWindow::stopPlayBack()
{
    if (afterFinishing == AfterFinishing::Replay) {
        afterFinishing = AfterFinishing::Nothing;
        finishingTicker.stop();
        videoWidget->setNotice(QString());
    }
    if (playBackThread)
        endWorker(playBackThread, &PlayBackThread::stopPlay);
    isSnapshotPending = false;
    videoWidget->clearReplayPosition();
}

void MainWindow::showReplayPicture(QImage image, int degree, bool isHaveDegree, bool isMirror, bool hasView)
{
    if (image.height() <= 0)
        return;
    // A picture of this program's recordings comes as the live view showed it.
    videoWidget->setHaveDegree(hasView && isHaveDegree);
    if (hasView)
        videoWidget->setRecordedFrame(image, degree, isMirror);
    else
        videoWidget->setFrame(image, 0);
}

// From now on StartReplay replays this file.
void MainWindow::replayOpened()
{
    recordPath = replayingPath;
    updateButtons();
}

void MainWindow::replayFailed(PlayBackThread::Failure reason)
{
    stopPlayBack();
    isPlayBack = false;
    updateButtons();
    const QString name = QFileInfo(replayingPath).fileName();
    switch (reason) {
    case PlayBackThread::Failure::NoVideo:
        warn(QObject::tr("%1 has no video to replay").arg(name));
        break;
    case PlayBackThread::Failure::CannotDecode:
        warn(QObject::tr("playback error"),
             QObject::tr("The video of %1 is of a kind this copy of Velmora PC wireless cannot decode.").arg(name));
        break;
    case PlayBackThread::Failure::CannotOpen:
        warn(QObject::tr("playback error"), QObject::tr("%1 is missing, or it is not a video.").arg(name));
        break;
    }
}

void MainWindow::replayPosition(PlayBackThread::Position position)
{
    videoWidget->setReplayPosition(position.us, position.durationUs, position.paused, position.speed);
}

void MainWindow::changeReplaySpeed(int steps)
{
    replaySpeedIndex = std::clamp(replaySpeedIndex + steps, 0, int(std::size(ReplaySpeeds)) - 1);
    playBackThread->setSpeed(ReplaySpeeds[replaySpeedIndex]);
}

bool MainWindow::isIdle() const
{
    return !isLive && !isConnecting && !isPlayBack;
}

void MainWindow::replayFile(const QString &fileName)
{
    if (!isIdle() || fileName.isEmpty())
        return;
    isPlayBack = openPlayBack(fileName);
    updateButtons();
}

// Ctrl+O: any recording, from the folder of the last one.
void MainWindow::openRecordingDialog()
{
    if (!isIdle())
        return;
    const QString folder = recordPath.isEmpty() ? desktopDirectory() : QFileInfo(recordPath).absolutePath();
    const QString fileName = QFileDialog::getOpenFileName(
        this, QObject::tr("Replay a recording"), folder,
        QObject::tr("Videos (*.mp4 *.m4v *.mov *.mkv *.avi);;All files (*)"));
    replayFile(fileName);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (isIdle() && urls.size() == 1 && urls.first().isLocalFile())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.first().isLocalFile())
        return;
    event->acceptProposedAction();
    replayFile(urls.first().toLocalFile());
}

// Every failure the user sees: a modal warning, with a line on why and what to do where
// the program can tell.
void MainWindow::warn(const QString &text, const QString &reason)
{
    QMessageBox box(QMessageBox::Warning, QObject::tr("Warning"), text, QMessageBox::Ok, this);
    box.setInformativeText(reason);
    box.exec();
}

void MainWindow::on_pushButton_clicked()
{
    videoWidget->toggleMirror();
    if (readThread)
        readThread->setMirrorChoice(videoWidget->mirrorChoice());
}
