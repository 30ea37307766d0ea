#ifndef PICTURECONVERTER_H
#define PICTURECONVERTER_H

#include "media/avhelpers.h"

#include <QImage>
#include <QSize>

#include <array>

// Scales and converts decoded pictures to one destination size and pixel format.
//
// The scaler is made for the size, pixel format and colour range of the pictures it is
// given, and for the destination size, and made anew only when one of these changes: a
// camera that switches from 4:2:2 to 4:2:0, or to another picture size, is converted
// correctly instead of being read past its planes. The camera's own full-range 4:2:2 into
// limited-range 4:2:0 at the same size, what every recorded picture needs, is done without
// swscale, in a third of its time.
class PictureConverter
{
public:
    // `flags` chooses swscale's filter (SWS_BICUBIC, SWS_AREA, ...). RGB is always full
    // range; YUV is made in the usual limited range unless `destinationRange` asks for
    // full.
    PictureConverter(AVPixelFormat destinationFormat, int destinationWidth, int destinationHeight,
                     int flags = SWS_BICUBIC, AVColorRange destinationRange = AVCOL_RANGE_MPEG);

    void setDestinationSize(int width, int height);
    // Writes `source` into the destination planes. False when the source is empty or no
    // scaler can be made for it; the destination is then left as it was.
    bool convert(const AVFrame *source, uint8_t *const destination[], const int destinationStride[]);

private:
    bool prepare(int width, int height, AVPixelFormat format, AVColorRange range, AVColorSpace space);

    av::SwsContextPtr context;
    AVPixelFormat destinationFormat;
    int destinationWidth;
    int destinationHeight;
    int flags;
    AVColorRange destinationRange;

    int sourceWidth = 0;
    int sourceHeight = 0;
    AVPixelFormat sourceFormat = AV_PIX_FMT_NONE;
    AVColorRange sourceRange = AVCOL_RANGE_UNSPECIFIED;
    AVColorSpace sourceSpace = AVCOL_SPC_UNSPECIFIED;
};

// Turns decoded pictures into images for the window: the whole picture scaled to the size
// asked for, in Qt's RGB32, the format the window paints without converting it again.
// Each picture goes into an image that owns its pixels and that nobody else holds: the
// window may still be painting the last one while the next is made. The images the
// window has let go of are written again, which spares the kernel clearing fresh pages
// for every picture.
//
// swscale scales planar YUV with its fastest code, and turns YUV into RGB fastest without
// scaling: a picture is scaled as YUV 4:2:0, then turned into RGB at its new size, which
// together costs less than either done in one go (0.6 against 0.9 ms for the camera's
// 1280x960 to 600x600 here). A picture already at the size asked for is only turned.
class ImageConverter
{
public:
    // Scaling down by a large factor, as for a window, wants a filter that averages the
    // pixels it leaves out rather than one that samples a few of them.
    explicit ImageConverter(int flags = SWS_AREA);

    // Null when the picture is empty or cannot be converted.
    QImage convert(const AVFrame *picture, const QSize &size);

private:
    const AVFrame *withHalfTheChromaRows(const AVFrame *picture, const QSize &size);
    QImage freeImage(const QSize &size);

    PictureConverter scaler;
    av::FramePtr scaled; // the picture at its new size, as full-range YUV 4:2:0
    av::FramePtr halfChroma; // a 4:2:2 picture's pixels seen as 4:2:0, not a copy
    PictureConverter toRgb;
    // The last images made: the one the window shows, one waiting for it, one to write.
    std::array<QImage, 3> recent;
    int nextRecent = 0;
};

#endif // PICTURECONVERTER_H
