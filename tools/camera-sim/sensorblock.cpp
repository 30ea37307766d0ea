#include "sensorblock.h"

#include <cmath>
#include <vector>

namespace camsim {

namespace {

constexpr uint8_t kTag = 0xFE;

int sweepAngle(const Options &o, int64_t frame)
{
    const int64_t a = (int64_t(o.angle) + frame * o.sweepStep) % 360;
    return int(a < 0 ? a + 360 : a);
}

// 12-bit two's complement as the sensor stores it.
int toTwelveBits(int value)
{
    return value < 0 ? value + 4096 : value;
}

// The receiver's computation, kept here only to choose readings that survive its
// truncation; see readingsForAngle.
int receiverAngle(int xs, int zs)
{
    const int d = int(std::atan(double(xs) / std::abs(zs)) * 180.0 / 3.14159265359);
    if (zs > 0 && xs > 0)
        return d;
    if (zs > 0)
        return d + 360;
    return 180 - d;
}

std::array<Readings, 360> buildReadingsTable()
{
    constexpr double kRadius = 2000.0;
    constexpr double kPi = 3.14159265358979323846;
    std::array<Readings, 360> table{};
    for (int angle = 0; angle < 360; ++angle) {
        // Both 90 and 270 would need D = +-90, which truncation never yields.
        const int target = (angle == 90 || angle == 270) ? angle - 1 : angle;
        // Every direction near the target that comes out right; the middle one keeps the
        // furthest from the truncation edges.
        std::vector<Readings> hits;
        for (int step = -300; step <= 300; ++step) {
            const double phi = (target + step / 100.0) * kPi / 180.0;
            const int x = int(std::lround(kRadius * std::sin(phi)));
            const int z = int(std::lround(kRadius * std::cos(phi)));
            if (z != 0 && receiverAngle(x, z) == target)
                hits.push_back({toTwelveBits(x), 0, toTwelveBits(z)});
        }
        if (!hits.empty())
            table[angle] = hits[hits.size() / 2];
    }
    return table;
}

SensorBlock angleBlock(int angle, uint8_t tag, uint8_t type)
{
    SensorBlock b{};
    b[0] = uint8_t(angle & 0xFF);
    b[1] = uint8_t((angle >> 8) & 0xFF);
    b[10] = tag;
    b[11] = type;
    return b;
}

SensorBlock readingsBlock(const Readings &r)
{
    SensorBlock b{};
    const int values[3] = {r.x, r.y, r.z};
    for (int i = 0; i < 3; ++i) {
        const unsigned shifted = unsigned(values[i] & 0x0FFF) << 4;
        b[2 * i] = uint8_t(shifted & 0xFF);
        b[2 * i + 1] = uint8_t(shifted >> 8);
    }
    b[10] = kTag;
    b[11] = 6;
    return b;
}

} // namespace

Readings readingsForAngle(int angle)
{
    static const std::array<Readings, 360> table = buildReadingsTable();
    angle %= 360;
    return table[angle < 0 ? angle + 360 : angle];
}

int angleSent(const Options &o, int64_t frame)
{
    switch (o.tilt) {
    case Tilt::Angle:
    case Tilt::UnknownType:
    case Tilt::NoTag:
        return o.angle;
    case Tilt::AngleSweep:
    case Tilt::ReadingsSweep:
        return sweepAngle(o, frame);
    default:
        return 0;
    }
}

Readings readingsSent(const Options &o, int64_t frame)
{
    switch (o.tilt) {
    case Tilt::Readings:
        return o.readings;
    case Tilt::ReadingsSweep:
        return readingsForAngle(sweepAngle(o, frame));
    default:
        return {};
    }
}

SensorBlock sensorBlock(const Options &o, int64_t frame)
{
    switch (o.tilt) {
    case Tilt::None:
        return kStandardBlock;
    case Tilt::Angle:
    case Tilt::AngleSweep:
        return angleBlock(angleSent(o, frame), kTag, 1);
    case Tilt::Readings:
    case Tilt::ReadingsSweep:
    case Tilt::ReadingsZero:
        return readingsBlock(readingsSent(o, frame));
    case Tilt::UnknownType:
        return angleBlock(angleSent(o, frame), kTag, 3);
    case Tilt::NoTag:
        return angleBlock(angleSent(o, frame), 0x00, 1);
    }
    return kStandardBlock;
}

long dhtMarker(const uint8_t *data, size_t size, int k)
{
    int seen = 0;
    for (size_t i = 0; i + 1 < size; ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xC4 && ++seen == k)
            return long(i);
    }
    return -1;
}

} // namespace camsim
