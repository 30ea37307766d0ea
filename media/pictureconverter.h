#ifndef PICTURECONVERTER_H
#define PICTURECONVERTER_H

#include "media/avhelpers.h"

// Scales and converts decoded pictures to one fixed destination size and pixel format
// with bicubic filtering.
//
// The scaler is made for the size, pixel format and colour range of the pictures it is
// given, and made anew only when these change: a camera that switches from 4:2:2 to
// 4:2:0, or to another picture size, is converted correctly instead of being read past
// its planes.
class PictureConverter
{
public:
    PictureConverter(AVPixelFormat destinationFormat, int destinationWidth, int destinationHeight);

    // Writes `source` into the destination planes. False when the source is empty or no
    // scaler can be made for it; the destination is then left as it was.
    bool convert(const AVFrame *source, uint8_t *const destination[], const int destinationStride[]);

private:
    bool prepare(int width, int height, AVPixelFormat format, AVColorRange range, AVColorSpace space);

    av::SwsContextPtr context;
    AVPixelFormat destinationFormat;
    int destinationWidth;
    int destinationHeight;

    int sourceWidth = 0;
    int sourceHeight = 0;
    AVPixelFormat sourceFormat = AV_PIX_FMT_NONE;
    AVColorRange sourceRange = AVCOL_RANGE_UNSPECIFIED;
    AVColorSpace sourceSpace = AVCOL_SPC_UNSPECIFIED;
};

#endif // PICTURECONVERTER_H
