#include "playback/playbackthread.h"

#include "media/viewnote.h"

#include <QDebug>

#include <algorithm>
#include <utility>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/time.h>
}

namespace {

// A picture due this much ago or longer is shown at once, and the clock goes on from it:
// after a stall (a machine that fell behind, a file on a slow share) the replay slows down
// rather than rushing through the pictures it missed.
const int64_t MaxLateUs = 250000;

} // namespace

PlayBackThread::PlayBackThread(QObject *parent)
    : QThread(parent)
    , formatCtx(avformat_alloc_context())
    , packet(av_packet_alloc())
    , stillConverter(SWS_BICUBIC)
{
    setObjectName(QStringLiteral("replay"));
    qRegisterMetaType<PlayBackThread::Position>();
    qRegisterMetaType<PlayBackThread::Failure>();
    connect(&mailbox, &FrameMailbox::delivered, this, &PlayBackThread::getImage);
}

PlayBackThread::~PlayBackThread()
{
    // The owner stops the replay first; a thread that outlived its owner's wait is
    // finished here rather than destroyed while it runs.
    if (isRunning()) {
        stopPlay();
        wait();
    }
}

void PlayBackThread::setFile(const QString &fileName)
{
    this->fileName = fileName;
}

bool PlayBackThread::openFile(const QString &fileName)
{
    failed = Failure::CannotOpen;
    AVFormatContext *input = formatCtx.release();
    // A file on a share that has gone blocks in its reads; a stop breaks them off.
    if (input)
        input->interrupt_callback = {[](void *self) { return int(static_cast<PlayBackThread *>(self)->stopRequested.load()); }, this};
    if (!input || avformat_open_input(&input, fileName.toUtf8().constData(), nullptr, nullptr) < 0) {
        qDebug() << "打开视频流失败";
        return false;
    }
    formatCtx.reset(input);

    bool probed = false;
    videoStreamIndex = av::probeVideoStream(formatCtx.get(), &probed);
    if (videoStreamIndex < 0) {
        if (probed)
            failed = Failure::NoVideo;
        return false;
    }
    const AVStream *stream = formatCtx->streams[videoStreamIndex];
    // Every thread the machine has: a seek decodes up to a second of pictures at once.
    codecCtx = av::openDecoder(stream, 0);
    if (!codecCtx || !packet) {
        failed = Failure::CannotDecode;
        return false;
    }
    timeBase = stream->time_base;
    startTs = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    // What the file says, where it says something that fits in microseconds (a damaged
    // header may not); pictures shown past it make it longer.
    durationUs = stream->duration > 0 ? av_rescale_q(stream->duration, timeBase, AV_TIME_BASE_Q) : 0;
    if (durationUs <= 0)
        durationUs = std::max<int64_t>(formatCtx->duration, 0);
    // Streams other than the one shown are never read.
    for (unsigned i = 0; i < formatCtx->nb_streams; ++i) {
        if (int(i) != videoStreamIndex)
            formatCtx->streams[i]->discard = AVDISCARD_ALL;
    }

    isOpen = true;
    qDebug() << "初始化视频流成功";
    return true;
}

void PlayBackThread::stopPlay()
{
    QMutexLocker locker(&mutex);
    stopRequested = true;
    commanded.wakeAll();
}

void PlayBackThread::command(const std::function<void(Commands &)> &change)
{
    QMutexLocker locker(&mutex);
    change(commands);
    hasCommands = true;
    commanded.wakeAll();
}

void PlayBackThread::setPictureSizes(const QSize &plain, const QSize &circular)
{
    {
        QMutexLocker locker(&mutex);
        plainSize = plain;
        circularSize = circular;
    }
    // A paused picture is shown again at the new size.
    command([](Commands &c) { c.resize = true; });
}

void PlayBackThread::togglePause()
{
    command([](Commands &c) { c.togglePause = !c.togglePause; });
}

void PlayBackThread::seekTo(int64_t us)
{
    // A later seek replaces one that has not been made yet.
    command([us](Commands &c) {
        c.seek = true;
        c.seekTo = std::max<int64_t>(0, us);
        c.seekBy = 0;
        c.steps = 0;
    });
}

