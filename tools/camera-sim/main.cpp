// camera-sim: the simulated camera as a program of its own, for running the viewer
// against by hand and for the benchmarks.
#include "options.h"
#include "simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

namespace {

const char kUsage[] =
    "Usage: camera-sim [options]\n"
    "Serves a simulated inspection camera: Motion-JPEG over RTSP (RTP/JPEG, UDP or TCP).\n"
    "\n"
    "  --port N            RTSP port (default 7070; 0 picks a free one)\n"
    "  --address A         address to listen on (default 0.0.0.0)\n"
    "  --path P            mount path (default /webcam)\n"
    "  --size WxH          picture size, multiples of 8 (default 1280x960)\n"
    "  --fps N             frames per second (default 30)\n"
    "  --sampling 422|420  chroma sampling (default 422)\n"
    "  --quality Q         JPEG quality 1..100 (default 85)\n"
    "  --detailed          textured picture, like a real scene to the encoder\n"
    "  --clock             paint into each frame, right before it is encoded and sent,\n"
    "                      the time in ms (CLOCK_REALTIME, low 32 bits) as a strip of\n"
    "                      32 black/white cells at 62..70 % of the height, for\n"
    "                      measuring the delay to the screen (camsim::readClockStamp)\n"
    "  --frames N          end each client's stream after N frames (default: endless);\n"
    "                      the program exits once a client's stream has ended\n"
    "  --tilt T            tilt-sensor block in each frame:\n"
    "                        none          standard table, no block (default)\n"
    "                        angle:N       type 1, angle N\n"
    "                        sweep         type 1, angle turning by --sweep-step per frame\n"
    "                        type6:X,Y,Z   type 6, raw 12-bit readings 0..4095\n"
    "                        type6-sweep   type 6, readings of a turning angle\n"
    "                        type6-zero    type 6, all readings 0\n"
    "                        unknown       an unknown block type (3)\n"
    "                        no-tag        type 1 layout without its FE tag\n"
    "  --sweep-step D      degrees per frame for the sweeps (default 1)\n"
    "  --corrupt-every K   damage the entropy-coded data of every K-th frame\n"
    "  --stall-after N     stop sending after N frames but keep the session open, like a\n"
    "                      camera that hangs (0: answers RTSP, sends no frame at all)\n"
    "  --gap-every S       a link that drops now and then: after every S seconds of\n"
    "  --gap-length S      sending, no frame to any client for the gap's length in seconds\n"
    "                      (both or neither; counted from the start). Sessions stay open\n"
    "                      and frames that fall in a gap are skipped, not delayed\n"
    "  --drop P            a lossy link: drop P per cent (0..100, e.g. 2 or 0.5) of the\n"
    "                      RTP packets at random, each client's on its own\n"
    "  --drop-burst N      ... in runs of N packets in a row (default 1); runs start at\n"
    "                      random so that P stays the share dropped\n"
    "  --drop-frame-every K  drop one RTP packet, the middle one, of every K-th frame\n"
    "                      (frames K-1, 2K-1, ... of each client): a reader loses those\n"
    "                      frames and no others\n"
    "  --help              this text\n"
    "\n"
    "Runs until SIGINT or SIGTERM, or until a client has been sent its --frames.\n";

bool parseNumber(const char *text, long min, long max, long *value)
{
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool parsePercent(const char *text, double *value)
{
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (!*text || *end || !(v >= 0 && v <= 100))
        return false;
    *value = v;
    return true;
}

bool parseSeconds(const char *text, double *value)
{
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (!*text || *end || !std::isfinite(v) || v <= 0)
        return false;
    *value = v;
    return true;
}

int usageError(const std::string &message)
{
    std::fprintf(stderr, "camera-sim: %s\nTry camera-sim --help.\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    camsim::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--detailed") {
            options.detailed = true;
            continue;
        }
        if (arg == "--clock") {
            options.clockStamp = true;
            continue;
        }
        static const char *const valued[] = {"--port", "--address", "--path", "--size", "--fps",
                                             "--sampling", "--quality", "--frames", "--tilt",
                                             "--sweep-step", "--corrupt-every", "--stall-after",
                                             "--gap-every", "--gap-length", "--drop",
                                             "--drop-burst", "--drop-frame-every"};
        if (std::find(std::begin(valued), std::end(valued), arg) == std::end(valued))
            return usageError("unknown option " + arg);
        if (i + 1 >= argc)
            return usageError("missing value for " + arg);
        const char *value = argv[++i];
        long n = 0;
        double seconds = 0;
        std::string error;
        if (arg == "--port" && parseNumber(value, 0, 65535, &n)) {
            options.port = int(n);
        } else if (arg == "--address") {
            options.address = value;
        } else if (arg == "--path") {
            options.path = value;
        } else if (arg == "--size") {
            if (!camsim::parseSize(value, options, &error))
                return usageError(error);
        } else if (arg == "--fps" && parseNumber(value, 1, 240, &n)) {
            options.fps = int(n);
        } else if (arg == "--sampling" && (!std::strcmp(value, "422") || !std::strcmp(value, "420"))) {
            options.sampling = !std::strcmp(value, "420") ? camsim::Sampling::S420
                                                          : camsim::Sampling::S422;
        } else if (arg == "--quality" && parseNumber(value, 1, 100, &n)) {
            options.quality = int(n);
        } else if (arg == "--frames" && parseNumber(value, 0, 1L << 40, &n)) {
            options.frames = n;
        } else if (arg == "--tilt") {
            if (!camsim::parseTilt(value, options, &error))
                return usageError(error);
        } else if (arg == "--sweep-step" && parseNumber(value, -359, 359, &n)) {
            options.sweepStep = int(n);
        } else if (arg == "--corrupt-every" && parseNumber(value, 0, 1000000, &n)) {
            options.corruptEvery = int(n);
        } else if (arg == "--stall-after" && parseNumber(value, 0, 1L << 40, &n)) {
            options.stallAfter = n;
        } else if (arg == "--gap-every" && parseSeconds(value, &seconds)) {
            options.gapEvery = seconds;
        } else if (arg == "--gap-length" && parseSeconds(value, &seconds)) {
            options.gapLength = seconds;
        } else if (arg == "--drop" && parsePercent(value, &options.dropPercent)) {
        } else if (arg == "--drop-burst" && parseNumber(value, 1, 100000, &n)) {
            options.dropBurst = int(n);
        } else if (arg == "--drop-frame-every" && parseNumber(value, 0, 1000000, &n)) {
            options.dropFrameEvery = int(n);
        } else {
            return usageError("bad option or value: " + arg + " " + value);
        }
    }
    const std::string invalid = camsim::validate(options);
    if (!invalid.empty())
        return usageError(invalid);

    // Block the signals before any thread exists so that every thread inherits the mask
    // and they arrive only through sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    camsim::Simulator simulator(options);
    if (!simulator.start()) {
        std::fprintf(stderr, "camera-sim: %s\n", simulator.errorString().c_str());
        return 1;
    }
    const std::string host = options.address == "0.0.0.0" ? "127.0.0.1" : options.address;
    std::printf("camera-sim: serving %s (%dx%d %s, %d fps, quality %d%s)\n",
                simulator.url(host).c_str(), options.width, options.height,
                options.sampling == camsim::Sampling::S420 ? "4:2:0" : "4:2:2", options.fps,
                options.quality, options.detailed ? ", detailed" : "");
    if (options.gapEvery > 0) {
        // The monotonic clock's reading, so that a program watching the viewer can tell
        // when each gap falls: the k-th (from 0) begins at origin + every + k * (every + length).
        const double origin =
            std::chrono::duration<double>(simulator.startedAt().time_since_epoch()).count();
        std::printf("camera-sim: after every %g s of sending, a gap of %g s, counted from %.6f s "
                    "on the monotonic clock\n",
                    options.gapEvery, options.gapLength, origin);
    }
    if (options.dropPercent > 0)
        std::printf("camera-sim: dropping %g %% of the RTP packets at random, in runs of %d\n",
                    options.dropPercent, options.dropBurst);
    if (options.dropFrameEvery > 0)
        std::printf("camera-sim: dropping the middle RTP packet of every %d-th frame\n",
                    options.dropFrameEvery);
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    Clock::time_point endedAt{};
    for (;;) {
        const timespec tick = {0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM)
            break;
        if (simulator.streamsEnded() > 0) {
            // Give the end of stream time to reach the client (it answers with TEARDOWN,
            // which ends its pipeline) before the process goes away.
            if (endedAt == Clock::time_point{})
                endedAt = Clock::now();
            if (simulator.activeStreams() == 0 || Clock::now() - endedAt > std::chrono::seconds(2))
                break;
        }
    }
    simulator.stop();
    std::printf("camera-sim: %lld frames sent\n", static_cast<long long>(simulator.framesSent()));
    if (options.dropPercent > 0 || options.dropFrameEvery > 0) {
        const long long sent = simulator.packetsSent(), dropped = simulator.packetsDropped();
        std::printf("camera-sim: %lld of %lld RTP packets dropped (%.2f %%)\n", dropped, sent + dropped,
                    sent + dropped > 0 ? 100.0 * double(dropped) / double(sent + dropped) : 0.0);
    }
    if (options.clockStamp) {
        const camsim::Simulator::StampLead lead = simulator.stampLead();
        std::printf("camera-sim: from clock stamp to payloader (painting, encoding): median %d ms,"
                    " max %d ms over %lld frames\n",
                    lead.medianMs, lead.maxMs, static_cast<long long>(lead.frames));
    }
    return 0;
}
