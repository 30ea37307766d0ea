#include "simulator.h"

#include "frameencoder.h"
#include "framepainter.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <vector>

namespace camsim {

namespace {

using Clock = std::chrono::steady_clock;

// One client's pipeline, fed by the producer thread.
struct Feed {
    explicit Feed(GstElement *src) : appsrc(src) {}
    ~Feed() { gst_object_unref(appsrc); }
    Feed(const Feed &) = delete;
    Feed &operator=(const Feed &) = delete;

    GstElement *appsrc;
    int64_t next = 0;
    Clock::time_point due = Clock::now();
    bool ended = false;
    bool primed = false; // a frame or a gap event has gone in: the media can get ready
};

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

struct Simulator::RequestCounts {
    void add(const char *method)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++byMethod[method];
    }

    std::mutex mutex;
    std::map<std::string, int> byMethod; // guarded by mutex
};

struct Simulator::Core {
    Core(const Options &o, std::shared_ptr<RequestCounts> r)
        : options(o), requests(std::move(r)), gapEvery(seconds(o.gapEvery)),
          gapLength(seconds(o.gapLength))
    {
    }

    void produce();
    void addFeed(GstElement *appsrc, const void **key);
    void removeFeed(const void *key);
    Clock::time_point gapEnd(Clock::time_point now) const;
    void skipGap(Feed &feed, Clock::time_point end, Clock::duration period) const;

    const Options options;
    const std::shared_ptr<RequestCounts> requests; // the Simulator's, kept over restarts
    const Clock::time_point started = Clock::now(); // the scheduled gaps count from here
    const Clock::duration gapEvery;
    const Clock::duration gapLength;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::shared_ptr<Feed>> feeds; // guarded by mutex
    bool quit = false;                        // guarded by mutex
    Clock::time_point pausedUntil;            // guarded by mutex; pauseSending()
    std::atomic<int64_t> framesSent{0};
    std::atomic<int> streamsEnded{0};
    // Options::clockStamp: frames by whole milliseconds from their stamp to the payloader,
    // the last bin taking anything longer. Guarded by mutex.
    std::vector<int64_t> stampLead = std::vector<int64_t>(1000, 0);

    void notePacket(int64_t frame, bool dropped);
    std::atomic<int64_t> packetsSent{0};
    std::atomic<int64_t> packetsDropped{0};
    std::set<int64_t> framesWithDrops; // guarded by mutex; the most recent kDropRecord
    unsigned clients = 0;              // guarded by mutex; seeds each client's dropper
};

namespace {

constexpr size_t kDropRecord = 100000;

// Drops one client's RTP packets as the options say. It lives as long as the client's
// payloader, whose probes call it from the pipeline's streaming thread, one at a time:
// the payloader sends a frame's packets before it takes the next frame.
class PacketDropper
{
public:
    PacketDropper(std::shared_ptr<Simulator::Core> core, unsigned seed)
        : core_(std::move(core)), rng_(seed)
    {
        // A run of `burst` starts with this chance at a packet that is not in a run: then
        // runs take dropPercent of the packets over time.
        const double p = core_->options.dropPercent / 100.0, burst = core_->options.dropBurst;
        startChance_ = p > 0 ? p / (burst * (1 - p) + p) : 0;
    }

    void startFrame(int64_t frame)
    {
        frame_ = frame;
        packet_ = 0;
    }

    // Whether the next packet of the frame goes; `middle`: it is the frame's middle packet.
    bool dropNext(bool middle)
    {
        const Options &o = core_->options;
        bool drop = false;
        if (runLeft_ > 0) {
            --runLeft_;
            drop = true;
        } else if (startChance_ > 0 && chance_(rng_) < startChance_) {
            runLeft_ = o.dropBurst - 1;
            drop = true;
        }
        if (middle && o.dropFrameEvery > 0 && frame_ % o.dropFrameEvery == o.dropFrameEvery - 1)
            drop = true;
        core_->notePacket(frame_, drop);
        ++packet_;
        return drop;
    }

