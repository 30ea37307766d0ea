#ifndef LINKMETER_H
#define LINKMETER_H

#include <cstdint>
#include <deque>

// Counts the camera's frames that arrive and those lost on the way, over the last ten
// seconds. A lost frame leaves a gap in the frames' RTP timestamps: the camera stamps each
// frame with its own clock, about one frame interval after the one before, whether or not
// the frame reaches the PC. The interval is learnt from the stream itself (an RTSP camera
// need not announce its frame rate), and the gaps of the last ten seconds are judged by
// what is known of it now.
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

private:
    void learn(double step);

    struct Arrival
    {
        int64_t us;
        int64_t step; // since the frame before; 0 for a session's first
    };
    std::deque<Arrival> arrivals; // of the last Seconds seconds
    int64_t lastTimestamp = INT64_MIN;
    double interval = 0; // between two frames, in the timestamps' units
};

#endif // LINKMETER_H
