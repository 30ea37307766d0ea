#ifndef FRAMEDECODER_H
#define FRAMEDECODER_H

#include "media/avhelpers.h"
#include "media/framemailbox.h"
#include "media/pictureconverter.h"
#include "media/picturesize.h"

#include <QMutex>
#include <QSize>
#include <QThread>
#include <QWaitCondition>

#include <deque>
#include <memory>

class Recording;

// Decodes the camera's frames on a thread of its own, behind the thread that reads them
// from the network, and hands the pictures on: to the window through a FrameMailbox, and
// to a running recording.
//
// The reader queues every frame as it arrives and never waits here, so the network is
// drained however slow the decoding is. When more than one frame waits, the window wants
// only the newest: a stale picture is worth nothing, and a Motion-JPEG frame needs none
// before it, so the older ones are dropped without being decoded. A running recording
// still takes an older frame while its encoder has room for it; a frame worth only its
// place in the file is decoded for the file alone.
//
// A picture for the window is converted once, straight to the size the window asked for
// and to the format it paints. Each picture goes out with the angle read from its own
// frame.
class FrameDecoder : public QThread
{
    Q_OBJECT

public:
    // One session with the camera as the decoding sees it: the stream's decoder, opened,
    // and the time base of its packets. A new session, after the camera was lost, brings
    // a decoder and a clock of its own.
    struct Session
    {
        av::CodecContextPtr decoder;
        AVRational timeBase{1, 90000};
    };

    // Frames that may wait; beyond that the oldest go, even for a recording with room.
    static constexpr int MaxWaiting = 8;

    explicit FrameDecoder(FrameMailbox &mailbox, QObject *parent = nullptr);
    ~FrameDecoder() override;

    // The reading thread: queues one video packet, taking its data, with the angle read
    // from it. Returns at once.
    void push(AVPacket *packet, int degree, bool isHaveDegree, const std::shared_ptr<Session> &session);
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
    // Puts `next` in the place of the running recording, between two pictures, and returns
    // the one it replaces (either may be null). Any thread.
    std::unique_ptr<Recording> replaceRecording(std::unique_ptr<Recording> next);
    bool isRecording() const;

signals:
    // The recording could not go on and has been ended; its file keeps what it holds.
    void recordingFailed();
    // The recording has left out frames that came faster than it could encode them. Once
    // per recording.
    void framesLeftOut();

protected:
    void run() override;

private:
    friend struct ReadThreadTestAccess;

    struct Frame
    {
        av::PacketPtr packet;
        int degree = 0;
        bool isHaveDegree = false;
        std::shared_ptr<Session> session;
    };

    bool takeNext(Frame &next, bool &forScreen);
    void decode(const Frame &frame, bool forScreen);
    void record(const Frame &frame);

    FrameMailbox &mailbox;

    // Guards the waiting frames and everything the other threads set.
    mutable QMutex mutex;
    QWaitCondition frameQueued;
    QWaitCondition frameDone;
    std::deque<Frame> waiting;
    bool decoding = false; // a frame taken from `waiting` is being decoded
    bool stopping = false;
    std::unique_ptr<Recording> recording;
    bool toldLeftOut = false;
    QSize plainSize = CameraPictureSize;
    QSize circularSize = CameraPictureSize;
    bool isMirror = false;
    bool autoMirror = false;

    // The decoding thread's own.
    av::FramePtr picture;
    std::shared_ptr<Session> session; // of the last frame decoded
    ImageConverter plainConverter;
    ImageConverter circularConverter;
};

#endif // FRAMEDECODER_H