    int packetInFrame() const { return packet_; }

private:
    std::shared_ptr<Simulator::Core> core_;
    std::mt19937 rng_;
    std::uniform_real_distribution<double> chance_{0.0, 1.0};
    double startChance_ = 0;
    int runLeft_ = 0;
    int64_t frame_ = -1;
    int packet_ = 0;
};

struct DropperRef {
    std::shared_ptr<PacketDropper> dropper;
};

void releaseDropperRef(gpointer data)
{
    delete static_cast<DropperRef *>(data);
}

// A frame goes into the payloader: the producer put its number into the buffer's offset.
GstPadProbeReturn onFrameIn(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    const GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    static_cast<DropperRef *>(data)->dropper->startFrame(int64_t(GST_BUFFER_OFFSET(buffer)));
    return GST_PAD_PROBE_OK;
}

// Its packets come out: rtpjpegpay sends a frame's packets as one list, which tells where
// its middle is; should they come one by one, the frame's second packet stands for it.
GstPadProbeReturn onPacketsOut(GstPad *, GstPadProbeInfo *info, gpointer data)
{
    PacketDropper &dropper = *static_cast<DropperRef *>(data)->dropper;
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER)
        return dropper.dropNext(dropper.packetInFrame() == 1) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;

    GstBufferList *list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    const guint count = gst_buffer_list_length(list);
    std::vector<guint> dropped;
    for (guint i = 0; i < count; ++i)
        if (dropper.dropNext(i == count / 2))
            dropped.push_back(i);
    if (dropped.empty())
        return GST_PAD_PROBE_OK;
    if (dropped.size() == count)
        return GST_PAD_PROBE_DROP;
    list = gst_buffer_list_make_writable(list);
    for (auto i = dropped.rbegin(); i != dropped.rend(); ++i)
        gst_buffer_list_remove(list, *i, 1);
    GST_PAD_PROBE_INFO_DATA(info) = list;
    return GST_PAD_PROBE_OK;
}

} // namespace

void Simulator::Core::notePacket(int64_t frame, bool dropped)
{
    if (!dropped) {
        ++packetsSent;
        return;
    }
    ++packetsDropped;
    std::lock_guard<std::mutex> lock(mutex);
    framesWithDrops.insert(frame);
    if (framesWithDrops.size() > kDropRecord)
        framesWithDrops.erase(framesWithDrops.begin());
}

namespace {

// Signal handlers hold the core through a heap shared_ptr of their own, released with the
// handler, so a media that outlives the Simulator never reaches a freed core.
struct CoreRef {
    std::shared_ptr<Simulator::Core> core;
    const void *feed = nullptr;
};

void releaseCoreRef(gpointer data, GClosure *)
{
    delete static_cast<CoreRef *>(data);
}

void onMediaUnprepared(GstRTSPMedia *, gpointer data)
{
    const CoreRef *ref = static_cast<CoreRef *>(data);
    ref->core->removeFeed(ref->feed);
}

void onMediaConfigure(GstRTSPMediaFactory *, GstRTSPMedia *media, gpointer data)
{
    const CoreRef *ref = static_cast<CoreRef *>(data);
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *appsrc = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "src");
    GstElement *payloader = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "pay0");
    gst_object_unref(bin);
    if (payloader) {
        // The packets are counted whether or not any are dropped.
        unsigned seed;
        {
            std::lock_guard<std::mutex> lock(ref->core->mutex);
            seed = 0x5EED + ref->core->clients++;
        }
        auto dropper = std::make_shared<PacketDropper>(ref->core, seed);
        GstPad *in = gst_element_get_static_pad(payloader, "sink");
        GstPad *out = gst_element_get_static_pad(payloader, "src");
        gst_pad_add_probe(in, GST_PAD_PROBE_TYPE_BUFFER, onFrameIn, new DropperRef{dropper},
                          releaseDropperRef);
        gst_pad_add_probe(out, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          onPacketsOut, new DropperRef{dropper}, releaseDropperRef);
        gst_object_unref(in);
        gst_object_unref(out);
        gst_object_unref(payloader);
    }
    if (!appsrc)
        return;
    auto *unprepared = new CoreRef{ref->core, nullptr};
    ref->core->addFeed(appsrc, &unprepared->feed);
    g_signal_connect_data(media, "unprepared", G_CALLBACK(onMediaUnprepared), unprepared,
                          releaseCoreRef, GConnectFlags(0));
}

