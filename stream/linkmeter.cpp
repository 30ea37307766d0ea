#include "stream/linkmeter.h"

#include <algorithm>
#include <cmath>

namespace {

// How far from a whole number of intervals a step may lie: the camera stamps its frames
// with the time it took them, a little early or late.
const double StepTolerance = 0.2;
// Steps longer than this many intervals are too long to tell the interval by.
const double LongestTelling = 4.5;

const int64_t WindowUs = int64_t(LinkMeter::Seconds) * 1000000;

double offWhole(double intervals)
{
    return std::abs(intervals - std::round(intervals));
}

} // namespace

void LinkMeter::restart()
{
    arrivals.clear();
    lastTimestamp = INT64_MIN;
    interval = 0;
}

void LinkMeter::frame(int64_t timestamp, int64_t nowUs)
{
    while (!arrivals.empty() && arrivals.front().us <= nowUs - WindowUs)
        arrivals.pop_front();
    const bool follows = lastTimestamp != INT64_MIN && timestamp > lastTimestamp;
    const int64_t step = follows ? timestamp - lastTimestamp : 0;
    lastTimestamp = timestamp;
    arrivals.push_back({nowUs, step});
    if (follows)
        learn(double(step));
}

// The interval starts as the first step and follows the steps that fit it, averaged over
// the camera's uneven stamps. A step much shorter is the interval. On a link that loses
// most frames, two in a row seldom arrive, and the first steps may all be two intervals or
// more; a step that is no whole number of them, as three intervals are to two, gives the
// interval away. (Nothing tells a camera that loses every other frame from one at half the
// frame rate; the counts start anew with each session.)
void LinkMeter::learn(double step)
{
    if (interval <= 0 || step < interval * (1 - StepTolerance)) {
        interval = step;
        return;
    }
    const double intervals = step / interval;
    if (offWhole(intervals) <= StepTolerance) {
        interval += (step / std::round(intervals) - interval) / 8;
        return;
    }
    if (intervals > LongestTelling)
        return;
    for (int parts = 2; parts <= 3; ++parts) {
        const double shorter = step / (interval / parts);
        if (offWhole(shorter) <= StepTolerance) {
            interval = step / std::round(shorter);
            return;
        }
    }
}

LinkMeter::Counts LinkMeter::lastSeconds(int64_t nowUs) const
{
    Counts total;
    for (const Arrival &arrival : arrivals) {
        if (arrival.us <= nowUs - WindowUs)
            continue;
        ++total.received;
        // A step of about n intervals has n - 1 frames missing from it.
        if (arrival.step > 0 && interval > 0)
            total.lost += int(std::max<int64_t>(0, std::llround(double(arrival.step) / interval) - 1));
    }
    return total;
}
