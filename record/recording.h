#ifndef RECORDING_H
#define RECORDING_H

#include "media/avhelpers.h"
#include "media/pictureconverter.h"
#include "media/viewnote.h"

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

// One recording of the live picture: the MP4 file, its H.264 encoder, the YUV picture they
// share and the file's timeline. start() builds it whole or not at all; finish() writes
// the end of the file; destroying it closes the file.
//
// Encoding runs on a thread of the recording's own, behind a short queue, so that the live
// picture never waits for the encoder or the disk. A machine that cannot encode every
// camera frame records as many as it can: a frame that finds the queue full is left out,
// and those recorded keep their own timestamps, so the file still lasts as long as the
// recording did. The debug log counts the frames left out.
//
// The file is written as a fragmented MP4: an index up front, then fragments of about a
// second, each written out whole and synced to the disk as it completes. Whatever ends
// the program, the file at the chosen path is an MP4 that players read up to about the
// last second. RecordingFinisher turns a finished one into an ordinary MP4.
//
// The timeline starts at 0 with the first picture and keeps the camera's own spacing of
// the pictures. When the camera comes back after its link dropped, its clock starts
// anew; the file goes on from the time that has passed meanwhile, so the gap shows as
// time and the timestamps only ever grow.
class Recording
{
public:
    // What the recording takes over from the camera's stream.
    struct Source
    {
        AVRational frameRate{0, 1};   // {0, 1} when unknown
        AVRational sampleAspectRatio{0, 1};
    };

    // Pictures that may wait for the encoder: enough to ride out a frame that takes long to
    // encode, too few to hold much memory or to let the file fall far behind the camera.
    static constexpr int QueueLength = 4;

    enum class Offer {
        Taken,   // the picture is in the file, or on its way there
        LeftOut, // the encoder is still busy with the pictures before it
        Failed   // the file cannot be written any more; what it holds stays
    };

    // Opens `fileName` (the container follows its extension) for H.264 pictures of the
    // given size, and starts the encoder's thread. Null on failure, after the debug line
    // that says where it failed; no file is left open then.
    static std::unique_ptr<Recording> start(const QString &fileName, int width, int height, const Source &source);
    ~Recording();

    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;

    // One decoded camera picture, whose timestamp is in `timeBase` and whose frame arrived
    // at `arrivedUs` (av_gettime_relative()), for the encoder: the recording keeps a
    // reference to it, and the file keeps `note` with it. Never waits for the encoder.
    Offer offer(const AVFrame *picture, AVRational timeBase, int64_t arrivedUs, const ViewNote &note = {});
    // Whether offer() would take a picture now.
    bool hasRoom() const;
    // Camera frames that never came to offer(), counted among those left out.
    void leaveOut(int frames);
    // The next picture comes from a new session with the camera, on a clock of its own.
    void restartClock();
    // Encodes what waits, drains the encoder and writes the end of the file. False if the
    // file is incomplete: this or an earlier write failed. Called once, after the last
    // offer().
    bool finish();
    QString fileName() const { return path; }
    // What has gone out to the file so far, in bytes. Any thread.
    int64_t size() const { return bytesWritten; }
    // Pictures taken by offer() so far, and of those, the ones the file holds. Any thread.
    int picturesTaken() const { return taken; }
    int picturesWritten() const { return written; }

private:
    struct Queued
    {
        av::FramePtr picture;
        int64_t position = 0; // on the timeline, in the encoder's time base
        int64_t duration = 0;
        ViewNote note;
    };

    Recording() = default;
    bool allocatePicture(int width, int height);
    int64_t placeOnTimeline(const AVFrame *picture, AVRational timeBase, int64_t arrivedUs);
    void logLeftOut();
    void encodeQueued();
    enum class Encoded { Done, LeftOut, WriteFailed };
    Encoded encode(const Queued &next);
    Encoded writeEncodedPackets();
    void stopEncoding();

    QString path;
    av::OutputContextPtr outFormatCtx;
    AVStream *outStream = nullptr;
    av::CodecContextPtr encoderCtx;
    av::FramePtr frameYUV;
    av::PacketPtr packet;
    std::unique_ptr<PictureConverter> toYuv;

    // The queue between the thread that offers pictures and the encoder's thread.
    mutable QMutex queueMutex;
    QWaitCondition pictureQueued;
    std::deque<Queued> queue; // guarded by queueMutex
    bool closing = false;     // guarded by queueMutex
    std::unique_ptr<QThread> encoderThread;
    std::atomic<bool> writeFailed{false};
    // Pictures the encoder's thread could not get into the file, not logged yet.
    std::atomic<int> encoderLeftOut{0};
    std::atomic<int> taken{0}; // by offer()

    // The timeline, in the encoder's time base; kept by the thread that offers pictures.
    int64_t lastPosition = AV_NOPTS_VALUE;
    int64_t frameDuration = 0;            // the spacing of the last two pictures
    int64_t lastPictureUs = 0;            // when the last picture's frame arrived
    int64_t segmentOrigin = AV_NOPTS_VALUE; // the camera's timestamp of the segment's first picture
    int64_t segmentStart = 0;             // where that picture lies on the timeline
    int leftOut = 0;                      // frames left out since the last picture taken

    // The encoder's thread's own.
    int64_t packetDuration = 0;           // for packets the encoder gives none
    std::atomic<int64_t> bytesWritten{0}; // what has gone out to the file
    std::atomic<int> written{0};          // pictures, likewise
};

#endif // RECORDING_H
