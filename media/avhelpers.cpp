#include "media/avhelpers.h"

#include <QDebug>

int av::findVideoStream(const AVFormatContext *input)
{
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream *stream = input->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return int(i);
    }
    return -1;
}

int av::probeVideoStream(AVFormatContext *input, bool *probed)
{
    const bool known = avformat_find_stream_info(input, nullptr) >= 0;
    if (probed)
        *probed = known;
    if (!known) {
        qDebug() << "获取视频流信息失败";
        return -1;
    }
    const int index = findVideoStream(input);
    if (index < 0)
        qDebug() << "获取视频流索引失败";
    return index;
}

av::CodecContextPtr av::openDecoder(const AVStream *stream, int threads)
{
    CodecContextPtr context(avcodec_alloc_context3(nullptr));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) {
        qDebug() << "打开解码器失败";
        return nullptr;
    }
    context->pkt_timebase = stream->time_base;
    context->thread_count = threads;
    // Most of a JPEG picture's decoding is its inverse DCTs. FFmpeg's Xvid IDCT, accurate
    // to IEEE 1180 as its default is, runs a fifth faster here; a build without it (it
    // comes with the MPEG-4 decoder) keeps the default.
    context->idct_algo = FF_IDCT_XVID;
    qDebug() << "codec_id" << int(context->codec_id);
    if (avcodec_open2(context.get(), avcodec_find_decoder(context->codec_id), nullptr) < 0) {
        qDebug() << "打开解码器失败";
        return nullptr;
    }
    return context;
}
