// Recording the live stream: each new decoded camera picture is scaled to 1280x960,
// converted to YUV 4:2:0, encoded as H.264 by libx264 and written to an MP4 file.
//
// setRecord() runs on the GUI thread and recordFrame() on the reader's thread; both
// hold `mutex`, so recording switches on and off only between two frames of the loop.

#include "stream/readthread.h"

#include <QDebug>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

// A frame rate a camera can have. Without frame-rate probing at open (which would hold
// the window for twenty frames) FFmpeg's guess for an RTSP stream is its 90 kHz clock,
// which would make the encoder write a level-6.2 stream that players refuse.
bool usable(AVRational rate)
{
    return rate.num > 0 && rate.den > 0 && av_q2d(rate) <= 240;
}

} // namespace

bool ReadThread::setRecord(bool on, const QString &fileName)
{
    QMutexLocker locker(&mutex);
    if (!on) {
        stopRecording();
        return false;
    }
    if (recording)
        return true;
    if (!videoStream || !codecCtx) {
        qDebug() << "setRecord without an open stream";
        return false;
    }
    recording = startRecording(fileName);
    return recording;
}

// Builds the whole output before anything is written to it; on any failure everything
// made so far is released again and recording stays off.
bool ReadThread::startRecording(const QString &fileName)
{
    // FFmpeg takes file names as UTF-8 on every platform (on Windows it widens them
    // itself); a name in the local 8-bit code page would not open for a user whose
    // desktop path is not plain ASCII.
    const QByteArray name = fileName.toUtf8();
    qDebug().noquote() << fileName;

    AVFormatContext *output = nullptr;
    int ret = avformat_alloc_output_context2(&output, nullptr, nullptr, name.constData());
    if (ret < 0 || !output) {
        qDebug() << "Could not create output context" << ret;
        return false;
    }
    av::OutputContextPtr muxer(output);

    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!encoder) {
        qDebug() << "avcodec_find_encoder error";
        return false;
    }
    AVStream *stream = avformat_new_stream(muxer.get(), nullptr);
    av::CodecContextPtr encoding(avcodec_alloc_context3(encoder));
    if (!stream || !encoding) {
        qDebug() << "avformat_new_stream error";
        return false;
    }
    encoding->width = dstWidth;
    encoding->height = dstHeight;
    encoding->pix_fmt = AV_PIX_FMT_YUV420P;
    encoding->sample_aspect_ratio = videoStream->codecpar->sample_aspect_ratio;
    // The camera's frame rate where anyone knows it; the timestamps that go into the
    // file are the camera's own all the same.
    AVRational rate{20, 1};
    for (AVRational candidate : {codecCtx->framerate, videoStream->avg_frame_rate, videoStream->r_frame_rate}) {
        if (usable(candidate)) {
            rate = candidate;
            break;
        }
    }
    encoding->time_base = av_inv_q(rate);
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER)
        encoding->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // libx264's own options; another H.264 encoder records with its defaults.
    av_opt_set(encoding->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoding->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoding->priv_data, "profile", "baseline", 0);
    av_opt_set(encoding->priv_data, "x264-params", "crf=20", 0);

    ret = avcodec_open2(encoding.get(), encoder, nullptr);
    if (ret < 0) {
        qDebug() << "avcodec_open2 error" << ret;
        return false;
    }
    ret = avcodec_parameters_from_context(stream->codecpar, encoding.get());
    if (ret < 0) {
        qDebug() << "avcodec_parameters_from_context error" << ret;
        return false;
    }
    stream->time_base = encoding->time_base;

    if (!(muxer->oformat->flags & AVFMT_NOFILE)) {
        ret = avio_open(&muxer->pb, name.constData(), AVIO_FLAG_WRITE);
        if (ret < 0) {
            qDebug() << "avio_open error" << ret;
            return false;
        }
    }
    ret = avformat_write_header(muxer.get(), nullptr);
    if (ret < 0) {
        qDebug() << "avformat_write_header error";
        return false;
    }

    av::FramePtr picture(av_frame_alloc());
    av::PacketPtr packet(av_packet_alloc());
    if (!picture || !packet) {
        qDebug() << "av_frame_alloc error";
        return false;
    }
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = dstWidth;
    picture->height = dstHeight;
    ret = av_frame_get_buffer(picture.get(), 0);
    if (ret < 0) {
        qDebug() << "av_frame_get_buffer error" << ret;
        return false;
    }

    outFormatCtx = std::move(muxer);
    outStream = stream;
    encoderCtx = std::move(encoding);
    frameYUV = std::move(picture);
    recordPacket = std::move(packet);
    swsCtxYUV = std::make_unique<PictureConverter>(AV_PIX_FMT_YUV420P, dstWidth, dstHeight);
    recordFirstPts = AV_NOPTS_VALUE;
    recordLastPts = AV_NOPTS_VALUE;
    recordFrameDuration = 0;
    return true;
}

