// The camera's picture: four coloured quadrants (top-left red, top-right green,
// bottom-left blue, bottom-right yellow), a white triangle pointing up near the top
// centre, the frame number in digits in the centre, and the frame number again as
// 16 black/white cells between guard cells in a strip near the bottom, for machines.
// With Options::clockStamp, a second strip at 62..70 % of the height carries the time the
// frame was painted as 32 cells: high enough to stay in the part of the picture the
// viewer's plain view shows, and wide enough cells to survive JPEG and any scaling to a
// window (about 15 pixels a cell at 600 or 640 pixels across).
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

    // RGB24, rows of 3 * width bytes. Valid until the next call. clockMs goes into the
    // clock strip, which is painted only with Options::clockStamp.
    const std::vector<uint8_t> &paint(int64_t frame, uint32_t clockMs = 0);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    void paintStatic(bool detailed);
    void paintCounter(int64_t frame);
    void paintStrip(int top, int bottom, int bits, uint64_t value);
    void fill(int x0, int y0, int x1, int y1, const uint8_t *rgb);

    int width_;
    int height_;
    bool clockStamp_;
    std::vector<uint8_t> rgb_;
};

// Frame n's picture as FramePainter paints it (a fresh painter: fine for tests, too slow
// per frame).
std::vector<uint8_t> renderFrame(const Options &options, int64_t frame, uint32_t clockMs = 0);

// The frame number (mod 65536) from the index strip of a picture in RGB24 of any size,
// e.g. a decoded and scaled frame; -1 if no readable strip is there (another picture, one
// turned or mirrored, or a damaged strip).
int readFrameIndex(const uint8_t *rgb, int width, int height, int stride);

// The clock the stamps come from: CLOCK_REALTIME in milliseconds, low 32 bits (it wraps
// every 49.7 days; compare stamps as a signed 32-bit difference). Every process on the
// machine reads the same clock, a camera in a network namespace of its own included.
uint32_t clockStampNow();

// The rows [*top, *bottom) that the clock strip covers in a picture `height` high; a
// reader that fetches only these rows hands them to readClockStrip().
void clockStripRows(int height, int *top, int *bottom);

// The stamp (0..2^32-1) from the clock strip of a picture in RGB24 of any size, like
// readFrameIndex(); -1 if there is no readable strip.
int64_t readClockStamp(const uint8_t *rgb, int width, int height, int stride);

// The same from just the strip's rows, as clockStripRows() gives them for the picture
// they were cut from.
int64_t readClockStrip(const uint8_t *rgb, int width, int rows, int stride);

} // namespace camsim
