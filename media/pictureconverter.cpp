#include "media/pictureconverter.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

// The "J" formats are the full-range variants of planar YUV that JPEG decoders report.
// swscale wants the plain format plus an explicit full range instead (it warns about the
// J formats), so both are folded into one description here.
AVPixelFormat withoutJpegRange(AVPixelFormat format, AVColorRange &range)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: range = AVCOL_RANGE_JPEG; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: range = AVCOL_RANGE_JPEG; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: range = AVCOL_RANGE_JPEG; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: range = AVCOL_RANGE_JPEG; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: range = AVCOL_RANGE_JPEG; return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

bool isYuv(AVPixelFormat format)
{
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(format);
    return descriptor && !(descriptor->flags & AV_PIX_FMT_FLAG_RGB) && descriptor->nb_components >= 3;
}

// A JPEG camera's 4:2:2 picture into limited-range 4:2:0 at its own size, as a recording
// wants it: each level mapped from full to limited range, and each pair of chroma rows
// averaged into one. swscale runs its whole scaler for this, at 15 bits a sample, and
// takes three times as long (2.4 against 0.75 ms for 1280x960 here); its result is the
// same, to a level, on anything but noise.
void fullRange422ToLimited420(const AVFrame *source, uint8_t *const destination[], const int destinationStride[])
{
    struct Levels
    {
        uint8_t luma[256];
        uint8_t chroma[256];
        Levels()
        {
            for (int v = 0; v < 256; ++v) {
                luma[v] = uint8_t((v * 219 + 127) / 255 + 16);
                const int c = (v - 128) * 224;
                chroma[v] = uint8_t((c + (c < 0 ? -127 : 127)) / 255 + 128);
            }
        }
    };
    static const Levels levels;

    const int width = source->width, height = source->height;
    for (int y = 0; y < height; ++y) {
        const uint8_t *in = source->data[0] + ptrdiff_t(y) * source->linesize[0];
        uint8_t *out = destination[0] + ptrdiff_t(y) * destinationStride[0];
        for (int x = 0; x < width; ++x)
            out[x] = levels.luma[in[x]];
    }
    for (int plane = 1; plane <= 2; ++plane) {
        for (int y = 0; y < height / 2; ++y) {
            const uint8_t *upper = source->data[plane] + ptrdiff_t(2 * y) * source->linesize[plane];
            const uint8_t *lower = upper + source->linesize[plane];
            uint8_t *out = destination[plane] + ptrdiff_t(y) * destinationStride[plane];
            for (int x = 0; x < width / 2; ++x)
                out[x] = levels.chroma[(upper[x] + lower[x] + 1) >> 1];
        }
    }
}

} // namespace

PictureConverter::PictureConverter(AVPixelFormat destinationFormat, int destinationWidth, int destinationHeight,
                                   int flags, AVColorRange destinationRange)
    : destinationFormat(destinationFormat)
    , destinationWidth(destinationWidth)
    , destinationHeight(destinationHeight)
    , flags(flags)
    , destinationRange(destinationRange)
{
}

void PictureConverter::setDestinationSize(int width, int height)
{
    if (width == destinationWidth && height == destinationHeight)
        return;
    destinationWidth = width;
    destinationHeight = height;
    context.reset();
}

bool PictureConverter::convert(const AVFrame *source, uint8_t *const destination[], const int destinationStride[])
{
    if (!source || source->width <= 0 || source->height <= 0 || source->format < 0 || destinationWidth <= 0
        || destinationHeight <= 0) {
        return false;
    }
    AVColorRange range = source->color_range;
    if (withoutJpegRange(AVPixelFormat(source->format), range) == AV_PIX_FMT_YUV422P && range == AVCOL_RANGE_JPEG
        && destinationFormat == AV_PIX_FMT_YUV420P && destinationRange != AVCOL_RANGE_JPEG
        && source->width == destinationWidth && source->height == destinationHeight && source->width % 2 == 0
        && source->height % 2 == 0) {
        fullRange422ToLimited420(source, destination, destinationStride);
        return true;
    }
    if (!prepare(source->width, source->height, AVPixelFormat(source->format), source->color_range, source->colorspace))
        return false;
    sws_scale(context.get(), source->data, source->linesize, 0, source->height, destination, destinationStride);
    return true;
}

