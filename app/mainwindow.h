#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <QTranslator>

class MainWindowForm;
class PlayBackThread;
class ReadThread;
class VideoDisplayWidget;

// The program's one window: the live view, snapshots, recording and replay of the camera.
// Every action starts from one of the five buttons; the worker threads deliver frames
// through setImage().
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
    void stopPlayBack();
    void cameraLost();
    void cameraFound();
    void recordingFailed();
    void framesLeftOut();
    void requestPictureSizes();
    template <typename Worker>
    void endWorker(Worker *&worker, void (Worker::*stop)());
    void addShortcuts();
    void updateRecordingIndicator();
    void warn(const QString &text);
    void updateButtons();

    MainWindowForm *ui;
    ReadThread *readThread = nullptr;
    PlayBackThread *playBackThread = nullptr;
    bool isLive = false;
    bool isRecording = false;
    bool isSnapshotPending = false;
    bool isPlayBack = false;
    QString recordPath;
    QString imagePath;
    VideoDisplayWidget *videoWidget = nullptr;
    QTranslator translator;
    QString streamUrl;
    QTimer recordingTicker;
    QElapsedTimer recordingClock;
};

#endif // MAINWINDOW_H