void ReadThread::stopRecording()
{
    if (!recording)
        return;
    recording = false;

    // With "zerolatency" the encoder holds nothing back; draining costs nothing and
    // keeps the last pictures should it ever do so.
    if (avcodec_send_frame(encoderCtx.get(), nullptr) >= 0)
        writeEncodedPackets();
    const int ret = av_write_trailer(outFormatCtx.get());
    if (ret < 0)
        qDebug() << "av_write_trailer error" << ret;

    outFormatCtx.reset();
    outStream = nullptr;
    encoderCtx.reset();
    frameYUV.reset();
    recordPacket.reset();
    swsCtxYUV.reset();
}

void ReadThread::recordFrame()
{
    // The file's timeline starts at its first picture, whenever in the live view the
    // recording began, and keeps the camera's own spacing of the pictures. A picture
    // without a timestamp, or one that does not move forward, has no place in it.
    const int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE || (recordLastPts != AV_NOPTS_VALUE && pts <= recordLastPts)) {
        qDebug() << "recordFrame: picture without a usable timestamp";
        return;
    }
    if (recordFirstPts == AV_NOPTS_VALUE)
        recordFirstPts = pts;
    else
        recordFrameDuration = pts - recordLastPts;
    recordLastPts = pts;

    // The encoder may still hold a reference to the previous picture's buffer.
    int ret = av_frame_make_writable(frameYUV.get());
    if (ret < 0) {
        qDebug() << "av_frame_make_writable error" << ret;
        return;
    }
    av_frame_copy_props(frameYUV.get(), frame.get());
    frameYUV->pts = pts - recordFirstPts;
    // The converted picture is limited-range BT.601, whatever the camera sent; and the
    // camera's JPEG frames are all intra pictures, which must not force every H.264
    // picture to be a key frame.
    frameYUV->color_range = AVCOL_RANGE_MPEG;
    frameYUV->colorspace = AVCOL_SPC_SMPTE170M;
    frameYUV->pict_type = AV_PICTURE_TYPE_NONE;
    if (!swsCtxYUV->convert(frame.get(), frameYUV->data, frameYUV->linesize))
        return;

    ret = avcodec_send_frame(encoderCtx.get(), frameYUV.get());
    if (ret < 0) {
        qDebug() << "avcodec_encode_video2:" << ret;
        return;
    }
    writeEncodedPackets();
}

// Writes every packet the encoder has ready. Timestamps go from the input stream's time
// base, which the pictures carry, to the output stream's.
void ReadThread::writeEncodedPackets()
{
    AVPacket *packet = recordPacket.get();
    for (;;) {
        int ret = avcodec_receive_packet(encoderCtx.get(), packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return;
        if (ret < 0) {
            qDebug() << "avcodec_receive_packet:" << ret;
            return;
        }
        packet->stream_index = outStream->index;
        // Without a duration the file's last picture would get none, and players, this
        // program's replay among them, would drop it.
        if (packet->duration <= 0)
            packet->duration = recordFrameDuration;
        av_packet_rescale_ts(packet, videoStream->time_base, outStream->time_base);
        // Takes the packet's reference, and leaves the packet blank for the next one.
        ret = av_interleaved_write_frame(outFormatCtx.get(), packet);
        // The muxer writes through a buffer: a full disk shows in the I/O context's
        // error once the buffer goes out, not always in the muxer's result.
        if (ret == 0 && outFormatCtx->pb && outFormatCtx->pb->error < 0)
            ret = outFormatCtx->pb->error;
        if (ret != 0)
            qDebug() << "av_interleaved_write_frame :" << ret;
    }
}
