// Reads an RTSP camera stream the way the viewer opens it and counts what arrives and
// what FFmpeg reports lost. Prints a table; used by scripts/bench and for checks by hand.
//
//   bench_stream_reader --url rtsp://127.0.0.1:7070/webcam [--duration S] [--frames N] [--decode]
//
// --decode also decodes every packet (after writing back the standard table bytes where a
// type-1 or type-6 sensor block sits, as the viewer does) and reads the simulated camera's
// frame index from the picture, which counts the frames lost on the way exactly.

#include "framepainter.h"
#include "sensorblock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<long> missingPacketLines{0}; // rtpdec_jpeg: "Missing packets; dropping frame."
std::atomic<long> rtpMissedLines{0};     // rtpdec: "RTP: missed N packets"
std::atomic<long> rtpMissedPackets{0};
std::atomic<long> decoderErrorLines{0};

void countLog(void *object, int level, const char *format, va_list arguments)
{
    if (level > AV_LOG_WARNING)
        return;
    char line[1024];
    int prefix = 1;
    av_log_format_line(object, level, format, arguments, line, sizeof line, &prefix);
    if (std::strstr(line, "Missing packets")) {
        ++missingPacketLines;
    } else if (const char *missed = std::strstr(line, "RTP: missed")) {
        ++rtpMissedLines;
        rtpMissedPackets += std::atol(missed + std::strlen("RTP: missed"));
    } else if (std::strstr(line, "overread")) {
        return; // the empty outer scan in front of every camera frame: expected
    } else if (level <= AV_LOG_ERROR && std::strstr(line, "mjpeg")) {
        ++decoderErrorLines;
    }
    std::fputs(line, stderr);
}

// The viewer restores the standard table bytes where it found a block it understood.
void restoreTable(AVPacket *packet)
{
    const long p = camsim::dhtMarker(packet->data, size_t(packet->size), 2);
    if (p >= 0 && p + 20 <= packet->size && packet->data[p + 18] == 0xFE
        && (packet->data[p + 19] == 1 || packet->data[p + 19] == 6))
        std::memcpy(packet->data + p + 8, camsim::kStandardBlock.data(), camsim::kStandardBlock.size());
}

struct Options {
    std::string url;
    double duration = 60;
    long frames = 0;
    bool decode = false;
};

