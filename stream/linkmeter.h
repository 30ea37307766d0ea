#ifndef LINKMETER_H
#define LINKMETER_H

#include <cstdint>
#include <deque>
#include <vector>

// Counts the camera's frames that arrive and those lost on the way, over the last ten
// seconds. The camera stamps each frame with its own clock, about one frame interval after
// the one before, whether or not the frame reaches the PC: the frames that should have
// come between the first and the last of the last ten seconds are their time apart over
// the interval, and those that did not come were lost. The interval is learnt from the
// stream itself (an RTSP camera need not announce its frame rate).
class LinkMeter
{
public:
    static constexpr int Seconds = 10;

    // A frame with `timestamp` (in the stream's time base) arrived at `nowUs`.
    void frame(int64_t timestamp, int64_t nowUs);
    // The next frame comes from a new session, on a clock of its own: the counts start anew.
    void restart();

    struct Counts
    {
        int received = 0;
        int lost = 0;
    };
    // The frames of the last Seconds seconds before `nowUs`.
    Counts lastSeconds(int64_t nowUs) const;

    // The frame interval that steps between frames show: the longest one that nearly all
    // of them are a whole number of, or, where none is, the middle step.
    static double interval(std::vector<int64_t> steps);

private:
    struct Arrival
    {
        int64_t us;
        int64_t timestamp;
    };
    std::deque<Arrival> arrivals; // of the last Seconds seconds, their timestamps rising
};

#endif // LINKMETER_H
