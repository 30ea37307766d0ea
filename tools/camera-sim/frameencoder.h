// Turns the camera's pictures into the JPEG frames it sends, and those into the
// buffers its RTP/JPEG payloader needs.
#pragma once

#include "options.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace camsim {

// Baseline JPEG as the camera writes it: libjpeg with the standard Huffman tables
// (optimize_coding off), each table in its own DHT segment with the luminance AC table
// (class 1, id 0) first, so that frame n's sensor block sits at +8..+19 of the first DHT.
// Frames chosen by isCorrupted() get part of their entropy-coded data overwritten.
class FrameEncoder
{
public:
    explicit FrameEncoder(const Options &options);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder &) = delete;
    FrameEncoder &operator=(const FrameEncoder &) = delete;

    // rgb: width x height RGB24, rows of 3 * width bytes. The result stays valid until the
    // next call; it is empty if libjpeg failed.
    const std::vector<uint8_t> &encode(const uint8_t *rgb, int64_t frame);

private:
    struct Jpeg;
    Options options_;
    std::unique_ptr<Jpeg> jpeg_;
    std::vector<uint8_t> out_;
};

// Whether frame n's entropy-coded data is damaged (Options::corruptEvery).
bool isCorrupted(const Options &options, int64_t frame);

// Frame n exactly as the camera sends it: FramePainter + FrameEncoder, the clock strip (if
// any) showing clockMs.
std::vector<uint8_t> encodeFrame(const Options &options, int64_t frame, uint32_t clockMs = 0);

// What to hand rtpjpegpay so that the RTP/JPEG payload carries the whole camera JPEG:
// rtpjpegpay takes the size and quantisation tables from the header segments up to the
// first SOS header and sends everything after that header as scan data. So: the JPEG's
// header segments through its SOS header, then the complete JPEG, then FF D9.
// Empty if jpeg has no SOS.
std::vector<uint8_t> carrierBuffer(const std::vector<uint8_t> &jpeg);

} // namespace camsim
