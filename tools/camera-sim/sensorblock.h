// The 12 bytes each frame carries at +8..+19 of its luminance AC table segment.
#pragma once

#include "options.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace camsim {

using SensorBlock = std::array<uint8_t, 12>;

// What a standard luminance AC table holds at +8..+19 (its counts of code lengths 4..15):
// the bytes a receiver writes back before decoding, and what Tilt::None leaves in place.
constexpr SensorBlock kStandardBlock = {0x03, 0x03, 0x02, 0x04, 0x03, 0x05,
                                        0x05, 0x04, 0x04, 0x00, 0x00, 0x01};

// The block sent with frame n (counted from 0 for each client).
//   type 1: angle (16-bit little-endian) at 0, FE at 10, 01 at 11
//   type 6: x, y, z at 0, 2, 4, each (reading << 4) little-endian, FE at 10, 06 at 11
// Unknown type and no-tag use the type-1 layout with 03 at 11, or 00 instead of FE at 10.
SensorBlock sensorBlock(const Options &options, int64_t frame);

// The angle frame n stands for in the angle-carrying modes (both sweeps, Angle, UnknownType,
// NoTag); for ReadingsSweep this is the angle the readings were made from, not what a
// receiver computes from them (see readingsForAngle). 0 in the other modes.
int angleSent(const Options &options, int64_t frame);

// The readings frame n carries in the type-6 modes; all zero otherwise.
Readings readingsSent(const Options &options, int64_t frame);

// Readings (y = 0, x and z on a circle of radius 2000) from which a receiver that computes
// D = trunc(atan(xs / |zs|) * 180 / 3.14159265359) and maps the quadrants
// (zs > 0 && xs > 0: D; zs > 0 && xs <= 0: D + 360; zs <= 0: 180 - D) gets `angle` back.
// 90 and 270 cannot come out of that computation; they give 89 and 269 instead.
// angle is taken mod 360.
Readings readingsForAngle(int angle);

// Where the k-th DHT marker (FF C4, counted from 1) starts in `size` bytes; -1 if there are
// fewer. In a packet from FFmpeg's RTP/JPEG depacketizer its own tables come first, and the
// camera's luminance AC table, which carries the block, is the second.
long dhtMarker(const uint8_t *data, size_t size, int k);

} // namespace camsim
