#ifndef SCALEDJPEGDECODER_H
#define SCALEDJPEGDECODER_H

#include "media/avhelpers.h"

extern "C" {
#include <libavutil/buffer.h>
}

#include <QSize>

#include <cstdint>
#include <memory>

// Decodes a camera frame for the screen straight at a fraction of its size, with
// libjpeg-turbo's TurboJPEG. The inverse DCT of each 8x8 block can give N/8 of its pixels
// in each direction, so a window that shows the camera's 1280x960 in 600x600 gets it
// decoded at 5/8 (800x600): the same detail at well under the work of decoding it whole
// and scaling it down after. The result is the JPEG's own planar YUV, for the one
// conversion to the window's size and format that follows.
//
// Only the screen is served so: recordings and snapshots take the camera's whole picture,
// decoded by libavcodec, and so does a view that needs all of it (8/8).
class ScaledJpegDecoder
{
public:
    enum class Result {
        Decoded, // the picture is in `picture`, smaller than the frame
        Whole,   // the view needs the whole picture: decode it in full
        Refused  // TurboJPEG cannot decode this frame: decode it in full
    };

    ScaledJpegDecoder();
    ~ScaledJpegDecoder();
    ScaledJpegDecoder(const ScaledJpegDecoder &) = delete;
    ScaledJpegDecoder &operator=(const ScaledJpegDecoder &) = delete;

    // The smallest scale, in eighths, at which a picture of `source` still covers `needed`
    // in both directions; 8 when nothing smaller does.
    static int eighthsFor(const QSize &source, const QSize &needed);

    // Decodes the frame in `data` at the smallest scale that covers `needed`, into
    // `picture` (its buffers are made anew).
    Result decode(const uint8_t *data, int size, const QSize &needed, AVFrame *picture);

    // Why the last frame was refused, in TurboJPEG's words.
    const char *lastError() const;

private:
    struct PoolDeleter
    {
        void operator()(AVBufferPool *pool) const { av_buffer_pool_uninit(&pool); }
    };

    bool takeBuffer(AVFrame *picture, AVPixelFormat format, int width, int height);

    void *handle; // tjhandle
    std::unique_ptr<AVBufferPool, PoolDeleter> pool; // of buffers poolSize bytes large
    int poolSize = 0;
};

#endif // SCALEDJPEGDECODER_H
