#include "media/viewnote.h"

#include <cstdint>
#include <cstring>

namespace {

// The message's UUID, then a version byte, a flags byte and the angle, little-endian.
const uint8_t NoteUuid[16] = {0x6c, 0x0e, 0x59, 0x3a, 0x9d, 0x41, 0x4f, 0x27,
                              0xb5, 0x8e, 0x2a, 0x71, 0xc4, 0x03, 0xd6, 0x5f};
const uint8_t NoteVersion = 1;
enum : uint8_t { HaveDegree = 1, Mirrored = 2 };
const int NoteSize = 16 + 2 + 4;

} // namespace

bool ViewNote::attachTo(AVFrame *frame) const
{
    av_frame_remove_side_data(frame, AV_FRAME_DATA_SEI_UNREGISTERED);
    AVFrameSideData *data = av_frame_new_side_data(frame, AV_FRAME_DATA_SEI_UNREGISTERED, NoteSize);
    if (!data)
        return false;
    uint8_t *p = data->data;
    std::memcpy(p, NoteUuid, 16);
    p[16] = NoteVersion;
    p[17] = (haveDegree ? HaveDegree : 0) | (mirrored ? Mirrored : 0);
    const uint32_t angle = uint32_t(degree);
    for (int i = 0; i < 4; ++i)
        p[18 + i] = uint8_t(angle >> (8 * i));
    return true;
}

std::optional<ViewNote> ViewNote::of(const AVFrame *frame)
{
    // A stream may carry other such messages (x264 puts its settings in one).
    for (int i = 0; i < frame->nb_side_data; ++i) {
        const AVFrameSideData *data = frame->side_data[i];
        if (data->type != AV_FRAME_DATA_SEI_UNREGISTERED || data->size < size_t(NoteSize)
            || std::memcmp(data->data, NoteUuid, 16) != 0 || data->data[16] != NoteVersion)
            continue;
        const uint8_t *p = data->data;
        uint32_t angle = 0;
        for (int b = 0; b < 4; ++b)
            angle |= uint32_t(p[18 + b]) << (8 * b);
        ViewNote note;
        note.degree = int32_t(angle);
        note.haveDegree = p[17] & HaveDegree;
        note.mirrored = p[17] & Mirrored;
        return note;
    }
    return std::nullopt;
}
