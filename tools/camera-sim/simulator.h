// The simulated camera: an RTSP server (gst-rtsp-server) that streams the camera's
// JPEG frames as RTP/JPEG (payload type 26) at rtsp://address:port/path.
#pragma once

#include "options.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _GSource GSource;
typedef struct _GstRTSPServer GstRTSPServer;

namespace camsim {

// Every client gets a pipeline of its own, so its frames are numbered from 0. The server
// runs a GLib main loop with its own GMainContext on a thread of its own, and frames are
// made on another, so the simulator works inside any program, a Qt test included.
class Simulator
{
public:
    explicit Simulator(const Options &options = Options());
    ~Simulator(); // stops
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Binds the port and starts serving. False, with errorString() set, if the options are
    // invalid or the port cannot be bound. A stopped simulator can be started again.
    bool start();

    // Closes every client connection and session (a reading client sees its connection
    // end at once), then the server itself. Safe to call when not running.
    void stop();

    // The server goes away and comes back on the same port, its sessions lost: stop(), then
    // start() on port() (Options::port if it never ran), also when that port was picked free.
    bool restart();

    // The camera's link drops for `length` from now: no client is sent a frame, not even
    // one that connects meanwhile. Frames that fall in the gap are skipped, not delayed, so
    // a client's frame numbers jump by about length * fps. Sessions stay open and RTSP
    // requests are answered throughout. A gap under way is only ever made longer. Any
    // thread; ignored unless running, and stop() ends it.
    void pauseSending(std::chrono::milliseconds length);

    bool isRunning() const { return running_; }
    int port() const { return port_; } // the bound port, also when Options::port was 0
    std::string url(const std::string &host = "127.0.0.1") const;
    const std::string &errorString() const { return error_; }
    const Options &options() const { return options_; }

    // When the server last began serving, on the steady clock: the scheduled gaps of
    // Options::gapEvery count from here. On Linux that clock is CLOCK_MONOTONIC, the same in
    // every process, so another program can tell when the gaps fall. Epoch when never run.
    std::chrono::steady_clock::time_point startedAt() const;

    // Over all clients since start().
    int64_t framesSent() const;
    int streamsEnded() const; // clients whose Options::frames have all been sent
    int activeStreams() const; // client pipelines currently fed

    // RTP packets over all clients since start(): those sent, and those the drop options
    // dropped (Options::dropPercent, dropFrameEvery). Any thread.
    int64_t packetsSent() const;
    int64_t packetsDropped() const;
    // Whether a packet of frame n was dropped, for any client; the most recent 100000 such
    // frames are remembered. Any thread.
    bool droppedFrom(int64_t frame) const;

    // Options::clockStamp: how long after its stamp a frame was handed to the RTP payloader,
    // that is the time it took to paint and encode, over the frames sent since start();
    // whole milliseconds, the maximum at most 999. Any thread.
    struct StampLead {
        int64_t frames = 0;
        int medianMs = 0;
        int maxMs = 0;
    };
    StampLead stampLead() const;

    // RTSP requests with this method ("OPTIONS", "DESCRIBE", "SETUP", "PLAY", "TEARDOWN",
    // "GET_PARAMETER", ...) received since construction, over every start(). Any thread.
    int requests(const std::string &method) const;

    struct Core;
    struct RequestCounts;

private:
    bool serve(int port);
    void runInLoop(void (*function)(Simulator *));
    void release();

    Options options_;
    std::string error_;
    bool running_ = false;
    int port_ = 0;
    std::shared_ptr<Core> core_;
    std::shared_ptr<RequestCounts> requestCounts_;
    GMainContext *context_ = nullptr;
    GMainLoop *loop_ = nullptr;
    GstRTSPServer *server_ = nullptr;
    GSource *serverSource_ = nullptr;
    GSource *sessionWatch_ = nullptr;
    std::thread loopThread_;
    std::thread producerThread_;
};

} // namespace camsim