void PlayBackThread::seekBy(int64_t us)
{
    command([us](Commands &c) {
        c.seek = true;
        c.seekBy += us;
    });
}

void PlayBackThread::step(int pictures)
{
    command([pictures](Commands &c) { c.steps += pictures; });
}

void PlayBackThread::setSpeed(double speed)
{
    if (speed > 0)
        command([speed](Commands &c) { c.speed = speed; });
}

void PlayBackThread::requestStill()
{
    command([](Commands &c) { c.still = true; });
}

void PlayBackThread::run()
{
    if (!isOpen && !openFile(fileName)) {
        emit openFailed(failed);
        return;
    }
    emit opened();

    QMutexLocker locker(&mutex);
    while (!stopRequested) {
        if (hasCommands) {
            const Commands taken = std::exchange(commands, Commands());
            hasCommands = false;
            locker.unlock();
            apply(taken);
            locker.relock();
            continue;
        }
        if (paused || ended) {
            commanded.wait(&mutex);
            continue;
        }
        if (!next) {
            locker.unlock();
            if (!decodeNext(next)) {
                ended = true;
                tellPosition();
            }
            locker.relock();
            continue;
        }
        const int64_t now = av_gettime_relative();
        if (anchorUs < 0) {
            anchorUs = timeOf(next.get());
            anchorWallUs = now;
        }
        const int64_t dueUs = anchorWallUs + int64_t(double(timeOf(next.get()) - anchorUs) / speed);
        if (dueUs > now) {
            commanded.wait(&mutex, QDeadlineTimer((dueUs - now + 999) / 1000, Qt::PreciseTimer));
            continue;
        }
        locker.unlock();
        showNext(now - dueUs);
        locker.relock();
    }
}

void PlayBackThread::apply(const Commands &c)
{
    bool changed = false;
    if (c.speed > 0 && c.speed != speed) {
        speed = c.speed;
        restartClock();
        changed = true;
    }
    if (c.togglePause) {
        paused = !paused;
        // Resumed at the end, the replay starts again.
        if (!paused && ended)
            seek(0);
        restartClock();
        changed = true;
    }
    if (c.seek) {
        seek((c.seekTo >= 0 ? c.seekTo : std::max<int64_t>(shownUs, 0)) + c.seekBy);
        changed = false; // told by seek()
    }
    for (int i = 0; i < c.steps && !stopRequested; ++i)
        stepForward();
    // One back is a seek to just before the picture shown, which then shows the one before.
    for (int i = 0; i > c.steps && !stopRequested && shownUs > 0; --i)
        seek(shownUs - 1);
    if (c.steps != 0) {
        paused = true;
        changed = true;
    }
    if (c.resize && shown && (paused || ended))
        present(shown.get());
    if (c.still) {
        stillWanted = true;
        if (shown)
            sendStill();
    }
    if (changed)
        tellPosition();
}

// The decoder's next picture in presentation order. Every picture it has ready is taken
// before the next packet goes in, and at the end of the file it is drained, so that a
// decoder that holds pictures back (B-frames) gives every one of them. False at the end,
// or where the file can be read no further.
bool PlayBackThread::decodeNext(av::FramePtr &picture)
{
    av::FramePtr frame(av_frame_alloc());
    if (!frame)
        return false;
    while (!stopRequested) {
        int ret = avcodec_receive_frame(codecCtx.get(), frame.get());
        if (ret >= 0) {
            picture = std::move(frame);
            return true;
        }
        if (ret == AVERROR_EOF) {
            qDebug() << "avcodec_receive_frame error AVERROR_EOF" << ret;
            return false;
        }
        if (ret != AVERROR(EAGAIN))
            qDebug() << "avcodec_receive_frame" << ret;
        if (drained)
            return false;

        // The decoder wants the next packet; after the last one, the flush packet. A file
        // damaged or cut off ends where it can no longer be read.
        ret = av_read_frame(formatCtx.get(), packet.get());
        if (ret < 0) {
            qDebug() << "av_read_frame" << ret;
            avcodec_send_packet(codecCtx.get(), nullptr);
            drained = true;
            continue;
        }
        if (packet->stream_index == videoStreamIndex) {
            ret = avcodec_send_packet(codecCtx.get(), packet.get());
            if (ret < 0)
                qDebug() << "avcodec_send_packet error" << ret;
        }
        av_packet_unref(packet.get());
    }
    return false;
}

