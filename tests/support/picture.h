#ifndef PICTURE_H
#define PICTURE_H

#include <QImage>
#include <QPointF>
#include <QString>

#include "framepainter.h"

#include <cmath>
#include <vector>

// Reading the simulated camera's picture back out of what the program shows or saves.

// The quadrant colour of a pixel: 'R', 'G', 'B', 'Y', or '?' for anything else.
inline char colourOf(QRgb pixel)
{
    const bool r = qRed(pixel) > 140, g = qGreen(pixel) > 140, b = qBlue(pixel) > 140;
    const bool lowR = qRed(pixel) < 100, lowG = qGreen(pixel) < 100, lowB = qBlue(pixel) < 100;
    if (r && lowG && lowB)
        return 'R';
    if (g && lowR && lowB)
        return 'G';
    if (b && lowR && lowG)
        return 'B';
    if (r && g && lowB)
        return 'Y';
    return '?';
}

// The colours of the camera's four quadrants in a whole picture, as `colourOf` names them:
// "RGBY" for the camera's own.
inline QString quadrantsOf(const QImage &image)
{
    QString colours;
    for (const QPointF &at : {QPointF(0.1, 0.2), QPointF(0.9, 0.2), QPointF(0.1, 0.6), QPointF(0.9, 0.6)})
        colours += QLatin1Char(colourOf(image.pixel(int(at.x() * image.width()), int(at.y() * image.height()))));
    return colours;
}

inline int frameIndexOf(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    return camsim::readFrameIndex(rgb.constBits(), rgb.width(), rgb.height(), rgb.bytesPerLine());
}

// Peak signal-to-noise ratio of `received` against `source`, a picture of the same size;
// 99 for the same pixels.
inline double psnr(const QImage &received, const QImage &original)
{
    const QImage picture = received.convertToFormat(QImage::Format_RGB888);
    const QImage source = original.convertToFormat(QImage::Format_RGB888);
    if (picture.size() != source.size())
        return 0;
    double squared = 0;
    for (int y = 0; y < picture.height(); ++y) {
        const uchar *a = picture.constScanLine(y);
        const uchar *b = source.constScanLine(y);
        for (int i = 0; i < 3 * picture.width(); ++i)
            squared += double(a[i] - b[i]) * double(a[i] - b[i]);
    }
    const double mse = squared / (3.0 * picture.width() * picture.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The same against the simulator's own picture of frame `index`, scaled to the received
// size.
inline double psnrAgainstCamera(const QImage &received, const camsim::Options &options, int index)
{
    const std::vector<uint8_t> rgb = camsim::renderFrame(options, index);
    return psnr(received, QImage(rgb.data(), options.width, options.height, 3 * options.width, QImage::Format_RGB888)
                              .scaled(received.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

#endif // PICTURE_H
