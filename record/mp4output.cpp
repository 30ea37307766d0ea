#include "record/mp4output.h"

#include <QDebug>

av::OutputContextPtr mp4::create(const QByteArray &name, const char *format, AVStream **stream)
{
    AVFormatContext *output = nullptr;
    const int ret = avformat_alloc_output_context2(&output, nullptr, format, name.constData());
    if (ret < 0 || !output) {
        qDebug() << "Could not create output context" << ret;
        return nullptr;
    }
    av::OutputContextPtr muxer(output);
    *stream = avformat_new_stream(output, nullptr);
    if (!*stream) {
        qDebug() << "avformat_new_stream error";
        return nullptr;
    }
    return muxer;
}

bool mp4::begin(AVFormatContext *output, const QByteArray &name, AVDictionary *options)
{
    int ret = 0;
    if (!(output->oformat->flags & AVFMT_NOFILE))
        ret = avio_open(&output->pb, name.constData(), AVIO_FLAG_WRITE);
    if (ret < 0) {
        av_dict_free(&options);
        qDebug() << "avio_open error" << ret;
        return false;
    }
    ret = avformat_write_header(output, &options);
    av_dict_free(&options);
    if (ret < 0) {
        qDebug() << "avformat_write_header error";
        return false;
    }
    return true;
}