// Every request gets an answer, an error included, and each answer goes through here with
// the request it answers: one handler counts them all, whatever the method.
void onMessageSent(GstRTSPClient *, GstRTSPContext *context, GstRTSPMessage *message, gpointer data)
{
    if (!context || !context->request || message->type != GST_RTSP_MESSAGE_RESPONSE)
        return;
    GstRTSPMethod method = GST_RTSP_INVALID;
    if (gst_rtsp_message_parse_request(context->request, &method, nullptr, nullptr) != GST_RTSP_OK)
        return;
    if (const gchar *name = gst_rtsp_method_as_text(method))
        static_cast<CoreRef *>(data)->core->requests->add(name);
}

void onClientConnected(GstRTSPServer *, GstRTSPClient *client, gpointer data)
{
    const CoreRef *ref = static_cast<CoreRef *>(data);
    g_signal_connect_data(client, "send-message", G_CALLBACK(onMessageSent),
                          new CoreRef{ref->core, nullptr}, releaseCoreRef, GConnectFlags(0));
}

GstRTSPFilterResult closeClient(GstRTSPServer *, GstRTSPClient *, gpointer)
{
    return GST_RTSP_FILTER_REMOVE;
}

GstRTSPFilterResult removeSession(GstRTSPSessionPool *, GstRTSPSession *, gpointer)
{
    return GST_RTSP_FILTER_REMOVE;
}

gboolean cleanupSessions(GstRTSPSessionPool *pool, gpointer)
{
    gst_rtsp_session_pool_cleanup(pool);
    return G_SOURCE_CONTINUE;
}

bool isPlaying(GstElement *element)
{
    GST_OBJECT_LOCK(element);
    const bool playing = GST_STATE(element) == GST_STATE_PLAYING;
    GST_OBJECT_UNLOCK(element);
    return playing;
}

// A live media is ready for DESCRIBE only once something has come out of its payloader, and
// until then the server's thread, the one that answers every client, waits for it (20 s,
// then 503). In a gap a gap event gets a new client's media there without a frame.
void sendGapEvent(GstElement *appsrc)
{
    GstClockTime now = gst_element_get_current_running_time(appsrc);
    if (!GST_CLOCK_TIME_IS_VALID(now))
        now = 0;
    gst_element_send_event(appsrc, gst_event_new_gap(now, GST_CLOCK_TIME_NONE));
}

std::string launchLine(const Options &o)
{
    return "( appsrc name=src is-live=true format=time do-timestamp=true"
           " caps=\"image/jpeg,width=(int)"
           + std::to_string(o.width) + ",height=(int)" + std::to_string(o.height)
           + ",framerate=(fraction)" + std::to_string(o.fps)
           + "/1\" ! rtpjpegpay pt=26 name=pay0 )";
}

} // namespace

void Simulator::Core::addFeed(GstElement *appsrc, const void **key)
{
    auto feed = std::make_shared<Feed>(appsrc);
    *key = feed.get();
    {
        std::lock_guard<std::mutex> lock(mutex);
        feeds.push_back(std::move(feed));
    }
    wake.notify_all();
}

void Simulator::Core::removeFeed(const void *key)
{
    std::lock_guard<std::mutex> lock(mutex);
    feeds.erase(std::remove_if(feeds.begin(), feeds.end(),
                               [key](const std::shared_ptr<Feed> &f) { return f.get() == key; }),
                feeds.end());
}

