#ifndef FRAMEDECODER_H
#define FRAMEDECODER_H

#include "media/avhelpers.h"
#include "media/framemailbox.h"
#include "media/mirrorrule.h"
#include "media/pictureconverter.h"
#include "media/picturesize.h"
#include "media/scaledjpegdecoder.h"

#include <QMutex>
#include <QSize>
#include <QThread>
#include <QWaitCondition>

#include <cstdint>
#include <deque>
#include <memory>

class Recording;

// Decodes the camera's frames on a thread of its own, behind the thread that reads them
// from the network, and hands the pictures on: to the window through a FrameMailbox, and
// to a running recording.
//
// The reader queues every frame as it arrives and never waits here, so the network is
// drained however slow the decoding is. The screen comes first: whenever a frame newer
// than the last one shown waits, it is the next decoded, and older ones wait. A stale
// picture is worth nothing to the screen, and a Motion-JPEG frame needs none before it.
// A running recording takes every frame in the order it came: the pictures decoded for
// the screen wait for it, in their place, while the older frames before them are decoded
// for the recording alone, in the time left until the next frame comes for the screen.
// What finds no time then, or no room in the recording's queue, is left out, counted and
// told once: a machine that cannot decode every frame records those it shows.
//
// A picture for the window is converted once, straight to the size the window asked for
// and to the format it paints. While nothing is recorded, a frame for the window alone is
// decoded at the fraction of its size that the window needs (ScaledJpegDecoder); the
// environment variable VELMORA_SCALED_DECODE=0 has every frame decoded whole, as the
// recordings are. Each picture goes out with the angle read from its own frame.
class FrameDecoder : public QThread
{
    Q_OBJECT

public:
    // One session with the camera as the decoding sees it: the stream's decoder, opened,
    // and the time base of its packets. A new session, after the camera was lost, brings
    // a decoder and a clock of its own.
    struct Session
    {
        av::CodecContextPtr codecCtx;
        AVRational timeBase{1, 90000};
    };

    // Frames that may wait, decoded or not; beyond that the oldest go.
    static constexpr int MaxWaiting = 8;

    // What waits, as far as the choice of the next step needs to know.
    struct Waiting
    {
        int frames = 0;             // decoded or not, in the order they came
        bool oldestDecoded = false; // the oldest is a picture that waits for the recording
        bool newestDecoded = false; // the newest has been shown already
        bool pictureWaits = false;  // a picture decoded already waits, anywhere
        bool recording = false;
        bool recordingHasRoom = false;
    };
    enum class Step {
        Wait,         // for the next frame
        ShowNewest,   // decode the newest frame for the screen (and for a recording)
        RecordOldest, // decode the oldest frame for the recording alone
        OfferOldest,  // hand the oldest picture, decoded already, to the recording
        DropOldest    // the oldest goes without a picture: left out of a recording
    };
    Q_ENUM(Step)
    // The decoding thread's next step: the screen first, then the recording in order.
    static Step nextStep(const Waiting &waiting);

    explicit FrameDecoder(FrameMailbox &mailbox, QObject *parent = nullptr);
    ~FrameDecoder() override;

    // The reading thread: queues one video packet, taking its data, with the angle read
    // from it and the time it arrived (av_gettime_relative()). Returns at once.
    void push(AVPacket *packet, int degree, bool isHaveDegree, const std::shared_ptr<Session> &session,
              int64_t arrivedUs);
    // Returns once every frame queued so far has been decoded or dropped, and its picture
    // handed on: what the window gets after this comes from frames queued later.
    void finishQueued();
    // Ends the thread after the frame in hand; frames still waiting are dropped.
    void stop();

    // The sizes, in pixels, of the whole camera picture that the receiver wants: for frames
    // without an angle of their own (the plain view) and for those with one (the circular
    // view). Any thread; applies from the next picture.
    void setPictureSizes(const QSize &plain, const QSize &circular);
    // Passed with every picture, as getImage() does.
    void setMirrorFlags(bool isMirror, bool autoMirror);
    // The window's mirror state, which the decoder follows for the pictures it records:
    // started again, and the user's choice (MirrorRule). Any thread.
    void resetMirror(bool mirrored);
    void setMirrorChoice(bool choice);
    // Puts `next` in the place of the running recording, between two pictures, and returns
    // the one it replaces (either may be null); the frames still waiting go into the one
    // that ends, or are counted as left out. Any thread.
    std::unique_ptr<Recording> replaceRecording(std::unique_ptr<Recording> next);
    bool isRecording() const;
    // What the running recording has written to its file, in bytes, and the pictures it
    // has taken; 0 without one.
    int64_t recordingSize() const;
    int recordingPictures() const;

signals:
    // The recording could not go on and has been ended; its file keeps what it holds.
    void recordingFailed();
    // The recording has left out frames that this machine could not decode or encode in
    // time. Once per recording.
    void framesLeftOut();

protected:
    void run() override;

private:
    struct Frame
    {
        av::PacketPtr packet;
        int degree = 0;
        bool isHaveDegree = false;
        bool mirrored = false; // as shown
        std::shared_ptr<Session> session;
        int64_t arrivedUs = 0;
        int64_t sequence = 0;  // the order the frames came in
        av::FramePtr picture;  // once decoded
        bool scaled = false;   // decoded smaller, for the screen alone
    };

    Waiting describeWaiting() const;
    bool takeNext(Frame &next, Step &step, QSize &screenSize);
    void keepForRecording(Frame frame);
    void offer(const Frame &frame);
    void takeWaitingFrames();
    void leaveOut(int frames);
    bool decode(Frame &frame, const QSize &screenSize);
    bool decodeScaled(Frame &frame, const QSize &screenSize);
    void show(const Frame &frame);
    void endFailedRecording(QMutexLocker &locker);
    void tellLeftOut(QMutexLocker &locker);

    FrameMailbox &mailbox;

    // Guards the waiting frames and everything the other threads set.
    mutable QMutex mutex;
    QWaitCondition frameQueued;
    QWaitCondition frameDone;
    std::deque<Frame> waiting; // in the order they came
    int64_t nextSequence = 0;
    bool decoding = false; // a frame taken from `waiting` is being decoded
    bool stopping = false;
    std::unique_ptr<Recording> recording;
    std::unique_ptr<Recording> failedRecording; // to be ended away from the lock
    std::shared_ptr<Session> recordedSession;   // of the last picture the recording took
    bool leftOutSinceTold = false;              // frames left out, not yet told
    bool toldLeftOut = false;                   // this recording has told it
    QSize plainSize = CameraPictureSize;
    QSize circularSize = CameraPictureSize;
    bool isMirror = false;
    bool autoMirror = false;
    MirrorRule mirrorRule; // over the frames in the order they come

    const bool scaledDecoding;

    // The decoding thread's own.
    ScaledJpegDecoder scaledDecoder;
    bool toldRefused = false; // that TurboJPEG refused a frame
    ImageConverter plainConverter;
    ImageConverter circularConverter;
};

#endif // FRAMEDECODER_H
