// The tilt-sensor block that cameras hide in each JPEG frame.
//
// The block overwrites twelve bytes of the frame's second DHT segment, counted from its
// FF C4 marker:
//   +8  type 1: the angle, unsigned 16-bit little-endian
//       type 6: readings x, y, z at +8, +10, +12, each 12 bits in bits 15..4
//   +18 0xFE, the tag; +19 the type (1 or 6)
// Those bytes are the code counts of lengths 4..15 of the standard luminance AC table,
// which the camera's second DHT segment holds; writing them back makes the frame an
// ordinary JPEG again.

#include "stream/readthread.h"

#include <cmath>
#include <cstring>

namespace {

const uint8_t StandardCounts[12] = {0x03, 0x03, 0x02, 0x04, 0x03, 0x05, 0x05, 0x04, 0x04, 0x00, 0x00, 0x01};
const int BlockEnd = 20; // the block ends at +19
const uint8_t BlockTag = 0xFE;

int readLe16(const uint8_t *p)
{
    return p[0] | (p[1] << 8);
}

// Offset of the second FF C4 pair, or -1. In a camera frame it lies in the header, so
// the scan stops long before the picture data.
int secondDhtMarker(const uint8_t *data, int size)
{
    bool seenFirst = false;
    for (int p = 0; p + 1 < size; ++p) {
        if (data[p] == 0xFF && data[p + 1] == 0xC4) {
            if (seenFirst)
                return p;
            seenFirst = true;
        }
    }
    return -1;
}

} // namespace

int ReadThread::getPacketDegree(AVPacket *packet)
{
    isHaveDegree = false;
    if (!packet->data || packet->size <= 0)
        return 0;

    const int p = secondDhtMarker(packet->data, packet->size);
    if (p < 0 || p + BlockEnd > packet->size)
        return 0;
    const uint8_t *block = packet->data + p;
    if (block[18] != BlockTag)
        return 0;
    const int type = block[19];
    if (type != 1 && type != 6)
        return 0;

    int degree = 0;
    if (type == 1) {
        degree = readLe16(block + 8);
    } else {
        const int x = readLe16(block + 8) >> 4;
        const int y = readLe16(block + 10) >> 4;
        const int z = readLe16(block + 12) >> 4;
        degree = getDegree(x, y, z);
    }

    // The demuxer may share the packet's buffer; restore into a private copy then.
    if (av_packet_make_writable(packet) == 0)
        std::memcpy(packet->data + p + 8, StandardCounts, sizeof StandardCounts);
    isHaveDegree = type == 1;
    return degree;
}

int ReadThread::getDegree(int x, int y, int z)
{
    if (x == 0 && y == 0 && z == 0)
        return 0;
    return calcDegree(x, y, z);
}

int ReadThread::calcDegree(int x, int y, int z)
{
    const int xs = toSigned12(x);
    const int zs = toSigned12(z);

    // The sensor cannot tell an angle when it lies flat on both axes; keep the last one.
    if (xs == 0 && zs == 0)
        return lastDegree;

    // The divisor is the decimal 3.14159265359, a little more than pi, and the angle is
    // truncated: exact 45 and 90 degree readings come out as 44 and 89. Both on purpose;
    // angles of the same readings must not change between versions.
    const double ratio = double(xs) / std::abs(zs);
    const int d = int(std::atan(ratio) * 180 / 3.14159265359);

    int degree;
    if (zs > 0 && xs > 0)
        degree = d;
    else if (zs > 0)
        degree = d + 360;
    else
        degree = 180 - d;

    // Readings of y in these bands are unreliable: keep the previous angle.
    if ((y > 810 && y < 1080) || (y > 2800 && y < 3200))
        return lastDegree;

    lastDegree = degree;
    return degree;
}

int ReadThread::toSigned12(int value)
{
    return value > 2048 ? value - 4096 : value;
}
