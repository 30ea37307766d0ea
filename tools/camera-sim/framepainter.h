// The camera's picture: four coloured quadrants (top-left red, top-right green,
// bottom-left blue, bottom-right yellow), a white triangle pointing up near the top
// centre, the frame number in digits in the centre, and the frame number again as
// 16 black/white cells between guard cells in a strip near the bottom, for machines.
#pragma once

#include "options.h"

#include <cstdint>
#include <vector>

namespace camsim {

// Paints frames of one size. The static picture is painted once; each frame repaints
// only the counter and the index strip, which keeps the camera's per-frame cost down.
class FramePainter
{
public:
    explicit FramePainter(const Options &options);

    // RGB24, rows of 3 * width bytes. Valid until the next call.
    const std::vector<uint8_t> &paint(int64_t frame);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    void paintStatic(bool detailed);
    void paintCounter(int64_t frame);
    void paintIndex(int64_t frame);
    void fill(int x0, int y0, int x1, int y1, const uint8_t *rgb);

    int width_;
    int height_;
    std::vector<uint8_t> rgb_;
};

// Frame n's picture as FramePainter paints it (a fresh painter: fine for tests, too slow
// per frame).
std::vector<uint8_t> renderFrame(const Options &options, int64_t frame);

// The frame number (mod 65536) from the index strip of a picture in RGB24 of any size,
// e.g. a decoded and scaled frame; -1 if no readable strip is there (another picture, one
// turned or mirrored, or a damaged strip).
int readFrameIndex(const uint8_t *rgb, int width, int height, int stride);

} // namespace camsim
