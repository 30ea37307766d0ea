#include "media/scaledjpegdecoder.h"

#include <turbojpeg.h>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/macros.h>
}

namespace {

struct Span
{
    const uint8_t *data;
    int size;
};

// The JPEG that the camera itself made. FFmpeg's RTP/JPEG depacketiser hands on each frame
// behind a JPEG header of its own (SOI, tables, SOF, SOS) and followed by FF D9; a camera
// that puts its whole JPEG in the payload, as this one does, thus arrives as a JPEG inside
// the scan of another, which libjpeg would read as an empty scan. The inner one is what
// was sent, with its own tables (restored where the sensor block was). A frame whose scan
// holds no JPEG of its own is decoded as it is.
Span cameraJpeg(const uint8_t *data, int size)
{
    const Span whole{data, size};
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return whole;
    int p = 2;
    while (p + 4 <= size) {
        if (data[p] != 0xFF)
            return whole;
        if (data[p + 1] == 0xFF) { // fill byte
            ++p;
            continue;
        }
        const int marker = data[p + 1];
        const int length = (data[p + 2] << 8) | data[p + 3];
        p += 2 + length;
        if (marker != 0xDA)
            continue;
        if (p + 2 <= size && data[p] == 0xFF && data[p + 1] == 0xD8)
            return Span{data + p, size - p};
        return whole;
    }
    return whole;
}

// The JPEG's planes as FFmpeg names them: full-range YUV, or grey. An RGB or CMYK JPEG has
// no YUV planes to hand on.
AVPixelFormat formatOf(int sampling, int colourspace)
{
    if (sampling == TJSAMP_GRAY)
        return colourspace == TJCS_GRAY ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_NONE;
    if (colourspace != TJCS_YCbCr)
        return AV_PIX_FMT_NONE;
    switch (sampling) {
    case TJSAMP_444:
        return AV_PIX_FMT_YUVJ444P;
    case TJSAMP_422:
        return AV_PIX_FMT_YUVJ422P;
    case TJSAMP_420:
        return AV_PIX_FMT_YUVJ420P;
    case TJSAMP_440:
        return AV_PIX_FMT_YUVJ440P;
    case TJSAMP_411:
        return AV_PIX_FMT_YUVJ411P;
    default:
        return AV_PIX_FMT_NONE;
    }
}

int scaled(int dimension, int eighths)
{
    return TJSCALED(dimension, (tjscalingfactor{eighths, 8}));
}

} // namespace

ScaledJpegDecoder::ScaledJpegDecoder()
    : handle(tjInitDecompress())
{
}

ScaledJpegDecoder::~ScaledJpegDecoder()
{
    if (handle)
        tjDestroy(handle);
}

int ScaledJpegDecoder::eighthsFor(const QSize &source, const QSize &needed)
{
    if (needed.isEmpty())
        return 8;
    for (int eighths = 1; eighths < 8; ++eighths) {
        if (scaled(source.width(), eighths) >= needed.width() && scaled(source.height(), eighths) >= needed.height())
            return eighths;
    }
    return 8;
}

ScaledJpegDecoder::Result ScaledJpegDecoder::decode(const uint8_t *data, int size, const QSize &needed, AVFrame *picture)
{
    if (!handle || !data || size <= 0)
        return Result::Refused;
    const Span jpeg = cameraJpeg(data, size);
    int width = 0, height = 0, sampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle, jpeg.data, jpeg.size, &width, &height, &sampling, &colourspace) < 0)
        return Result::Refused;
    const int eighths = eighthsFor(QSize(width, height), needed);
    if (eighths == 8)
        return Result::Whole;
    const AVPixelFormat format = formatOf(sampling, colourspace);
    if (format == AV_PIX_FMT_NONE)
        return Result::Refused;

    const int scaledWidth = scaled(width, eighths), scaledHeight = scaled(height, eighths);
    av_frame_unref(picture);
    if (!takeBuffer(picture, format, scaledWidth, scaledHeight))
        return Result::Refused;
    picture->color_range = AVCOL_RANGE_JPEG;
    picture->colorspace = AVCOL_SPC_BT470BG;

    unsigned char *planes[3] = {picture->data[0], picture->data[1], picture->data[2]};
    int strides[3] = {picture->linesize[0], picture->linesize[1], picture->linesize[2]};
    // A warning (damaged entropy-coded data, say) still leaves a whole picture, as
    // libavcodec's would be.
    if (tjDecompressToYUVPlanes(handle, jpeg.data, jpeg.size, planes, scaledWidth, strides, scaledHeight, 0) < 0
        && tjGetErrorCode(handle) != TJERR_WARNING) {
        av_frame_unref(picture);
        return Result::Refused;
    }
    return Result::Decoded;
}

// The planes of a picture, in one buffer from a pool: the buffer of a picture that has been
// converted goes back to it, and the next picture is written into memory already in use,
// rather than into fresh pages for the kernel to clear. TurboJPEG writes whole blocks:
// the planes get room for rows and columns beyond the picture's edge.
bool ScaledJpegDecoder::takeBuffer(AVFrame *picture, AVPixelFormat format, int width, int height)
{
    const int paddedWidth = FFALIGN(width, 32), paddedHeight = FFALIGN(height, 32);
    const int size = av_image_get_buffer_size(format, paddedWidth, paddedHeight, 64);
    if (size <= 0)
        return false;
    if (size != poolSize) {
        pool.reset(av_buffer_pool_init(size_t(size), nullptr));
        poolSize = pool ? size : 0;
    }
    picture->buf[0] = pool ? av_buffer_pool_get(pool.get()) : nullptr;
    if (!picture->buf[0])
        return false;
    if (av_image_fill_arrays(picture->data, picture->linesize, picture->buf[0]->data, format, paddedWidth, paddedHeight, 64) < 0) {
        av_frame_unref(picture);
        return false;
    }
    picture->format = format;
    picture->width = width;
    picture->height = height;
    return true;
}

const char *ScaledJpegDecoder::lastError() const
{
    return tjGetErrorStr2(handle);
}
