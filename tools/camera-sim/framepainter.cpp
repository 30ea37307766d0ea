#include "framepainter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <time.h>

namespace camsim {

namespace {

// Saturated enough that the quadrants stay distinct after JPEG, 4:2:0 and scaling.
constexpr uint8_t kRed[3] = {220, 30, 30};
constexpr uint8_t kGreen[3] = {30, 190, 40};
constexpr uint8_t kBlue[3] = {30, 50, 220};
constexpr uint8_t kYellow[3] = {235, 215, 30};
constexpr uint8_t kWhite[3] = {255, 255, 255};
constexpr uint8_t kBlack[3] = {0, 0, 0};

// The strips, in per cent of the picture so that a scaled picture reads the same: guard
// cells white, black at the left end, the bits (most significant first), then black,
// white, white. The ends differ so that a mirrored strip does not read as a number.
constexpr int kStripLeft = 5, kStripRight = 95;
constexpr int kStripTop = 82, kStripBottom = 90, kIndexBits = 16;
constexpr int kClockTop = 62, kClockBottom = 70, kClockBits = 32;
constexpr int kFirstBit = 2;

int stripCells(int bits)
{
    return kFirstBit + bits + 3;
}

bool isWhiteGuard(int cell, int cells)
{
    return cell == 0 || cell == cells - 2 || cell == cells - 1;
}

bool isBlackGuard(int cell, int cells)
{
    return cell == 1 || cell == cells - 3;
}

int cellEdge(int width, int i, int cells)
{
    const int x0 = width * kStripLeft / 100;
    const int x1 = width * kStripRight / 100;
    return x0 + (x1 - x0) * i / cells;
}

bool cellIsWhite(uint64_t value, int bits, int cell)
{
    if (cell < kFirstBit || cell >= kFirstBit + bits)
        return isWhiteGuard(cell, stripCells(bits));
    const int bit = bits - 1 - (cell - kFirstBit);
    return ((value >> bit) & 1u) != 0;
}

// The value in the strip of `bits` cells that fills rows [y0, y1) of the picture; -1 if
// the guards are not there or a cell is neither black nor white.
int64_t readStrip(const uint8_t *rgb, int width, int y0, int y1, int stride, int bits)
{
    if (!rgb || width < 40 || y1 <= y0)
        return -1;
    // Only the middle of each cell counts: edges blur with JPEG, chroma subsampling and
    // scaling.
    const int cells = stripCells(bits);
    const int cy0 = y0 + (y1 - y0) * 3 / 10, cy1 = y1 - (y1 - y0) * 3 / 10;
    std::vector<double> level(size_t(cells), 0.0);
    for (int cell = 0; cell < cells; ++cell) {
        const int left = cellEdge(width, cell, cells), right = cellEdge(width, cell + 1, cells);
        const int cx0 = left + (right - left) * 3 / 10, cx1 = right - (right - left) * 3 / 10;
        if (cx1 <= cx0 || cy1 <= cy0)
            return -1;
        double sum = 0;
        for (int y = cy0; y < cy1; ++y) {
            const uint8_t *p = rgb + size_t(y) * stride + size_t(cx0) * 3;
            for (int x = cx0; x < cx1; ++x, p += 3)
                sum += 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
        }
        level[size_t(cell)] = sum / (double(cx1 - cx0) * (cy1 - cy0));
    }

    double white = 255, black = 0;
    for (int cell = 0; cell < cells; ++cell) {
        if (isWhiteGuard(cell, cells))
            white = std::min(white, level[size_t(cell)]);
        else if (isBlackGuard(cell, cells))
            black = std::max(black, level[size_t(cell)]);
    }
    if (white - black < 100)
        return -1;
    const double threshold = (white + black) / 2, margin = (white - black) / 5;
    int64_t value = 0;
    for (int bit = 0; bit < bits; ++bit) {
        const double v = level[size_t(kFirstBit + bit)];
        if (std::abs(v - threshold) < margin)
            return -1;
        value = (value << 1) | (v > threshold ? 1 : 0);
    }
    return value;
}

// 5x7 digits, one row per byte, most significant of the low five bits on the left.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};
constexpr int kCounterDigits = 6;

int fontScale(int height)
{
    return std::max(1, height / 96);
}

} // namespace

FramePainter::FramePainter(const Options &options)
    : width_(options.width), height_(options.height), clockStamp_(options.clockStamp),
      rgb_(size_t(width_) * height_ * 3)
{
    paintStatic(options.detailed);
}

void FramePainter::fill(int x0, int y0, int x1, int y1, const uint8_t *rgb)
{
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, width_);
    y1 = std::min(y1, height_);
    for (int y = y0; y < y1; ++y) {
        uint8_t *p = rgb_.data() + (size_t(y) * width_ + x0) * 3;
        for (int x = x0; x < x1; ++x, p += 3) {
            p[0] = rgb[0];
            p[1] = rgb[1];
            p[2] = rgb[2];
        }
    }
}