int64_t PlayBackThread::timeOf(const AVFrame *picture) const
{
    int64_t ts = picture->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE)
        ts = picture->pts;
    if (ts == AV_NOPTS_VALUE)
        return std::max<int64_t>(shownUs, 0);
    // Saturating: a damaged file's timestamps may lie anywhere.
    return av_rescale_q(av_sat_sub64(ts, startTs), timeBase, AV_TIME_BASE_Q);
}

// Shows the picture of `targetUs`: the last one that begins at or before it. The file is
// read from the key picture before it, and the pictures between are decoded, not shown.
void PlayBackThread::seek(int64_t targetUs)
{
    targetUs = std::max<int64_t>(0, durationUs > 0 ? std::min(targetUs, durationUs) : targetUs);
    const int64_t ts = av_sat_add64(startTs, av_rescale_q(targetUs, AV_TIME_BASE_Q, timeBase));
    int ret = av_seek_frame(formatCtx.get(), videoStreamIndex, ts, AVSEEK_FLAG_BACKWARD);
    if (ret < 0) // before the first key picture: the nearest one
        ret = avformat_seek_file(formatCtx.get(), videoStreamIndex, INT64_MIN, ts, INT64_MAX, 0);
    if (ret < 0) {
        qDebug() << "av_seek_frame" << ret;
        tellPosition(); // still where it was
        return;
    }
    avcodec_flush_buffers(codecCtx.get());
    drained = false;
    next.reset();

    av::FramePtr best, picture;
    while (decodeNext(picture)) {
        const int64_t t = timeOf(picture.get());
        if (t > targetUs && best) {
            next = std::move(picture);
            break;
        }
        best = std::move(picture);
        if (t >= targetUs)
            break;
    }
    ended = !next && drained;
    if (best) {
        shown = std::move(best);
        shownUs = timeOf(shown.get());
        present(shown.get());
    }
    restartClock();
    tellPosition();
}

void PlayBackThread::stepForward()
{
    if (!next && !decodeNext(next)) {
        ended = true;
        return;
    }
    shown = std::move(next);
    shownUs = timeOf(shown.get());
    present(shown.get());
}

void PlayBackThread::showNext(int64_t lateUs)
{
    shown = std::move(next);
    shownUs = timeOf(shown.get());
    present(shown.get());
    if (lateUs > MaxLateUs)
        restartClock();
    tellPosition();
}

// The clock goes on from the picture shown.
void PlayBackThread::restartClock()
{
    anchorUs = shownUs;
    anchorWallUs = av_gettime_relative();
}

void PlayBackThread::present(const AVFrame *picture)
{
    const std::optional<ViewNote> note = ViewNote::of(picture);
    QSize size;
    {
        QMutexLocker locker(&mutex);
        size = note && note->haveDegree ? circularSize : plainSize;
    }
    if (size.isEmpty())
        size = QSize(picture->width, picture->height);
    const QImage image = converter.convert(picture, size);
    if (image.isNull())
        return;
    if (note)
        mailbox.post(image, note->degree, note->haveDegree, note->mirrored, true);
    else
        mailbox.post(image, 0, false, false, false);
    if (stillWanted && picture == shown.get())
        sendStill();
}

// The picture shown, as the file holds it; asked for before the first picture, the first.
void PlayBackThread::sendStill()
{
    stillWanted = false;
    const QImage image = stillConverter.convert(shown.get(), QSize(shown->width, shown->height));
    if (!image.isNull())
        emit still(image);
}

void PlayBackThread::tellPosition()
{
    if (durationUs > 0 && shownUs > durationUs)
        durationUs = shownUs;
    emit positionChanged({std::max<int64_t>(shownUs, 0), durationUs, paused, ended, speed});
}
