#include "playback/playbackthread.h"

#include <QDebug>

PlayBackThread::PlayBackThread(QObject *parent)
    : QThread(parent)
    , formatCtx(avformat_alloc_context())
    , frame(av_frame_alloc())
    , frameRGB(av_frame_alloc())
{
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

    videoStreamIndex = -1;
    for (unsigned i = 0; i < formatCtx->nb_streams; ++i) {
        if (formatCtx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            videoStreamIndex = int(i);
            break;
        }
    }
    if (videoStreamIndex < 0) {
        qDebug() << "获取视频流索引失败";
        return false;
    }

    codecCtx = av::decoderContextFor(formatCtx->streams[videoStreamIndex]);
    if (!codecCtx) {
        qDebug() << "打开解码器失败";
        return false;
    }
    qDebug() << "codec_id" << int(codecCtx->codec_id);

    width = codecCtx->width;
    height = codecCtx->height;
    rgbBuffer = av::attachPictureBuffer(frameRGB.get(), AV_PIX_FMT_RGB24, width, height);
    if (!rgbBuffer) {
        qDebug() << "打开解码器失败";
        return false;
    }

    if (avcodec_open2(codecCtx.get(), avcodec_find_decoder(codecCtx->codec_id), nullptr) < 0) {
        qDebug() << "打开解码器失败";
        return false;
    }
    // Only the pixel format changes; the picture keeps the file's size.
    swsCtx = std::make_unique<PictureConverter>(AV_PIX_FMT_RGB24, width, height);

    qDebug() << "初始化视频流成功";
    return true;
}

void PlayBackThread::stopPlay()
{
    stopRequested = true;
    running = false;
}

void PlayBackThread::run()
{
    running = true;
    av::PacketPtr packet(av_packet_alloc());
    if (!packet || stopRequested)
        return;

    do {
        int ret = av_read_frame(formatCtx.get(), packet.get());
        if (ret < 0) {
            qDebug() << "av_read_frame" << ret;
            return;
        }
        if (packet->stream_index != videoStreamIndex) {
            av_packet_unref(packet.get());
            continue;
        }
        ret = avcodec_send_packet(codecCtx.get(), packet.get());
        av_packet_unref(packet.get());
        if (ret < 0) {
            qDebug() << "avcodec_send_packet error" << ret;
            continue;
        }

        ret = avcodec_receive_frame(codecCtx.get(), frame.get());
        if (ret == AVERROR(EAGAIN)) {
            qDebug() << "avcodec_receive_frame error AVERROR(EAGAIN)" << ret;
            return;
        }
        if (ret == AVERROR_EOF) {
            qDebug() << "avcodec_receive_frame error AVERROR_EOF" << ret;
            return;
        }
        // Any other decoding error leaves the buffer as it was: the previous picture
        // goes out again.
        if (ret >= 0)
            swsCtx->convert(frame.get(), frameRGB->data, frameRGB->linesize);

        const QImage view(rgbBuffer.get(), width, height, frameRGB->linesize[0], QImage::Format_RGB888);
        mailbox.post(view.copy(), 0, false, false, false);
        QThread::msleep(40);
    } while (running && !stopRequested);
}