void FramePainter::paintStatic(bool detailed)
{
    const int midX = width_ / 2, midY = height_ / 2;
    fill(0, 0, midX, midY, kRed);
    fill(midX, 0, width_, midY, kGreen);
    fill(0, midY, midX, height_, kBlue);
    fill(midX, midY, width_, height_, kYellow);

    if (detailed) {
        // Grey-level texture (gratings plus noise) on top of each quadrant's colour: JPEG
        // spends its bits on it as on a real scene, while the mean colour stays that of the
        // quadrant. A fixed seed keeps every run's pictures identical.
        uint32_t seed = 0x9E3779B9u;
        for (int y = 0; y < height_; ++y) {
            uint8_t *p = rgb_.data() + size_t(y) * width_ * 3;
            for (int x = 0; x < width_; ++x, p += 3) {
                seed ^= seed << 13;
                seed ^= seed >> 17;
                seed ^= seed << 5;
                const int noise = int(seed % 9) - 4;
                const double wave = 14.0 * std::sin(x * 0.21 + 0.6 * std::sin(y * 0.05))
                                    + 10.0 * std::sin(y * 0.13 + x * 0.02);
                const int delta = noise + int(wave);
                for (int c = 0; c < 3; ++c)
                    p[c] = uint8_t(std::clamp(int(p[c]) + delta, 0, 255));
            }
        }
    }

    // Which way is up: a white triangle pointing up, centred near the top edge.
    const int apexY = height_ * 4 / 100, baseY = height_ * 16 / 100;
    const double halfBase = height_ * 0.08;
    for (int y = apexY; y < baseY; ++y) {
        const int half = int(halfBase * (y - apexY) / (baseY - apexY));
        fill(midX - half, y, midX + half + 1, y + 1, kWhite);
    }
}

void FramePainter::paintCounter(int64_t frame)
{
    const int s = fontScale(height_);
    const int boxW = (kCounterDigits * 5 + (kCounterDigits - 1) * 2 + 6) * s;
    const int boxH = 13 * s;
    const int bx = (width_ - boxW) / 2, by = (height_ - boxH) / 2;
    fill(bx, by, bx + boxW, by + boxH, kBlack);

    char text[16];
    std::snprintf(text, sizeof text, "%06lld", static_cast<long long>(frame % 1000000));
    for (int d = 0; d < kCounterDigits; ++d) {
        const uint8_t *glyph = kDigits[text[d] - '0'];
        const int gx = bx + 3 * s + d * 7 * s;
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (glyph[row] & (0x10 >> col))
                    fill(gx + col * s, by + 3 * s + row * s, gx + (col + 1) * s,
                         by + 3 * s + (row + 1) * s, kWhite);
    }
}

void FramePainter::paintStrip(int top, int bottom, int bits, uint64_t value)
{
    const int y0 = height_ * top / 100, y1 = height_ * bottom / 100;
    const int cells = stripCells(bits);
    for (int cell = 0; cell < cells; ++cell)
        fill(cellEdge(width_, cell, cells), y0, cellEdge(width_, cell + 1, cells), y1,
             cellIsWhite(value, bits, cell) ? kWhite : kBlack);
}

const std::vector<uint8_t> &FramePainter::paint(int64_t frame, uint32_t clockMs)
{
    paintCounter(frame);
    paintStrip(kStripTop, kStripBottom, kIndexBits, uint64_t(frame));
    if (clockStamp_)
        paintStrip(kClockTop, kClockBottom, kClockBits, clockMs);
    return rgb_;
}

std::vector<uint8_t> renderFrame(const Options &options, int64_t frame, uint32_t clockMs)
{
    FramePainter painter(options);
    return painter.paint(frame, clockMs);
}

int readFrameIndex(const uint8_t *rgb, int width, int height, int stride)
{
    if (height < 20)
        return -1;
    return int(readStrip(rgb, width, height * kStripTop / 100, height * kStripBottom / 100, stride,
                         kIndexBits));
}

uint32_t clockStampNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return uint32_t(uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u);
}

void clockStripRows(int height, int *top, int *bottom)
{
    *top = height * kClockTop / 100;
    *bottom = height * kClockBottom / 100;
}

int64_t readClockStamp(const uint8_t *rgb, int width, int height, int stride)
{
    int top = 0, bottom = 0;
    clockStripRows(height, &top, &bottom);
    return readStrip(rgb, width, top, bottom, stride, kClockBits);
}

int64_t readClockStrip(const uint8_t *rgb, int width, int rows, int stride)
{
    return readStrip(rgb, width, 0, rows, stride, kClockBits);
}

} // namespace camsim
