// libFuzzer target: arbitrary bytes as one video packet through ReadThread::getPacketDegree.
//
// Besides the sanitizers (the packet's bytes sit in an allocation of exactly their size, so
// any read past the end is an ASan report), every input is checked against what the block
// reader promises the decoder and the window, and a broken promise aborts:
//   - the packet keeps its size, and no byte outside +8..+19 of the second FF C4 changes;
//   - those twelve bytes change only for a block tagged FE with type 1 or 6, and then they
//     become the standard code counts (a block that qualifies is always restored);
//   - isHaveDegree is set only by a type-1 block, which returns its 16-bit angle;
//   - type-6 readings give an angle in 0..360, and so does the angle kept for the next frame;
//   - a packet whose buffer is shared is restored in a private copy: the other holder's
//     bytes stay as they were.

#include "stream/readthread.h"
#include "tests/support/fuzzcheck.h"
#include "tests/support/readthreadaccess.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern const char FuzzTargetName[] = "fuzz_orientation";

namespace {

const uint8_t StandardCounts[12] = {0x03, 0x03, 0x02, 0x04, 0x03, 0x05, 0x05, 0x04, 0x04, 0x00, 0x00, 0x01};



long secondMarker(const std::vector<uint8_t> &bytes)
{
    int seen = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC4 && ++seen == 2)
            return long(i);
    }
    return -1;
}

struct Expectation
{
    bool block = false; // a block that must be restored
    int type = 0;
    long origin = -1; // the second marker
};

Expectation expectationFor(const std::vector<uint8_t> &bytes)
{
    Expectation e;
    e.origin = secondMarker(bytes);
    if (e.origin < 0 || size_t(e.origin) + 20 > bytes.size())
        return e;
    const uint8_t *b = bytes.data() + e.origin;
    e.type = b[19];
    e.block = b[18] == 0xFE && (e.type == 1 || e.type == 6);
    return e;
}

void checkBytes(const std::vector<uint8_t> &before, const AVPacket *packet, const Expectation &e,
                const char *changed)
{
    check(size_t(packet->size) == before.size(), "the packet's size changed");
    if (before.empty())
        return;
    const uint8_t *after = packet->data;
    for (size_t i = 0; i < before.size(); ++i) {
        const bool inBlock = e.block && long(i) >= e.origin + 8 && long(i) < e.origin + 20;
        if (inBlock)
            check(after[i] == StandardCounts[i - size_t(e.origin) - 8], "block bytes not the standard counts");
        else if (after[i] != before[i])
            fail(changed);
    }
}

void checkResult(ReadThread &reader, int degree, const std::vector<uint8_t> &before, const Expectation &e)
{
    const bool haveDegree = ReadThreadTestAccess::isHaveDegree(reader);
    if (!e.block) {
        check(degree == 0, "an angle without a block");
        check(!haveDegree, "isHaveDegree without a block");
    } else if (e.type == 1) {
        const uint8_t *b = before.data() + e.origin;
        check(haveDegree, "a type-1 block without isHaveDegree");
        check(degree == (b[8] | (b[9] << 8)), "a type-1 angle other than the one sent");
    } else {
        check(!haveDegree, "isHaveDegree for a type-6 block");
        check(degree >= 0 && degree <= 360, "a type-6 angle outside 0..360");
    }
    const int kept = ReadThreadTestAccess::lastDegree(reader);
    check(kept >= 0 && kept <= 360, "the kept angle left 0..360");
}

void releaseBytes(void *, uint8_t *data)
{
    std::free(data);
}

// A refcounted packet over exactly `bytes`, no padding: the scan must stay inside.
av::PacketPtr exactPacket(const std::vector<uint8_t> &bytes)
{
    av::PacketPtr packet(av_packet_alloc());
    if (!packet)
        fail("out of memory");
    if (bytes.empty())
        return packet;
    auto *data = static_cast<uint8_t *>(std::malloc(bytes.size()));
    if (!data)
        fail("out of memory");
    std::memcpy(data, bytes.data(), bytes.size());
    packet->buf = av_buffer_create(data, bytes.size(), &releaseBytes, nullptr, 0);
    if (!packet->buf)
        fail("out of memory");
    packet->data = data;
    packet->size = int(bytes.size());
    return packet;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 20)
        return -1;
    // One reader for the whole run, as the live loop has: the kept angle carries over.
    static ReadThread reader;

    const std::vector<uint8_t> before(data, data + size);
    const Expectation e = expectationFor(before);

    // Sole owner: restored in place.
    av::PacketPtr packet = exactPacket(before);
    ReadThreadTestAccess::setHaveDegree(reader, true);
    int degree = reader.getPacketDegree(packet.get());
    checkResult(reader, degree, before, e);
    checkBytes(before, packet.get(), e, "a byte outside a restored block changed");

    // The same bytes shared with another holder, as a demuxer may hand them over.
    av::PacketPtr holder = exactPacket(before);
    av::PacketPtr shared(av_packet_clone(holder.get()));
    if (!shared)
        fail("out of memory");
    ReadThreadTestAccess::setHaveDegree(reader, true);
    degree = reader.getPacketDegree(shared.get());
    checkResult(reader, degree, before, e);
    checkBytes(before, shared.get(), e, "a byte outside a restored block changed (shared packet)");
    checkBytes(before, holder.get(), Expectation(), "the other holder of a shared packet saw a change");
    return 0;
}
