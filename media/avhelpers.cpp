#include "media/avhelpers.h"

extern "C" {
#include <libavutil/imgutils.h>
}

av::CodecContextPtr av::decoderContextFor(const AVStream *stream)
{
    CodecContextPtr context(avcodec_alloc_context3(nullptr));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
        return nullptr;
    context->pkt_timebase = stream->time_base;
    return context;
}

av::BufferPtr av::attachPictureBuffer(AVFrame *frame, AVPixelFormat format, int width, int height)
{
    const int size = av_image_get_buffer_size(format, width, height, 1);
    if (size <= 0)
        return nullptr;
    BufferPtr buffer(static_cast<uint8_t *>(av_mallocz(size_t(size))));
    if (buffer)
        av_image_fill_arrays(frame->data, frame->linesize, buffer.get(), format, width, height, 1);
    return buffer;
}
