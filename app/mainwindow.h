#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "playback/playbackthread.h"
#include "stream/readthread.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <QTranslator>

class MainWindowForm;
class QShortcut;
class VideoDisplayWidget;

// The program's one window: the live view, snapshots, recording, and the replay of
// recordings and other video files. The user acts through the five buttons and their keys,
// the player's keys, and on the picture itself (the wheel, dragging, double-clicks, the
// position bar, a dropped file). The live reader delivers its frames through setImage(),
// the replay through showReplayPicture().
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Reads the live picture from `streamUrl` instead of the camera's own address; lets
    // tests use a simulated camera on loopback.
    explicit MainWindow(const QString &streamUrl, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Where the save dialogs suggest a new file with `suffix`: in `directory`, named after
    // the date and time `now`, with a counter if that name is taken.
    static QString suggestedPath(const QString &directory, const QString &suffix,
                                 const QDateTime &now = QDateTime::currentDateTime());

    // Replays `fileName`, chosen outside the window (the program's argument, a file
    // dropped on it), when neither the live view nor a replay is on.
    void replayFile(const QString &fileName);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void setImage(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);
    void on_pbStart_clicked();
    void on_pbStartRecord_clicked();
    void on_pbSaveImage_clicked();
    void on_pbPlayBack_clicked();
    void on_pushButton_clicked();

private:
    bool startLiveView();
    void stopLiveView();
    bool startPlayBack();
    bool openPlayBack(const QString &fileName);
    void stopPlayBack();
    void showReplayPicture(QImage image, int degree, bool isHaveDegree, bool isMirror, bool hasView);
    void replayOpened();
    void replayFailed(PlayBackThread::Failure reason);
    void replayPosition(PlayBackThread::Position position);
    void changeReplaySpeed(int steps);
    void openRecordingDialog();
    bool isIdle() const;
    void saveSnapshot(const QImage &image);
    QString askSavePath(const QString &suffix);
    void connectFailed(ReadThread::ConnectFailure reason);
    void cameraLost();
    void cameraFound();
    void updateLostNotice();
    void linkQuality(int received, int lost);
    void toggleLinkInfo();
    void updateLinkInfo();
    void setFullScreenView(bool on);
    enum class AfterFinishing { Nothing, Replay, Close };
    void waitForFinishing(AfterFinishing then);
    void showFinishing();
    void endRecording();
    void recordingStarted();
    void recordingFailed();
    void framesLeftOut();
    void requestPictureSizes();
    template <typename Worker, typename Signal, typename Slot>
    void connectWorker(Worker *const &current, const quint64 &currentSerial, Signal signal, Slot slot);
    template <typename Worker>
    void endWorker(Worker *&worker, void (Worker::*stop)());
    void addShortcuts();
    void addViewKeys();
    void addPlayerKeys();
    void updateRecordingIndicator();
    void warn(const QString &text, const QString &reason = QString());
    void updateButtons();

    MainWindowForm *ui;
    ReadThread *readThread = nullptr;
    PlayBackThread *playBackThread = nullptr;
    // Each worker made gets the next number of its kind, which tells its signals from
    // those of the workers ended before it.
    quint64 readThreadSerial = 0;
    quint64 playBackThreadSerial = 0;
    bool isLive = false;
    bool isConnecting = false; // the live view is started, its first picture not yet come
    bool isRecording = false;
    bool isRecordingStarted = false; // its file is made, and it takes the pictures
    QString startingRecordPath;
    bool isSnapshotPending = false;
    bool isPlayBack = false;
    QString recordPath; // the last file recorded or replayed, which StartReplay replays
    QString replayingPath;
    int replaySpeedIndex = 1;
    QList<QShortcut *> replayKeys; // on only while replaying
    QShortcut *openKey = nullptr;
    QString imagePath;
    VideoDisplayWidget *videoWidget = nullptr;
    QTranslator translator;
    QString streamUrl;
    QTimer recordingTicker;
    QElapsedTimer recordingClock;
    // The camera lost: whether this PC is still on its network is looked at every second.
    QTimer lostTicker;
    // While recordings are being finished before the window closes or the last one is
    // replayed: how far that has come.
    QTimer finishingTicker;
    AfterFinishing afterFinishing = AfterFinishing::Nothing;
    // The link's figures: pictures shown a second, and the reader's last word on the
    // frames of the last ten seconds.
    QTimer linkTicker;
    int picturesThisSecond = 0;
    int picturesPerSecond = 0;
    int linkReceived = 0;
    int linkLost = 0;
    QPoint windowPlace; // where the window was before full screen
    bool isLinkInfoOn = false;      // asked for with I
    bool isLinkInfoShownByItself = false; // while the link loses many frames
};

#endif // MAINWINDOW_H