// The end of the gap that `now` falls in; a time not after `now` when there is none.
// Called with mutex held.
Clock::time_point Simulator::Core::gapEnd(Clock::time_point now) const
{
    Clock::time_point end = pausedUntil;
    if (gapEvery.count() > 0) {
        const Clock::duration cycle = gapEvery + gapLength;
        const Clock::duration phase = (now - started) % cycle;
        if (phase >= gapEvery)
            end = std::max(end, now - phase + cycle);
    }
    return end;
}

// The frames due before the gap ends are never sent, so the feed's numbers go on with time.
// The last of Options::frames is kept back for after the gap: a stream that has to end
// still ends.
void Simulator::Core::skipGap(Feed &feed, Clock::time_point end, Clock::duration period) const
{
    const int64_t inGap = (end - feed.due + period - Clock::duration(1)) / period;
    const int64_t skipped = options.frames > 0 ? std::min(inGap, options.frames - 1 - feed.next) : inGap;
    feed.next += skipped;
    feed.due = skipped == inGap ? feed.due + skipped * period : end;
}

void Simulator::Core::produce()
{
    FramePainter painter(options);
    FrameEncoder encoder(options);
    const auto period = std::chrono::nanoseconds(1000000000LL / options.fps);
    const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, options.fps);
    int64_t carrierFrame = -1; // clients that started together share the work
    std::vector<uint8_t> carrier;

    std::unique_lock<std::mutex> lock(mutex);
    while (!quit) {
        std::shared_ptr<Feed> feed;
        for (const auto &f : feeds)
            if (!f->ended && (!feed || f->due < feed->due))
                feed = f;
        if (!feed) {
            wake.wait(lock);
            continue;
        }
        if (feed->due > Clock::now()) {
            wake.wait_until(lock, feed->due);
            continue;
        }
        const int64_t n = feed->next;
        if (options.stallAfter >= 0 && n >= options.stallAfter) {
            feed->ended = true; // silent from now on, session still open
            continue;
        }
        const Clock::time_point at = Clock::now();
        const Clock::time_point gapEnds = gapEnd(at);
        const bool inGap = gapEnds > at;
        if (inGap && feed->primed) {
            skipGap(*feed, gapEnds, period);
            continue;
        }
        lock.unlock();

        if (!isPlaying(feed->appsrc)) {
            // appsrc stamps a buffer with the clock's time less the element's base time; a
            // frame pushed before the pipeline first plays would carry the clock's absolute
            // time, and the sink would hold it back for as long as the clock has run.
            lock.lock();
            feed->due = Clock::now() + std::chrono::milliseconds(2);
            continue;
        }
        if (inGap) {
            sendGapEvent(feed->appsrc);
            lock.lock();
            feed->primed = true; // the next round skips the gap's frames
            continue;
        }
        // The stamp is taken as late as it can be, right before the frame is encoded; a
        // client that shares the frame with one that started with it gets the same stamp.
        uint32_t stamp = 0;
        const bool stamped = options.clockStamp && n != carrierFrame;
        if (n != carrierFrame) {
            stamp = options.clockStamp ? clockStampNow() : 0;
            carrier = carrierBuffer(encoder.encode(painter.paint(n, stamp).data(), n));
            carrierFrame = n;
        }
        GstBuffer *buffer = gst_buffer_new_memdup(carrier.data(), carrier.size());
        GST_BUFFER_DURATION(buffer) = duration;
        GST_BUFFER_OFFSET(buffer) = guint64(n); // the frame number, for the packet dropper
        const bool pushed = gst_app_src_push_buffer(GST_APP_SRC(feed->appsrc), buffer) == GST_FLOW_OK;
        const uint32_t lead = clockStampNow() - stamp;
        const bool last = options.frames > 0 && n + 1 >= options.frames;
        if (last)
            gst_app_src_end_of_stream(GST_APP_SRC(feed->appsrc));

        lock.lock();
        if (pushed)
            ++framesSent;
        if (pushed && stamped)
            ++stampLead[std::min<size_t>(lead, stampLead.size() - 1)];
        feed->primed = true;
        feed->next = n + 1;
        feed->due += period;
        // After a stall (a slow machine, a debugger) carry on at the frame rate rather than
        // sending the missed frames in a burst.
        const auto now = Clock::now();
        if (feed->due + period < now)
            feed->due = now;
        if (last) {
            feed->ended = true;
            ++streamsEnded;
        }
    }
}

