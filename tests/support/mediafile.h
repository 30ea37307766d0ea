#ifndef MEDIAFILE_H
#define MEDIAFILE_H

#include "media/avhelpers.h"

#include <QImage>
#include <QString>

extern "C" {
#include <libavutil/imgutils.h>
}

// What a test wants to know of a recording, read back with libavformat and libavcodec.
struct MediaFile
{
    bool opened = false;
    int streams = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int profile = -1;
    int width = 0;
    int height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int packets = 0;
    int keyPackets = 0;
    int discardedPackets = 0; // outside the edit list: players do not show them
    int decoded = 0;          // pictures the decoder gave back
    // Packets in decoding order and pictures in display order each carry a later time than
    // the one before: a timeline that never stands still nor goes back.
    bool timestampsIncrease = true;
    double startSeconds = -1;
    double durationSeconds = -1;
    QImage first; // the first and last pictures, decoded, as RGB888
    QImage last;
};

inline QImage toImage(const AVFrame *frame)
{
    QImage image(frame->width, frame->height, QImage::Format_RGB888);
    SwsContext *scaler = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                        frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    uint8_t *planes[4] = {image.bits()};
    int strides[4] = {int(image.bytesPerLine())};
    sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    sws_freeContext(scaler);
    return image;
}

inline MediaFile readMediaFile(const QString &path)
{
    MediaFile file;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return file;
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return file;
    file.opened = true;
    file.streams = int(input->nb_streams);
    if (input->nb_streams < 1)
        return file;
    const AVStream *stream = input->streams[0];
    file.codec = stream->codecpar->codec_id;
    file.profile = stream->codecpar->profile;
    file.width = stream->codecpar->width;
    file.height = stream->codecpar->height;
    file.format = AVPixelFormat(stream->codecpar->format);
    if (input->start_time != AV_NOPTS_VALUE)
        file.startSeconds = input->start_time / double(AV_TIME_BASE);
    if (input->duration != AV_NOPTS_VALUE)
        file.durationSeconds = input->duration / double(AV_TIME_BASE);

    const AVCodec *codec = avcodec_find_decoder(file.codec);
    av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return file;
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    av::FramePtr last(av_frame_alloc());
    int64_t lastDts = AV_NOPTS_VALUE, lastPts = AV_NOPTS_VALUE;
    auto later = [&file](int64_t time, int64_t *previous) {
        if (time == AV_NOPTS_VALUE || (*previous != AV_NOPTS_VALUE && time <= *previous))
            file.timestampsIncrease = false;
        *previous = time;
    };
    auto take = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            ++file.decoded;
            later(frame->best_effort_timestamp, &lastPts);
            if (file.first.isNull())
                file.first = toImage(frame.get());
            av_frame_unref(last.get());
            av_frame_move_ref(last.get(), frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == 0) {
            ++file.packets;
            later(packet->dts, &lastDts);
            if (packet->flags & AV_PKT_FLAG_KEY)
                ++file.keyPackets;
            if (packet->flags & AV_PKT_FLAG_DISCARD)
                ++file.discardedPackets;
            avcodec_send_packet(decoder.get(), packet.get());
            take();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    take();
    if (file.decoded > 0)
        file.last = toImage(last.get());
    return file;
}

#endif // MEDIAFILE_H
