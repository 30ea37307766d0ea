#ifndef AVHELPERS_H
#define AVHELPERS_H

// Owning pointers for the FFmpeg objects, each released by the library's own free call.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace av {

struct FrameDeleter
{
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
struct PacketDeleter
{
    void operator()(AVPacket *packet) const { av_packet_free(&packet); }
};
struct CodecContextDeleter
{
    void operator()(AVCodecContext *context) const { avcodec_free_context(&context); }
};
struct SwsContextDeleter
{
    void operator()(SwsContext *context) const { sws_freeContext(context); }
};
// Closes an opened input, which also tells an RTSP server goodbye (TEARDOWN); a context
// that was allocated but never opened is only freed.
struct InputContextDeleter
{
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};
// Closes the file of a muxing context and frees it. Writing the trailer is a step of its
// own, never left to this.
struct OutputContextDeleter
{
    void operator()(AVFormatContext *context) const
    {
        if (context->oformat && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
struct BufferDeleter
{
    void operator()(uint8_t *buffer) const { av_free(buffer); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using BufferPtr = std::unique_ptr<uint8_t, BufferDeleter>;

// The index of the first video stream of `input`, or -1 if it has none. A cover picture
// attached to a sound file is not one.
int findVideoStream(const AVFormatContext *input);

// Reads enough of `input` to know its streams, then finds its first video stream: its
// index, or -1 after the debug line that says why ("获取视频流信息失败" when the streams
// cannot be told, "获取视频流索引失败" when none is video; `probed` tells the two apart).
int probeVideoStream(AVFormatContext *input, bool *probed = nullptr);

// The decoder for `stream`, opened, with the stream's time base as its packets' time base,
// on `threads` threads (0: as many as the machine has). Logs the codec's id ("codec_id N");
// null on failure, after the debug line "打开解码器失败".
CodecContextPtr openDecoder(const AVStream *stream, int threads = 1);

} // namespace av

#endif // AVHELPERS_H