Simulator::Simulator(const Options &options)
    : options_(options), requestCounts_(std::make_shared<RequestCounts>())
{
}

Simulator::~Simulator()
{
    stop();
}

std::string Simulator::url(const std::string &host) const
{
    return "rtsp://" + host + ":" + std::to_string(port_) + options_.path;
}

std::chrono::steady_clock::time_point Simulator::startedAt() const
{
    return core_ ? core_->started : Clock::time_point{};
}

int64_t Simulator::framesSent() const
{
    return core_ ? core_->framesSent.load() : 0;
}

int Simulator::streamsEnded() const
{
    return core_ ? core_->streamsEnded.load() : 0;
}

int Simulator::activeStreams() const
{
    if (!core_)
        return 0;
    std::lock_guard<std::mutex> lock(core_->mutex);
    return int(core_->feeds.size());
}

int64_t Simulator::packetsSent() const
{
    return core_ ? core_->packetsSent.load() : 0;
}

int64_t Simulator::packetsDropped() const
{
    return core_ ? core_->packetsDropped.load() : 0;
}

bool Simulator::droppedFrom(int64_t frame) const
{
    if (!core_)
        return false;
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->framesWithDrops.count(frame) > 0;
}

Simulator::StampLead Simulator::stampLead() const
{
    StampLead result;
    if (!core_)
        return result;
    std::lock_guard<std::mutex> lock(core_->mutex);
    const std::vector<int64_t> &bins = core_->stampLead;
    for (size_t ms = 0; ms < bins.size(); ++ms) {
        result.frames += bins[ms];
        if (bins[ms] > 0)
            result.maxMs = int(ms);
    }
    int64_t below = 0;
    for (size_t ms = 0; ms < bins.size() && result.frames > 0; ++ms) {
        below += bins[ms];
        if (2 * below >= result.frames) {
            result.medianMs = int(ms);
            break;
        }
    }
    return result;
}

void Simulator::pauseSending(std::chrono::milliseconds length)
{
    if (!running_)
        return;
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->pausedUntil = std::max(core_->pausedUntil, Clock::now() + length);
}

int Simulator::requests(const std::string &method) const
{
    std::lock_guard<std::mutex> lock(requestCounts_->mutex);
    const auto found = requestCounts_->byMethod.find(method);
    return found == requestCounts_->byMethod.end() ? 0 : found->second;
}

bool Simulator::start()
{
    return serve(options_.port);
}

bool Simulator::restart()
{
    const int port = port_ ? port_ : options_.port;
    stop();
    return serve(port);
}

