#ifndef VIEWNOTE_H
#define VIEWNOTE_H

extern "C" {
#include <libavutil/frame.h>
}

#include <optional>

// How the live view showed a picture: the camera's angle, whether it had one (the
// circular view) and whether the picture was mirrored. A recording keeps it with each
// picture, so that the replay shows the picture as it was seen.
//
// In the file it is an H.264 SEI message of the kind "user data unregistered", under a
// UUID of this program's own: other players skip it. libx264 writes it from the side data
// of the frame it encodes; FFmpeg's H.264 decoder gives it back as side data of the
// decoded frame.
struct ViewNote
{
    int degree = 0;
    bool haveDegree = false;
    bool mirrored = false;

    // Puts the note on `frame`, in place of one it had. False when out of memory.
    bool attachTo(AVFrame *frame) const;
    // The note a decoded frame carries, if any.
    static std::optional<ViewNote> of(const AVFrame *frame);

    bool operator==(const ViewNote &other) const
    {
        return degree == other.degree && haveDegree == other.haveDegree && mirrored == other.mirrored;
    }
};

#endif // VIEWNOTE_H
