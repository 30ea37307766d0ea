#ifndef PLAYBACKTHREAD_H
#define PLAYBACKTHREAD_H

#include "media/avhelpers.h"
#include "media/framemailbox.h"
#include "media/pictureconverter.h"

#include <QImage>
#include <QMetaType>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <functional>

// Replays a video file in the window: its first video stream, at the pace its timestamps
// give (gaps in a recording replay as gaps), at the size the window asks for. The user
// pauses, seeks, steps and changes the speed through the calls below, from any thread;
// each takes effect at once, also in the middle of a wait for the next picture. A seek
// shows the picture of the time sought, not the key picture before it.
//
// Each picture goes to getImage(); as with the live reader, only the newest waits for the
// window. A recording of this program carries how the live view showed each picture
// (ViewNote): the picture then comes with its angle, and with isMirror set as it was shown
// and autoMirror true; other pictures come with 0 and false.
//
// At the end of the file the last picture stays and the thread waits for a seek or a stop;
// resuming from there replays from the start.
//
// Use: setFile() and start(), which opens the file on the replay's thread and answers
// with opened() or openFailed(); or openFile() on the caller's thread before start().
// Stop with stopPlay() and wait(). An object replays one file.
class PlayBackThread : public QThread
{
    Q_OBJECT

public:
    enum class Failure {
        CannotOpen,   // missing, unreadable, or not a media file
        NoVideo,      // a media file without a video stream
        CannotDecode  // its video needs a decoder this program lacks
    };
    Q_ENUM(Failure)

    // Where the replay is: the time of the picture shown, from the start of the file.
    struct Position
    {
        int64_t us = 0;
        int64_t durationUs = 0; // 0 when the file does not say
        bool paused = false;
        bool ended = false; // the last picture is shown, and no more come
        double speed = 1;
    };

    explicit PlayBackThread(QObject *parent = nullptr);
    ~PlayBackThread() override;

    void setFile(const QString &fileName);
    bool openFile(const QString &fileName);
    Failure failure() const { return failed; }
    // Ends the replay. Returns at once.
    void stopPlay();
    // The sizes at which the receiver wants the whole picture, for pictures without an angle
    // (its plain view) and with one (its circular view); empty for the file's own. Any thread.
    void setPictureSizes(const QSize &plain, const QSize &circular);

    // The player's controls; any thread. A step pauses; one back from the first picture, or
    // forward from the last, does nothing.
    void togglePause();
    void seekTo(int64_t us);
    void seekBy(int64_t us);
    void step(int pictures);
    void setSpeed(double speed);
    // The picture shown, at the file's own size, through still().
    void requestStill();

signals:
    // getImage() is emitted on the thread the object lives in; the others on the replay's.
    void getImage(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);
    void opened();
    void openFailed(PlayBackThread::Failure reason);
    void positionChanged(PlayBackThread::Position position);
    void still(QImage image);

protected:
    void run() override;

private:
    struct Commands
    {
        bool togglePause = false;
        bool seek = false;
        int64_t seekTo = -1;   // -1: from the picture shown
        int64_t seekBy = 0;
        int steps = 0;
        double speed = 0;      // 0: unchanged
        bool still = false;
        bool resize = false;
    };

    void command(const std::function<void(Commands &)> &change);
    void apply(const Commands &commands);
    bool decodeNext(av::FramePtr &picture);
    int64_t timeOf(const AVFrame *picture) const;
    void seek(int64_t targetUs);
    void stepForward();
    void present(const AVFrame *picture);
    void showNext(int64_t lateUs);
    void restartClock();
    void tellPosition();
    void sendStill();

    QString fileName;
    av::InputContextPtr formatCtx;
    av::CodecContextPtr codecCtx;
    av::PacketPtr packet;
    int videoStreamIndex = -1;
    AVRational timeBase{1, 1};
    int64_t startTs = 0;     // the stream's first timestamp, in timeBase
    int64_t durationUs = 0;
    Failure failed = Failure::CannotOpen;
    bool isOpen = false;
    FrameMailbox mailbox;
    ImageConverter converter;
    ImageConverter stillConverter;

    QMutex mutex;
    QWaitCondition commanded;
    Commands commands;        // guarded by mutex
    QSize plainSize;          // guarded by mutex
    QSize circularSize;       // guarded by mutex
    bool hasCommands = false; // guarded by mutex
    // Set by stopPlay() and never cleared: a stop asked for before the thread begins
    // holds as well.
    std::atomic<bool> stopRequested{false};

    // The replay's thread's own.
    av::FramePtr shown;       // the picture on screen
    int64_t shownUs = -1;
    av::FramePtr next;        // decoded, shown when its time comes
    bool stillWanted = false;
    bool paused = false;
    bool ended = false;       // the decoder has given its last picture
    bool drained = false;     // the decoder was told that the input has ended
    double speed = 1;
    int64_t anchorWallUs = 0; // the clock: the picture of anchorUs is due at anchorWallUs
    int64_t anchorUs = -1;    // -1: set by the next picture
};

Q_DECLARE_METATYPE(PlayBackThread::Position)

#endif // PLAYBACKTHREAD_H
