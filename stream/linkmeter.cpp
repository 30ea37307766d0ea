#include "stream/linkmeter.h"

#include <algorithm>
#include <cmath>

namespace {

const int64_t WindowUs = int64_t(LinkMeter::Seconds) * 1000000;
// How far from a whole number of intervals a step may lie: the camera stamps its frames
// with the time it took them, a little early or late.
const double StepTolerance = 0.15;
// The share of the steps an interval must fit.
const double Fitting = 0.8;
// The steps whose fractions are tried as the interval: the latest ones.
const size_t Candidates = 30;
// Times the interval is measured again about the last figure.
const int Refits = 4;

// The interval the steps show about `interval`: what those within `tolerance` of a whole
// number of it add up to over the intervals they span. Measured about a step that came
// late, it leaves out the early ones and comes out late too; measured again about its own
// figure, it settles on the middle of the steps.
double refit(double interval, const std::vector<int64_t> &steps, double tolerance)
{
    for (int round = 0; round < Refits; ++round) {
        double sum = 0, intervals = 0;
        for (int64_t step : steps) {
            const double n = std::round(double(step) / interval);
            if (n >= 1 && std::abs(double(step) / interval - n) <= tolerance) {
                sum += double(step);
                intervals += n;
            }
        }
        if (intervals == 0)
            break;
        interval = sum / intervals;
    }
    return interval;
}

double fitOf(double interval, const std::vector<int64_t> &steps)
{
    int fitting = 0;
    for (int64_t step : steps) {
        const double intervals = double(step) / interval;
        fitting += intervals >= 1 - StepTolerance && std::abs(intervals - std::round(intervals)) <= StepTolerance;
    }
    return double(fitting) / double(steps.size());
}

} // namespace

void LinkMeter::restart()
{
    arrivals.clear();
}

void LinkMeter::frame(int64_t timestamp, int64_t nowUs)
{
    while (!arrivals.empty() && arrivals.front().us <= nowUs - WindowUs)
        arrivals.pop_front();
    // A stamp that goes back belongs to no cadence of the ones before.
    if (!arrivals.empty() && timestamp <= arrivals.back().timestamp)
        arrivals.clear();
    arrivals.push_back({nowUs, timestamp});
}

// On a link that loses most frames, two in a row seldom arrive, and the steps are two,
// three or more intervals: the interval is then a half or a third of a step.
double LinkMeter::interval(std::vector<int64_t> steps)
{
    if (steps.empty())
        return 0;
    double best = 0;
    const size_t first = steps.size() > Candidates ? steps.size() - Candidates : 0;
    for (size_t i = first; i < steps.size(); ++i) {
        for (int parts = 1; parts <= 3; ++parts) {
            const double candidate = double(steps[i]) / parts;
            if (candidate > best && fitOf(candidate, steps) >= Fitting)
                best = candidate;
        }
    }
    if (best > 0)
        return refit(best, steps, StepTolerance);
    // Stamps too uneven for any interval to fit: each step is taken for the whole number of
    // intervals it is nearest to, starting from the middle step, which the steps that span
    // lost frames make too long.
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return refit(double(steps[steps.size() / 2]), steps, 0.5);
}

LinkMeter::Counts LinkMeter::lastSeconds(int64_t nowUs) const
{
    Counts counts;
    std::vector<int64_t> steps;
    int64_t first = 0, last = 0;
    for (const Arrival &arrival : arrivals) {
        if (arrival.us <= nowUs - WindowUs)
            continue;
        if (counts.received++ == 0)
            first = arrival.timestamp;
        else
            steps.push_back(arrival.timestamp - last);
        last = arrival.timestamp;
    }
    const double step = interval(steps);
    // Counted over the whole stretch, so that a frame stamped late and the next one on time
    // lose nothing.
    if (step > 0)
        counts.lost = std::max(0, int(std::llround(double(last - first) / step)) + 1 - counts.received);
    return counts;
}
