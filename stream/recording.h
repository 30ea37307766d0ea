#ifndef RECORDING_H
#define RECORDING_H

#include "media/avhelpers.h"
#include "media/pictureconverter.h"

#include <QString>

#include <cstdint>
#include <memory>

// One recording of the live picture: the MP4 file, its H.264 encoder, the YUV picture they
// share and the file's timeline. start() builds it whole or not at all; finish() writes
// the end of the file; destroying it closes the file.
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

    // Opens `fileName` (the container follows its extension) for H.264 pictures of the
    // given size. Null on failure, after the debug line that says where it failed; no file
    // is left open then.
    static std::unique_ptr<Recording> start(const QString &fileName, int width, int height, const Source &source);
    ~Recording();

    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;

    // Scales, converts and encodes one decoded camera picture, whose timestamp is in
    // `timeBase`, and writes what the encoder gives back. False once the file cannot be
    // written any more.
    bool write(const AVFrame *picture, AVRational timeBase);
    // The next picture comes from a new session with the camera, on a clock of its own.
    void restartClock();
    // Drains the encoder and writes the end of the file. False if the file is incomplete:
    // this or an earlier write failed.
    bool finish();
    QString fileName() const { return path; }

private:
    Recording() = default;
    bool writeEncodedPackets();
    int64_t placeOnTimeline(const AVFrame *picture, AVRational timeBase);

    QString path;
    av::OutputContextPtr outFormatCtx;
    AVStream *outStream = nullptr;
    av::CodecContextPtr encoderCtx;
    av::FramePtr frameYUV;
    av::PacketPtr packet;
    std::unique_ptr<PictureConverter> swsCtxYUV;

    // The timeline, in the encoder's time base.
    int64_t lastPosition = AV_NOPTS_VALUE;
    int64_t frameDuration = 0;            // the spacing of the last two pictures
    int64_t lastPictureUs = 0;            // av_gettime_relative() when the last picture came
    int64_t segmentOrigin = AV_NOPTS_VALUE; // the camera's timestamp of the segment's first picture
    int64_t segmentStart = 0;             // where that picture lies on the timeline
    int64_t bytesWritten = 0;             // what has gone out to the file
    bool writeFailed = false;
};

#endif // RECORDING_H
