#ifndef STREAMCONNECTION_H
#define STREAMCONNECTION_H

#include "media/avhelpers.h"
#include "media/pictureconverter.h"

#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

// One RTSP session with the camera: the input, its video stream, the decoder and the RGB
// picture. open() builds it whole or not at all; destroying it ends the session with
// TEARDOWN and releases the sockets, the decoder and the buffers.
//
// The camera's silence is watched from inside FFmpeg's blocking calls: every wait gives up
// once the camera has sent nothing for CameraSilenceUs, counted from the last packet
// received, while probing and while reading alike. The owner's stop request ends any wait
// at once. A connection is used by one thread at a time.
class StreamConnection
{
public:
    // Every picture is delivered at this size, whatever the camera sends.
    static constexpr int PictureWidth = 1280;
    static constexpr int PictureHeight = 960;
    // How long the camera may stay silent, the same as the RTSP input's socket time-out.
    static constexpr int64_t CameraSilenceUs = 3000000;

    // Opens `url` over RTSP with the media over UDP, picks the first video stream and
    // opens its decoder. `answerLimitUs` is how long the camera may take to answer the
    // RTSP requests. While `stopRequest` is set, every wait gives up. Null on failure,
    // after the debug line that says where it failed.
    static std::unique_ptr<StreamConnection> open(const QString &url, const std::atomic<bool> &stopRequest,
                                                  int64_t answerLimitUs);
    ~StreamConnection();

    StreamConnection(const StreamConnection &) = delete;
    StreamConnection &operator=(const StreamConnection &) = delete;

    // The next packet of any stream, as av_read_frame() gives it.
    int read(AVPacket *packet);
    // Decodes a video packet and converts the picture to RGB. False without a new
    // picture; the debug log says why.
    bool decode(AVPacket *packet);
    // The last converted picture, in an image that owns its pixels: the buffer is
    // overwritten by the next picture while the window may still be painting this one.
    // Null before the first picture.
    QImage picture() const;
    // The last decoded picture, in the camera's own size and format.
    const AVFrame *frame() const { return decoded.get(); }

    int videoStreamIndex() const { return streamIndex; }
    const AVStream *videoStream() const { return stream; }
    // The camera's frame rate where anyone knows it; {0, 1} where nobody does.
    AVRational frameRate() const;

private:
    friend struct ReadThreadTestAccess;

    explicit StreamConnection(const std::atomic<bool> &stopRequest);
    bool openDecoder(const AVStream *videoStream);
    static int interruptCallback(void *opaque);

    const std::atomic<bool> &stopRequest;
    av::InputContextPtr formatCtx;
    const AVStream *stream = nullptr;
    int streamIndex = -1;
    av::CodecContextPtr codecCtx;
    av::FramePtr decoded;
    av::FramePtr frameRGB;
    av::BufferPtr rgbBuffer;
    PictureConverter swsCtx{AV_PIX_FMT_RGB24, PictureWidth, PictureHeight};
    bool hasPicture = false;

    // The interrupt callback's view of the session; it runs on the thread that is inside
    // FFmpeg, the one thread using the connection.
    int64_t lastDataUs = 0;         // av_gettime_relative() of the last sign of life
    int64_t silenceLimitUs = CameraSilenceUs;
    bool closing = false;           // the TEARDOWN on the way out may pass a stop request
    int64_t closeDeadlineUs = 0;
};

#endif // STREAMCONNECTION_H