bool Simulator::serve(int port)
{
    if (running_)
        return true;
    error_ = validate(options_);
    if (!error_.empty())
        return false;
    GError *gerror = nullptr;
    if (!gst_init_check(nullptr, nullptr, &gerror)) {
        error_ = gerror ? gerror->message : "gst_init failed";
        g_clear_error(&gerror);
        return false;
    }

    core_ = std::make_shared<Core>(options_, requestCounts_);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    server_ = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server_, options_.address.c_str());
    // The server's socket is bound with SO_REUSEADDR (g_socket_bind's allow_reuse), so the
    // connections stop() closed, left in TIME_WAIT on this port, do not keep restart() out.
    gst_rtsp_server_set_service(server_, std::to_string(port).c_str());

    GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launchLine(options_).c_str());
    gst_rtsp_media_factory_set_shared(factory, FALSE);
    g_signal_connect_data(factory, "media-configure", G_CALLBACK(onMediaConfigure),
                          new CoreRef{core_, nullptr}, releaseCoreRef, GConnectFlags(0));
    GstRTSPMountPoints *mounts = gst_rtsp_server_get_mount_points(server_);
    gst_rtsp_mount_points_add_factory(mounts, options_.path.c_str(), factory);
    g_object_unref(mounts);
    g_signal_connect_data(server_, "client-connected", G_CALLBACK(onClientConnected),
                          new CoreRef{core_, nullptr}, releaseCoreRef, GConnectFlags(0));

    // No client threads: connections are then served by the context that accepts them,
    // ours, so stop() closes them there instead of racing a pool thread that reads them.
    GstRTSPThreadPool *threads = gst_rtsp_server_get_thread_pool(server_);
    gst_rtsp_thread_pool_set_max_threads(threads, 0);
    g_object_unref(threads);

    // create_source rather than attach: it says why binding failed.
    serverSource_ = gst_rtsp_server_create_source(server_, nullptr, &gerror);
    if (!serverSource_) {
        error_ = gerror ? gerror->message : "cannot listen";
        g_clear_error(&gerror);
        release();
        return false;
    }
    g_source_attach(serverSource_, context_);
    port_ = gst_rtsp_server_get_bound_port(server_);

    // Sessions of clients that vanished without TEARDOWN expire instead of streaming on.
    GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool(server_);
    sessionWatch_ = gst_rtsp_session_pool_create_watch(pool);
    g_source_set_callback(sessionWatch_, G_SOURCE_FUNC(cleanupSessions), nullptr,
                          nullptr);
    g_source_attach(sessionWatch_, context_);
    g_object_unref(pool);

    // Thread default as well, so that sources the server's callbacks create without naming
    // a context come to this loop too.
    loopThread_ = std::thread([this] {
        g_main_context_push_thread_default(context_);
        g_main_loop_run(loop_);
        g_main_context_pop_thread_default(context_);
    });
    producerThread_ = std::thread([core = core_] { core->produce(); });
    running_ = true;
    return true;
}

void Simulator::runInLoop(void (*function)(Simulator *))
{
    struct Call {
        Simulator *self;
        void (*function)(Simulator *);
        std::promise<void> done;
    } call{this, function, {}};
    auto finished = call.done.get_future();
    g_main_context_invoke(
        context_,
        [](gpointer data) -> gboolean {
            auto *c = static_cast<Call *>(data);
            c->function(c->self);
            c->done.set_value();
            return G_SOURCE_REMOVE;
        },
        &call);
    finished.wait();
}

void Simulator::stop()
{
    if (!running_)
        return;
    // In the server's own thread: no client may come in between, and closing a client
    // touches its watch in that context.
    runInLoop([](Simulator *self) {
        GstRTSPMountPoints *mounts = gst_rtsp_server_get_mount_points(self->server_);
        gst_rtsp_mount_points_remove_factory(mounts, self->options_.path.c_str());
        g_object_unref(mounts);
        gst_rtsp_server_client_filter(self->server_, closeClient, nullptr);
        GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool(self->server_);
        g_list_free(gst_rtsp_session_pool_filter(pool, removeSession, nullptr));
        g_object_unref(pool);
        g_source_destroy(self->serverSource_);
        g_source_destroy(self->sessionWatch_);
    });
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->quit = true;
    }
    core_->wake.notify_all();
    producerThread_.join();
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->feeds.clear();
    }
    g_main_loop_quit(loop_);
    loopThread_.join();
    release();
    running_ = false;
}

void Simulator::release()
{
    if (sessionWatch_)
        g_source_unref(sessionWatch_);
    if (serverSource_)
        g_source_unref(serverSource_);
    sessionWatch_ = serverSource_ = nullptr;
    if (server_)
        g_object_unref(server_);
    server_ = nullptr;
    if (loop_)
        g_main_loop_unref(loop_);
    loop_ = nullptr;
    if (context_)
        g_main_context_unref(context_);
    context_ = nullptr;
}

} // namespace camsim