int usage()
{
    std::fputs("Usage: bench_stream_reader --url URL [--duration SECONDS] [--frames N] [--decode]\n",
               stderr);
    return 2;
}

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--decode") {
            options.decode = true;
        } else if (i + 1 < argc && arg == "--url") {
            options.url = argv[++i];
        } else if (i + 1 < argc && arg == "--duration") {
            options.duration = std::atof(argv[++i]);
        } else if (i + 1 < argc && arg == "--frames") {
            options.frames = std::atol(argv[++i]);
        } else {
            return usage();
        }
    }
    if (options.url.empty() || options.duration <= 0)
        return usage();

    av_log_set_callback(countLog);
    using Clock = std::chrono::steady_clock;
    const auto opening = Clock::now();

    AVDictionary *dict = nullptr;
    av_dict_set(&dict, "buffer_size", "1024000", 0);
    av_dict_set(&dict, "rtsp_transport", "udp", 0);
    av_dict_set(&dict, "timeout", "3000000", 0);
    AVFormatContext *input = nullptr;
    int ret = avformat_open_input(&input, options.url.c_str(), nullptr, &dict);
    av_dict_free(&dict);
    if (ret < 0) {
        char text[128];
        av_strerror(ret, text, sizeof text);
        std::fprintf(stderr, "bench_stream_reader: cannot open %s: %s\n", options.url.c_str(), text);
        return 1;
    }
    const auto opened = Clock::now();

    AVCodecContext *decoder = nullptr;
    AVFrame *frame = av_frame_alloc();
    SwsContext *scaler = nullptr;
    constexpr int kSmallW = 320, kSmallH = 240; // enough for the index strip, cheap to make
    std::vector<uint8_t> small(kSmallW * kSmallH * 3);
    if (options.decode) {
        const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        decoder = avcodec_alloc_context3(codec);
        avcodec_open2(decoder, codec, nullptr);
    }

    long packets = 0, decoded = 0, undecodable = 0, unreadable = 0, lostByIndex = 0;
    long long bytes = 0;
    int firstIndex = -1, lastIndex = -1;
    double firstPacketAfter = -1;
    std::string end = "duration reached";
    AVPacket *packet = av_packet_alloc();
    for (;;) {
        if (seconds(Clock::now() - opened) >= options.duration)
            break;
        if (options.frames > 0 && packets >= options.frames) {
            end = "frame count reached";
            break;
        }
        ret = av_read_frame(input, packet);
        if (ret < 0) {
            char text[128];
            av_strerror(ret, text, sizeof text);
            end = ret == AVERROR_EOF ? "end of stream" : std::string("read error: ") + text;
            break;
        }
        if (firstPacketAfter < 0)
            firstPacketAfter = seconds(Clock::now() - opening);
        ++packets;
        bytes += packet->size;
        if (decoder) {
            restoreTable(packet);
            if (avcodec_send_packet(decoder, packet) < 0 || avcodec_receive_frame(decoder, frame) < 0) {
                ++undecodable;
            } else {
                ++decoded;
                // Made once: the camera's size and format do not change within a stream.
                if (!scaler)
                    scaler = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                            kSmallW, kSmallH, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                                            nullptr, nullptr, nullptr);
                uint8_t *planes[4] = {small.data()};
                int strides[4] = {kSmallW * 3};
                sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
                const int index = camsim::readFrameIndex(small.data(), kSmallW, kSmallH, kSmallW * 3);
                if (index < 0) {
                    ++unreadable;
                } else {
                    const int step = (index - lastIndex + 65536) % 65536; // the index wraps
                    if (lastIndex >= 0 && step > 0)
                        lostByIndex += step - 1;
                    if (firstIndex < 0)
                        firstIndex = index;
                    lastIndex = index;
                }
            }
        }
        av_packet_unref(packet);
    }
    const double elapsed = seconds(Clock::now() - opened);

    std::printf("stream reader  %s  (udp, buffer_size 1024000, timeout 3 s)\n", options.url.c_str());
    std::printf("  %-26s %10.3f s\n", "open", seconds(opened - opening));
    std::printf("  %-26s %10.3f s\n", "first packet after", firstPacketAfter);
    std::printf("  %-26s %10.1f s\n", "read for", elapsed);
    std::printf("  %-26s %10s\n", "ended by", end.c_str());
    std::printf("  %-26s %10ld\n", "packets", packets);
    std::printf("  %-26s %10.1f /s\n", "packet rate", packets / elapsed);
    std::printf("  %-26s %10.1f KB\n", "mean packet", packets ? bytes / 1024.0 / packets : 0.0);
    std::printf("  %-26s %10ld\n", "\"Missing packets\" lines", missingPacketLines.load());
    std::printf("  %-26s %10ld\n", "\"RTP: missed\" lines", rtpMissedLines.load());
    std::printf("  %-26s %10ld\n", "RTP packets missed", rtpMissedPackets.load());
    if (decoder) {
        std::printf("  %-26s %10ld\n", "decoded", decoded);
        std::printf("  %-26s %10ld\n", "not decodable", undecodable);
        std::printf("  %-26s %10ld\n", "decoder error lines", decoderErrorLines.load());
        std::printf("  %-26s %10ld\n", "no frame index", unreadable);
        std::printf("  %-26s %10d\n", "first frame index", firstIndex);
        std::printf("  %-26s %10d\n", "last frame index", lastIndex);
        std::printf("  %-26s %10ld\n", "frames lost (by index)", lostByIndex);
        const long sent = decoded - unreadable + lostByIndex;
        std::printf("  %-26s %9.2f %%\n", "frame loss", sent ? 100.0 * lostByIndex / sent : 0.0);
    }

    // The same figures on one line for scripts.
    std::printf("packets=%ld decoded=%ld first_index=%d last_index=%d lost=%ld missing_packets_lines=%ld"
                " rtp_missed_lines=%ld rtp_missed=%ld seconds=%.3f\n",
                packets, decoded, firstIndex, lastIndex, lostByIndex, missingPacketLines.load(),
                rtpMissedLines.load(), rtpMissedPackets.load(), elapsed);

    av_packet_free(&packet);
    av_frame_free(&frame);
    sws_freeContext(scaler);
    avcodec_free_context(&decoder);
    avformat_close_input(&input);
    return 0;
}