bool PictureConverter::prepare(int width, int height, AVPixelFormat format, AVColorRange range, AVColorSpace space)
{
    if (context && width == sourceWidth && height == sourceHeight && format == sourceFormat
        && range == sourceRange && space == sourceSpace) {
        return true;
    }

    AVColorRange effectiveRange = range;
    const AVPixelFormat plainFormat = withoutJpegRange(format, effectiveRange);
    const int sourceFull = isYuv(plainFormat) ? effectiveRange == AVCOL_RANGE_JPEG : 1;
    const int destinationFull = isYuv(destinationFormat) ? destinationRange == AVCOL_RANGE_JPEG : 1;
    // The ranges go in before the context is set up: swscale chooses its way then, and
    // between two pictures of one format and size it would choose a plain copy, which
    // leaves a full-range picture's levels as they are whatever it is told later.
    context.reset(sws_alloc_context());
    if (!context || av_opt_set_int(context.get(), "srcw", width, 0) < 0
        || av_opt_set_int(context.get(), "srch", height, 0) < 0
        || av_opt_set_int(context.get(), "src_format", plainFormat, 0) < 0
        || av_opt_set_int(context.get(), "dstw", destinationWidth, 0) < 0
        || av_opt_set_int(context.get(), "dsth", destinationHeight, 0) < 0
        || av_opt_set_int(context.get(), "dst_format", destinationFormat, 0) < 0
        || av_opt_set_int(context.get(), "sws_flags", flags, 0) < 0
        || av_opt_set_int(context.get(), "src_range", sourceFull, 0) < 0
        || av_opt_set_int(context.get(), "dst_range", destinationFull, 0) < 0
        || sws_init_context(context.get(), nullptr, nullptr) < 0) {
        context.reset();
        sourceFormat = AV_PIX_FMT_NONE;
        return false;
    }

    // Without a tag, YUV from a JPEG camera is BT.601, which is also swscale's default.
    const int coefficients = space == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : int(space);
    sws_setColorspaceDetails(context.get(), sws_getCoefficients(coefficients), sourceFull,
                             sws_getCoefficients(SWS_CS_DEFAULT), destinationFull, 0, 1 << 16, 1 << 16);

    sourceWidth = width;
    sourceHeight = height;
    sourceFormat = format;
    sourceRange = range;
    sourceSpace = space;
    return true;
}

namespace {

// A new image of `size` in Qt's RGB32 over a buffer with room for swscale's vector code,
// which may write up to a whole vector past the end of a line: every line starts aligned,
// with room after it, and the buffer has room after its last line.
QImage newImage(const QSize &size)
{
    if (size.isEmpty())
        return QImage();
    const int stride = FFALIGN(size.width() * 4, 64);
    uint8_t *pixels = static_cast<uint8_t *>(av_malloc(size_t(stride) * size_t(size.height()) + 64));
    if (!pixels)
        return QImage();
    return QImage(pixels, size.width(), size.height(), stride, QImage::Format_RGB32, av_free, pixels);
}

} // namespace

ImageConverter::ImageConverter(int flags)
    : scaler(AV_PIX_FMT_YUV420P, 0, 0, flags, AVCOL_RANGE_JPEG)
    , scaled(av_frame_alloc())
    , halfChroma(av_frame_alloc())
    , toRgb(AV_PIX_FMT_RGB32, 0, 0, flags)
{
}

// A 4:2:2 picture made smaller as 4:2:0 needs no more than every other row of its chroma:
// read so, as 4:2:0 itself, it costs the scaler a seventh less. Any other picture as it is.
const AVFrame *ImageConverter::withHalfTheChromaRows(const AVFrame *picture, const QSize &size)
{
    const AVPixelFormat format = AVPixelFormat(picture->format);
    const bool full = format == AV_PIX_FMT_YUVJ422P;
    if ((!full && format != AV_PIX_FMT_YUV422P) || size.height() > picture->height || picture->height % 2 || !halfChroma)
        return picture;
    halfChroma->format = full ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    halfChroma->width = picture->width;
    halfChroma->height = picture->height;
    halfChroma->color_range = picture->color_range;
    halfChroma->colorspace = picture->colorspace;
    for (int plane = 0; plane < 3; ++plane) {
        halfChroma->data[plane] = picture->data[plane];
        halfChroma->linesize[plane] = plane ? 2 * picture->linesize[plane] : picture->linesize[plane];
    }
    return halfChroma.get();
}

// An image of `size` that nobody else holds any more, one of the last few made, or a new
// one in place of the oldest of them.
QImage ImageConverter::freeImage(const QSize &size)
{
    for (QImage &kept : recent) {
        if (kept.size() == size && kept.isDetached())
            return kept;
    }
    QImage &oldest = recent[nextRecent];
    nextRecent = (nextRecent + 1) % int(recent.size());
    oldest = newImage(size);
    return oldest;
}

QImage ImageConverter::convert(const AVFrame *picture, const QSize &size)
{
    // AV_PIX_FMT_RGB32 is 0xAARRGGBB in the machine's own byte order, as QImage's RGB32 is;
    // swscale sets the alpha byte to 0xFF, as Qt expects of it.
    QImage image = freeImage(size);
    if (image.isNull() || !picture || !scaled)
        return QImage();
    const AVFrame *source = picture;
    if (QSize(picture->width, picture->height) != size) {
        if (scaled->width != size.width() || scaled->height != size.height()) {
            av_frame_unref(scaled.get());
            scaled->format = AV_PIX_FMT_YUV420P;
            scaled->width = size.width();
            scaled->height = size.height();
            if (av_frame_get_buffer(scaled.get(), 0) < 0) {
                av_frame_unref(scaled.get());
                return QImage();
            }
        }
        scaler.setDestinationSize(size.width(), size.height());
        if (!scaler.convert(withHalfTheChromaRows(picture, size), scaled->data, scaled->linesize))
            return QImage();
        scaled->color_range = AVCOL_RANGE_JPEG;
        scaled->colorspace = picture->colorspace;
        source = scaled.get();
    }
    // Shared with `recent` alone: bits() must not detach it, which would copy the pixels.
    uint8_t *planes[4] = {const_cast<uint8_t *>(image.constBits()), nullptr, nullptr, nullptr};
    const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    toRgb.setDestinationSize(size.width(), size.height());
    if (!toRgb.convert(source, planes, strides))
        return QImage();
    return image;
}
