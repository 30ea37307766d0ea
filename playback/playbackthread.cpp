#include "playback/playbackthread.h"

#include <QDebug>

namespace {

// The replay's fixed pace: one picture every 40 ms.
const unsigned long PictureIntervalMs = 40;

} // namespace

PlayBackThread::PlayBackThread(QObject *parent)
    : QThread(parent)
    , formatCtx(avformat_alloc_context())
    , frame(av_frame_alloc())
{
    setObjectName(QStringLiteral("replay"));
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

bool PlayBackThread::openFile(const QString &fileName)
{
    AVFormatContext *input = formatCtx.release();
    if (avformat_open_input(&input, fileName.toUtf8().constData(), nullptr, nullptr) < 0) {
        qDebug() << "打开视频流失败";
        return false;
    }
    formatCtx.reset(input);

    if (avformat_find_stream_info(formatCtx.get(), nullptr) < 0) {
        qDebug() << "获取视频流信息失败";
        return false;
    }
    videoStreamIndex = av::findVideoStream(formatCtx.get());
    if (videoStreamIndex < 0) {
        qDebug() << "获取视频流索引失败";
        return false;
    }
    codecCtx = av::openDecoder(formatCtx->streams[videoStreamIndex]);
    if (!codecCtx || !frame)
        return false;
    {
        QMutexLocker locker(&sizeMutex);
        if (pictureSize.isEmpty())
            pictureSize = QSize(codecCtx->width, codecCtx->height);
    }

    qDebug() << "初始化视频流成功";
    return true;
}

void PlayBackThread::stopPlay()
{
    stopRequested = true;
}

void PlayBackThread::setPictureSize(const QSize &size)
{
    QMutexLocker locker(&sizeMutex);
    pictureSize = size;
}

// Decodes the file as FFmpeg's decoders expect it: every picture the decoder has ready is
// taken before the next packet goes in, and at the end of the file the decoder is drained,
// so that a decoder that holds pictures back (B-frames) gives every one of them.
void PlayBackThread::run()
{
    av::PacketPtr packet(av_packet_alloc());
    if (!packet)
        return;
    while (!stopRequested) {
        int ret = avcodec_receive_frame(codecCtx.get(), frame.get());
        if (ret >= 0) {
            show(frame.get());
            QThread::msleep(PictureIntervalMs);
            continue;
        }
        if (ret == AVERROR_EOF) {
            qDebug() << "avcodec_receive_frame error AVERROR_EOF" << ret;
            return;
        }
        if (ret != AVERROR(EAGAIN))
            qDebug() << "avcodec_receive_frame" << ret;

        // The decoder wants the next packet; after the last one, the flush packet.
        ret = av_read_frame(formatCtx.get(), packet.get());
        if (ret < 0) {
            qDebug() << "av_read_frame" << ret;
            avcodec_send_packet(codecCtx.get(), nullptr);
            continue;
        }
        if (packet->stream_index == videoStreamIndex) {
            ret = avcodec_send_packet(codecCtx.get(), packet.get());
            if (ret < 0)
                qDebug() << "avcodec_send_packet error" << ret;
        }
        av_packet_unref(packet.get());
    }
}

void PlayBackThread::show(const AVFrame *picture)
{
    QSize size;
    {
        QMutexLocker locker(&sizeMutex);
        size = pictureSize;
    }
    const QImage image = converter.convert(picture, size);
    if (!image.isNull())
        mailbox.post(image, 0, false, false, false);
}
