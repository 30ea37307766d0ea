#ifndef STREAMCONNECTION_H
#define STREAMCONNECTION_H

#include "media/avhelpers.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

// One RTSP session with the camera: the input and its video stream, with the stream's
// decoder opened for whoever decodes its packets. open() builds it whole or not at all;
// destroying it ends the session with TEARDOWN and releases the sockets.
//
// The camera's silence is watched from inside FFmpeg's blocking calls: every wait gives up
// once the camera has sent nothing for CameraSilenceUs, counted from the last packet
// received, while probing and while reading alike. The owner's stop request ends any wait
// at once. A connection is used by one thread at a time.
class StreamConnection
{
public:
    // How long the camera may stay silent, the same as the RTSP input's socket time-out.
    static constexpr int64_t CameraSilenceUs = 3000000;

    // How far an opening that failed came.
    enum class Failure {
        NoAnswer,  // the camera refused the connection, or did not answer its requests in time
        NoPicture, // the camera answered, but no picture it sent arrived
        NoDecoder  // its pictures arrived, but no decoder for them could be opened
    };

    // Opens `url` over RTSP with the media over UDP, picks the first video stream and
    // opens its decoder. `answerLimitUs` is how long the camera may take to answer the
    // RTSP requests. While `stopRequest` is set, every wait gives up. Null on failure,
    // after the debug line that says where it failed, and with `failure` set.
    static std::unique_ptr<StreamConnection> open(const QString &url, const std::atomic<bool> &stopRequest,
                                                  int64_t answerLimitUs, Failure *failure = nullptr);
    ~StreamConnection();

    StreamConnection(const StreamConnection &) = delete;
    StreamConnection &operator=(const StreamConnection &) = delete;

    // The next packet of any stream, as av_read_frame() gives it.
    int read(AVPacket *packet);
    // The decoder of the video stream, opened; the connection keeps none after this.
    av::CodecContextPtr takeDecoder() { return std::move(codecCtx); }

    int videoStreamIndex() const { return streamIndex; }
    const AVStream *videoStream() const { return stream; }
    // The camera's frame rate where anyone knows it; {0, 1} where nobody does.
    AVRational frameRate() const;

private:
    explicit StreamConnection(const std::atomic<bool> &stopRequest);
    static int interruptCallback(void *opaque);
    bool findVideo();

    const std::atomic<bool> &stopRequest;
    av::InputContextPtr formatCtx;
    const AVStream *stream = nullptr;
    int streamIndex = -1;
    av::CodecContextPtr codecCtx;
    AVRational decoderFrameRate{0, 1};

    // The interrupt callback's view of the session; it runs on the thread that is inside
    // FFmpeg, the one thread using the connection.
    int64_t lastDataUs = 0;         // av_gettime_relative() of the last sign of life
    int64_t silenceLimitUs = CameraSilenceUs;
    bool closing = false;           // the TEARDOWN on the way out may pass a stop request
    int64_t closeDeadlineUs = 0;
};

#endif // STREAMCONNECTION_H
