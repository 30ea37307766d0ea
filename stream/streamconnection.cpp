#include "stream/streamconnection.h"

#include <QByteArray>
#include <QDebug>

extern "C" {
#include <libavutil/time.h>
}

namespace {

// Receive buffer of the media sockets: a 1280x960 frame arrives as a burst of a hundred
// or more datagrams.
const int SocketBufferBytes = 1024000;
// The TEARDOWN on the way out is written to the RTSP connection and not waited for; a
// camera that has gone must not hold up the stop.
const int64_t TeardownLimitUs = 200000;

} // namespace

StreamConnection::StreamConnection(const std::atomic<bool> &stopRequest)
    : stopRequest(stopRequest)
{
    avformat_network_init();
}

StreamConnection::~StreamConnection()
{
    closing = true;
    closeDeadlineUs = av_gettime_relative() + TeardownLimitUs;
    // Closing an opened input ends the RTSP session: TEARDOWN, then the sockets.
    formatCtx.reset();
    avformat_network_deinit();
}

int StreamConnection::interruptCallback(void *opaque)
{
    auto *self = static_cast<StreamConnection *>(opaque);
    const int64_t now = av_gettime_relative();
    if (self->closing)
        return now > self->closeDeadlineUs ? 1 : 0;
    if (self->stopRequest)
        return 1;
    // A packet that FFmpeg has taken from the stream since the last look is a sign of
    // life. The camera's RTCP reports are not: a camera that hangs goes on sending them.
    if (AVFormatContext *input = self->formatCtx.get()) {
        for (unsigned i = 0; i < input->nb_streams; ++i) {
            AVStream *s = input->streams[i];
            if (s->event_flags & AVSTREAM_EVENT_FLAG_NEW_PACKETS) {
                s->event_flags &= ~AVSTREAM_EVENT_FLAG_NEW_PACKETS;
                self->lastDataUs = now;
            }
        }
    }
    return now - self->lastDataUs > self->silenceLimitUs ? 1 : 0;
}

namespace {

// The RTSP input's options for the camera.
AVDictionary *cameraOptions()
{
    AVDictionary *options = nullptr;
    av_dict_set_int(&options, "buffer_size", SocketBufferBytes, 0);
    av_dict_set(&options, "rtsp_transport", "udp", 0);
    // Socket time-out in microseconds, for connecting and for the RTSP exchange.
    av_dict_set_int(&options, "timeout", StreamConnection::CameraSilenceUs, 0);
    // RTP packets are handled as they arrive, none held back to wait for a missing one: a
    // camera on a direct Wi-Fi link hardly ever reorders them, so a packet that is missing
    // is lost. That costs the picture it belongs to, which cannot be decoded anyway, and
    // nothing more; a reordering queue would hold every later picture back for its
    // 100 ms each time.
    av_dict_set(&options, "reorder_queue_size", "0", 0);
    // Only the camera the session was set up with is heard: the video sockets are connected
    // to the ports the camera named, so the system drops whatever anyone else on its open
    // Wi-Fi sends to them before FFmpeg sees it. A stranger can neither blank the picture
    // nor slip pictures of their own into it, nor into a recording.
    av_dict_set(&options, "rtsp_flags", "filter_src", 0);
    return options;
}

} // namespace

std::unique_ptr<StreamConnection> StreamConnection::open(const QString &url, const std::atomic<bool> &stopRequest,
                                                         int64_t answerLimitUs, Failure *failure)
{
    Failure dummy;
    Failure &failed = failure ? *failure : dummy;
    failed = Failure::NoAnswer;
    std::unique_ptr<StreamConnection> connection(new StreamConnection(stopRequest));
    AVFormatContext *input = avformat_alloc_context();
    if (!input) {
        qDebug() << "打开视频流失败";
        return nullptr;
    }
    input->interrupt_callback.callback = &StreamConnection::interruptCallback;
    input->interrupt_callback.opaque = connection.get();
    // Stream probing would otherwise read some twenty frames to estimate the frame rate,
    // which nothing here needs: at 30 fps that holds the window for most of a second, at
    // a low frame rate for many. One decoded frame tells the picture size.
    input->fps_probe_size = 0;

    AVDictionary *options = cameraOptions();

    connection->lastDataUs = av_gettime_relative();
    connection->silenceLimitUs = answerLimitUs;
    // On failure avformat_open_input frees the context it was given and nulls the pointer.
    int ret = avformat_open_input(&input, url.toUtf8().constData(), nullptr, &options);
    av_dict_free(&options);
    if (ret < 0) {
        qDebug() << "打开视频流失败";
        return nullptr;
    }
    connection->formatCtx.reset(input);

    // The camera's answer was its last sign of life; from now on it owes pictures.
    failed = Failure::NoPicture;
    connection->lastDataUs = av_gettime_relative();
    connection->silenceLimitUs = CameraSilenceUs;
    if (!connection->findVideo())
        return nullptr;
    failed = Failure::NoDecoder;
    connection->codecCtx = av::openDecoder(connection->stream);
    if (!connection->codecCtx)
        return nullptr;
    connection->decoderFrameRate = connection->codecCtx->framerate;

    qDebug() << "初始化视频流成功";
    return connection;
}

// The camera's video stream, once probing has seen a picture of it; false, after the line
// that says why, when there is none.
bool StreamConnection::findVideo()
{
    streamIndex = av::probeVideoStream(formatCtx.get());
    if (streamIndex < 0)
        return false;
    // Probing that the camera's silence broke off reports success all the same, with a
    // stream it knows nothing of: no picture has come, so the camera is not back.
    const AVCodecParameters *found = formatCtx->streams[streamIndex]->codecpar;
    if (found->width <= 0 || found->height <= 0) {
        qDebug() << "获取视频流信息失败";
        return false;
    }
    stream = formatCtx->streams[streamIndex];
    return true;
}

int StreamConnection::read(AVPacket *packet)
{
    const int ret = av_read_frame(formatCtx.get(), packet);
    if (ret >= 0)
        lastDataUs = av_gettime_relative();
    return ret;
}

namespace {

// A frame rate a camera can have. Without frame-rate probing at open (which would hold
// the window for twenty frames) FFmpeg's guess for an RTSP stream is its 90 kHz clock.
bool usable(AVRational rate)
{
    return rate.num > 0 && rate.den > 0 && av_q2d(rate) <= 240;
}

} // namespace

AVRational StreamConnection::frameRate() const
{
    for (AVRational rate : {decoderFrameRate, stream->avg_frame_rate, stream->r_frame_rate}) {
        if (usable(rate))
            return rate;
    }
    return AVRational{0, 1};
}
