#ifndef READTHREAD_H
#define READTHREAD_H

#include "media/framemailbox.h"
#include "stream/framedecoder.h"
#include "stream/linkmeter.h"
#include "record/recording.h"
#include "stream/streamconnection.h"

#include <QImage>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <memory>

// Reads the camera's RTSP stream on its own thread and takes the tilt-sensor block out of
// each JPEG frame as it arrives; a FrameDecoder behind it decodes the frames, converts the
// pictures to the size the window asked for (the camera's 1280x960 until it asks) and
// hands them to the window through getImage(). While asked to, it also records the
// stream to MP4. Reading never waits for the decoding: a machine too slow to decode every
// frame shows the newest, and the network is never left to fill up.
//
// When the camera goes silent, the reader says so (cameraLost()), ends that session and
// keeps trying the same address until the camera answers again (cameraFound()) or the
// reader is stopped. A recording goes on into the same file across such a gap.
//
// Use: construct, set `url`, then start(), which opens the stream on the reader's own
// thread and says how that went (connected() or connectFailed()); or openStream() on the
// caller's thread first, then start(). Stop with stopRead() and wait(). Stopping ends the
// session with the camera, or the attempt to reach it, before the thread finishes. An
// object opens one stream once.
class ReadThread : public QThread
{
    Q_OBJECT

public:
    // Why the camera could not be reached, in the terms of what the user can do about it.
    enum class ConnectFailure {
        NotOnCameraNetwork, // this PC has no address on the camera's network
        NoAnswer,           // the camera refused, or did not answer in time
        NoPicture,          // the camera answered, but no picture it sent arrived
        CannotDecode        // its pictures arrived, but this program has no decoder for them
    };
    Q_ENUM(ConnectFailure)

    explicit ReadThread(QObject *parent = nullptr);
    ~ReadThread() override;

    // Opens `url`, picks its first video stream and opens the decoder. Blocks while the
    // RTSP exchange and stream probing run (at most about 3 s without an answer).
    bool openStream();
    // Ends the frame loop, or the wait for the camera to come back, and breaks off any
    // read that is waiting for the network. Returns at once.
    void stopRead();

    // Starts recording the stream as H.264 to the MP4 file `fileName` (on = true), or
    // ends the recording (on = false), whose file RecordingFinisher then completes in the
    // background. The file is made and its encoder set up away from the caller's thread,
    // once a recording finished into the same file is complete; the recording then takes
    // over between two pictures and says so with recordingStarted(), or recordingFailed()
    // if it could not start. Returns whether a start has begun: false while a recording
    // runs or starts already, and before the stream was ever open, which the debug log
    // says. Ending a recording calls off a start still under way.
    bool setRecord(bool on, const QString &fileName);
    // What the running recording has written to its file so far, in bytes, without a look
    // at the file, which may be on a share that has gone.
    int64_t recordingSize() const { return frameDecoder.recordingSize(); }
    // The pictures the running recording has taken so far.
    int recordingPictures() const { return frameDecoder.recordingPictures(); }
    // The sizes at which the receiver wants the camera's whole picture, for frames without
    // an angle (its plain view) and with one (its circular view). Applies from the next
    // picture; any thread.
    void setPictureSizes(const QSize &plain, const QSize &circular);
    // The window's mirror state, which a recording keeps with each picture for the replay:
    // started again, and flipped by the user (MirrorRule::choice()). Any thread.
    void resetMirror(bool mirrored);
    void setMirrorChoice(bool choice);

    // The tilt-sensor block of one JPEG frame: finds it, sets isHaveDegree, writes the
    // standard Huffman table bytes back in its place and returns the angle (0 without a
    // block).
    int getPacketDegree(AVPacket *packet);
    int getDegree(int x, int y, int z);
    int calcDegree(int x, int y, int z);
    static int toSigned12(int value);

    QString url;

signals:
    // setRecord(true): the recording runs, from the next picture on.
    void recordingStarted();
    // Emitted on the thread the object lives in. Only the newest picture waits for it: a
    // receiver that falls behind gets the latest one when it catches up.
    void getImage(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);
    // The camera has gone silent; the reader is trying to reach it again.
    void cameraLost();
    // The camera answers again; its pictures follow.
    void cameraFound();
    // The recording could not start, or could not go on (the file cannot be written) and
    // has ended; what was written stays in the file.
    void recordingFailed();
    // The recording leaves out frames: this machine cannot encode them as fast as they
    // come. Once per recording.
    void framesLeftOut();
    // start() without openStream(): the stream is open, its pictures follow.
    void connected();
    // start() without openStream(): the stream could not be opened; the thread ends.
    void connectFailed(ReadThread::ConnectFailure reason);
    // The camera's frames of the last ten seconds, those that arrived and those lost on the
    // way. About once a second while frames come, and when the camera is lost.
    void linkQuality(int received, int lost);

protected:
    void run() override;

private:
    // Tests and fuzz targets reach the frame path through this, without a network.
    friend struct ReadThreadTestAccess;

    struct RecordingStart;
    void startRecording(const std::shared_ptr<RecordingStart> &start);
    void callOffRecordingStart();

    bool connectFirst();
    void useConnection(std::unique_ptr<StreamConnection> next);
    void loseConnection(int error);
    void reportLink(int64_t nowUs);
    bool reconnect();
    void waitBeforeRetry(int64_t untilUs);
    void handlePacket(AVPacket *packet);

    // Used by the thread that reads: the GUI thread in openStream(), then the reader's.
    std::unique_ptr<StreamConnection> connection;
    std::shared_ptr<FrameDecoder::Session> session; // of `connection`, for the decoder
    QMutex mutex;                          // guards the two below
    Recording::Source source;              // of the last session
    bool hasSource = false;
    FrameMailbox mailbox;
    FrameDecoder frameDecoder{mailbox};
    // The recording asked for, while its file is being made. The owner's thread's own.
    std::shared_ptr<RecordingStart> recordingStart;
    // The one stop request, set by stopRead() and never cleared. Each reader has its own,
    // so stopping one can never be undone by the construction of the next.
    std::atomic<bool> interruptFlag{false};
    QMutex stopMutex;
    QWaitCondition retryWake; // wakes the wait between two attempts to reach the camera
    bool isHaveDegree = false;
    bool isMirror = false;
    bool autoMirror = false;
    int lastDegree = 0;
    // The reading thread's own.
    LinkMeter link;
    int64_t linkReportedUs = 0;
};

#endif // READTHREAD_H
