#include "stream/readthread.h"

#include <QDebug>

#include <cstring>

extern "C" {
#include <libavutil/time.h>
}

namespace {

// How long the camera may stay silent, the same as the socket time-out.
const int64_t CameraSilenceUs = 3000000;

} // namespace

ReadThread::ReadThread(QObject *parent)
    : QThread(parent)
    , frame(av_frame_alloc())
    , frameRGB(av_frame_alloc())
{
    avformat_network_init();
    formatCtx.reset(avformat_alloc_context());
    formatCtx->interrupt_callback.callback = &ReadThread::interruptCallback;
    formatCtx->interrupt_callback.opaque = this;
    // Stream probing would otherwise read some twenty frames to estimate the frame rate,
    // which nothing here needs: at 30 fps that holds the window for most of a second, at
    // a low frame rate for many. One decoded frame tells the picture size.
    formatCtx->fps_probe_size = 0;
}

ReadThread::~ReadThread()
{
    // The owner stops and waits for the thread first; this only guards against a reader
    // that is still blocked in the network when its owner goes away.
    if (isRunning()) {
        stopRead();
        wait();
    }
    // Likewise the owner ends a recording first; if not, the file is still completed.
    setRecord(false, QString());
    codecCtx.reset();
    formatCtx.reset();
    avformat_network_deinit();
}

int ReadThread::interruptCallback(void *opaque)
{
    const auto *reader = static_cast<ReadThread *>(opaque);
    if (reader->interruptFlag)
        return 1;
    const int64_t deadline = reader->waitDeadline;
    return deadline != 0 && av_gettime_relative() > deadline ? 1 : 0;
}

void ReadThread::stopRead()
{
    running = false;
    interruptFlag = true;
}

bool ReadThread::openStream()
{
    AVDictionary *options = nullptr;
    av_dict_set(&options, "buffer_size", "1024000", 0);
    av_dict_set(&options, "rtsp_transport", "udp", 0);
    // Socket time-out in microseconds: connecting, the RTSP exchange and waiting for
    // media all give up after 3 s of silence.
    av_dict_set(&options, "timeout", "3000000", 0);

    // On failure avformat_open_input frees the context it was given and nulls the pointer.
    AVFormatContext *input = formatCtx.release();
    int ret = avformat_open_input(&input, url.toUtf8().constData(), nullptr, &options);
    formatCtx.reset(input);
    av_dict_free(&options);
    if (ret < 0) {
        qDebug() << "打开视频流失败";
        return false;
    }

    // Probing waits for the first frame.
    waitDeadline = av_gettime_relative() + CameraSilenceUs;
    ret = avformat_find_stream_info(formatCtx.get(), nullptr);
    waitDeadline = 0;
    if (ret < 0) {
        qDebug() << "获取视频流信息失败";
        return false;
    }

    videoStreamIndex = -1;
    for (unsigned i = 0; i < formatCtx->nb_streams; ++i) {
        if (formatCtx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            videoStreamIndex = int(i);
            videoStream = formatCtx->streams[i];
            break;
        }
    }
    if (videoStreamIndex < 0) {
        qDebug() << "获取视频流索引失败";
        return false;
    }

    if (!openDecoder(videoStream))
        return false;

    qDebug() << "初始化视频流成功";
    isMirror = true;
    autoMirror = true;
    return true;
}

// The decoder and the RGB picture for the chosen stream: everything a frame needs is
// made here, once.
bool ReadThread::openDecoder(AVStream *stream)
{
    videoStream = stream;
    codecCtx = av::decoderContextFor(stream);
    if (!codecCtx) {
        qDebug() << "打开解码器失败";
        return false;
    }
    qDebug() << "codec_id" << int(codecCtx->codec_id);

    srcWidth = codecCtx->width;
    srcHeight = codecCtx->height;
    dstWidth = 1280;
    dstHeight = 960;

    // One packed RGB24 plane, black until the first picture is converted into it.
    rgbBuffer = av::attachPictureBuffer(frameRGB.get(), AV_PIX_FMT_RGB24, dstWidth, dstHeight);
    if (!rgbBuffer) {
        qDebug() << "打开解码器失败";
        return false;
    }

    if (avcodec_open2(codecCtx.get(), avcodec_find_decoder(codecCtx->codec_id), nullptr) < 0) {
        qDebug() << "打开解码器失败";
        return false;
    }
    return true;
}

void ReadThread::run()
{
    running = true;
    av::PacketPtr packet(av_packet_alloc());
    if (!packet)
        return;

    do {
        waitDeadline = av_gettime_relative() + CameraSilenceUs;
        const int ret = av_read_frame(formatCtx.get(), packet.get());
        waitDeadline = 0;
        if (ret < 0)
            break;
        if (packet->stream_index == videoStreamIndex)
            handlePacket(packet.get());
        av_packet_unref(packet.get());
    } while (running);
}

// One video packet: the sensor block out, decoding, conversion, the picture handed on,
// and the recorder's step, all under the lock that switches recording.
void ReadThread::handlePacket(AVPacket *packet)
{
    QMutexLocker locker(&mutex);
    const int degree = getPacketDegree(packet);

    int ret = avcodec_send_packet(codecCtx.get(), packet);
    if (ret < 0)
        qDebug() << "avcodec_send_packet error" << ret;
    ret = avcodec_receive_frame(codecCtx.get(), frame.get());
    const bool decoded = ret >= 0;
    if (!decoded)
        qDebug() << "avcodec_receive_frame" << ret;
    else
        swsCtx.convert(frame.get(), frameRGB->data, frameRGB->linesize);

    // Without a new picture the buffer still holds the previous one, which goes out
    // again with this packet's angle. The emitted image owns a copy: the buffer is
    // overwritten by the next picture while the window may still be painting this one.
    const QImage view(rgbBuffer.get(), dstWidth, dstHeight, frameRGB->linesize[0], QImage::Format_RGB888);
    emit getImage(view.copy(), degree, isHaveDegree, isMirror, autoMirror);

    // Only a new picture is recorded: repeating the previous one would put a second
    // picture with its timestamp into the file.
    if (recording && decoded)
        recordFrame();
}
