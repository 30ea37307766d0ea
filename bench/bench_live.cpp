// CPU cost of the live loop per camera frame.
//
//   bench_live URL SECONDS [RECORDING.mp4]
//
// 1. Runs a ReadThread on URL for SECONDS and measures the CPU time of its threads (the
//    reader and its decoder; with a recording, the encoder's too), the frames it delivered
//    and the frames lost on the way (gaps in the simulated camera's frame numbers, and
//    FFmpeg's own reports of missing RTP packets). With a file name,
//    the reader records all the while; then the pictures in the file are counted and
//    read, a camera frame missing between the first and the last is a picture lost. The
//    recording is stopped from a thread of its own while this one goes on receiving: the
//    longest gap between two pictures around the stop shows any pause of the live loop,
//    beside the longest gap in the seconds before. The time the file then takes to be
//    finished in the background is measured too.
// 2. Without a file name: runs the reader twice more, for half of SECONDS each, asked for
//    the 600x600 pictures of the window's plain view: decoding them at that size (as the
//    program does) and decoding every frame whole (VELMORA_SCALED_DECODE=0, as before).
//    Then reads 300 packets of the same stream into memory and replays them through the
//    loop's stages one by one, to split the cost: block scan, decode, and the conversion
//    into the emitted image, at the camera's 1280x960 (what the reader delivers unless
//    asked otherwise) and at the window's 600x600, from the whole frame or from the frame
//    decoded at the window's size.
// Prints a table and a last line of key=value pairs for scripts/bench.

#include "display/videodisplaywidget.h"
#include "media/pictureconverter.h"
#include "media/picturesize.h"
#include "media/scaledjpegdecoder.h"
#include "stream/readthread.h"
#include "record/recordingfinisher.h"
#include "support/mediafile.h"
#include "support/picture.h"

#include "framepainter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::atomic<int> missingReports{0};

void countMissingPackets(void *context, int level, const char *format, va_list args)
{
    if (format && (std::strstr(format, "Missing packets") || std::strstr(format, "RTP: missed")))
        ++missingReports;
    // Every camera frame reaches the decoder inside the depacketiser's own JPEG header,
    // whose empty scan the decoder reports as "overread"; that is expected, not news.
    if (format && std::strstr(format, "overread"))
        return;
    av_log_default_callback(context, level, format, args);
}

double threadCpuMs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

struct LiveResult
{
    int frames = 0;
    int lost = 0;
    double processMs = 0; // everything: the reader, its decoder, the encoder, this benchmark
    double mainMs = 0;    // this thread, which only receives and checks the pictures
    double gapAroundStopMs = 0; // longest gap between pictures within 1 s of StopRecord
    double gapBeforeMs = 0;     // the same in the 2 s before that
    double finishingMs = 0;     // the file finished after StopRecord, away from the reader
};

// The simulated camera's frame number in a picture, read on this thread alone: Qt would
// convert a picture this big on its thread pool, whose time would count as the reader's.
int indexOf(const QImage &image, std::vector<uint8_t> &rgb)
{
    rgb.resize(size_t(image.width()) * size_t(image.height()) * 3);
    uint8_t *out = rgb.data();
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x, out += 3) {
            out[0] = uint8_t(qRed(line[x]));
            out[1] = uint8_t(qGreen(line[x]));
            out[2] = uint8_t(qBlue(line[x]));
        }
    }
    return camsim::readFrameIndex(rgb.data(), image.width(), image.height(), image.width() * 3);
}

// The longest gap between two consecutive arrivals both within [from, to).
double longestGapMs(const std::vector<qint64> &arrivalsNs, qint64 from, qint64 to)
{
    qint64 longest = 0;
    for (size_t i = 1; i < arrivalsNs.size(); ++i) {
        if (arrivalsNs[i - 1] >= from && arrivalsNs[i] < to)
            longest = std::max(longest, arrivalsNs[i] - arrivalsNs[i - 1]);
    }
    return longest / 1e6;
}

// `view`, when given, is the size the reader is asked its pictures at.
LiveResult runLive(const QString &url, int seconds, const QString &recording, const QSize &view = QSize())
{
    LiveResult result;
    ReadThread reader;
    reader.url = url;
    if (view.isValid())
        reader.setPictureSizes(view, view);
    if (!reader.openStream())
        return result;
    if (!recording.isEmpty()) {
        // The file is made away from this thread; the recording runs once it says so.
        QEventLoop starting;
        bool started = false;
        QObject::connect(&reader, &ReadThread::recordingStarted, &starting, [&] {
            started = true;
            starting.quit();
        });
        QObject::connect(&reader, &ReadThread::recordingFailed, &starting, &QEventLoop::quit);
        if (!reader.setRecord(true, recording))
            return result;
        starting.exec();
        if (!started)
            return result;
    }

    int previous = -1;
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> arrivalsNs;
    std::vector<uint8_t> rgb;
    QObject context;
    qint64 stopNs = 0;
    QObject::connect(&reader, &ReadThread::getImage, &context, [&](const QImage &image) {
        arrivalsNs.push_back(clock.nsecsElapsed());
        // What comes after the recording stopped is not part of it.
        if (stopNs > 0)
            return;
        const int index = indexOf(image, rgb);
        // A frame that did not decode goes out as the previous picture again: not a new
        // frame received.
        if (index < 0 || index == previous)
            return;
        if (previous >= 0 && index > previous + 1)
            result.lost += index - previous - 1;
        previous = index;
        ++result.frames;
    });

    QEventLoop loop;
    QObject::connect(&reader, &QThread::finished, &loop, &QEventLoop::quit);
    clockid_t mainClock{};
    pthread_getcpuclockid(pthread_self(), &mainClock);
    const double mainStart = threadCpuMs(mainClock);
    const double processStart = processCpuMs();
    reader.start();
    std::thread stopper;
    QTimer::singleShot(seconds * 1000, [&] {
        // The figures are of the live loop: taken before the file is finished.
        result.processMs = processCpuMs() - processStart;
        result.mainMs = threadCpuMs(mainClock) - mainStart;
        if (recording.isEmpty()) {
            reader.stopRead();
            return;
        }
        stopNs = clock.nsecsElapsed();
        stopper = std::thread([&] {
            reader.setRecord(false, QString());
            RecordingFinisher::waitForAll();
            result.finishingMs = (clock.nsecsElapsed() - stopNs) / 1e6;
        });
        QTimer::singleShot(1500, [&] {
            stopper.join();
            reader.stopRead();
        });
    });
    loop.exec();
    reader.wait();
    QCoreApplication::processEvents();
    if (stopNs > 0) {
        result.gapAroundStopMs = longestGapMs(arrivalsNs, stopNs - 1000000000, stopNs + 1000000000);
        result.gapBeforeMs = longestGapMs(arrivalsNs, stopNs - 3000000000, stopNs - 1000000000);
    }
    return result;
}

// The same, with the frames decoded whole (VELMORA_SCALED_DECODE=0) or not.
LiveResult runLiveAtWindowSize(const QString &url, int seconds, bool whole)
{
    if (whole)
        qputenv("VELMORA_SCALED_DECODE", "0");
    const LiveResult result = runLive(url, seconds, QString(), VideoDisplayWidget().pictureSize(false));
    qunsetenv("VELMORA_SCALED_DECODE");
    return result;
}

struct Stages
{
    int frames = 0;
    double scan = 0, decode = 0, convertFull = 0, convertWindow = 0;
    double scaledDecode = 0, scaledConvert = 0; // decoded at the window's size, then converted
    int scaledWidth = 0;
    // The window's picture from the frame decoded at its size against the one from the
    // whole frame, in dB: the lowest and the mean over the frames.
    double psnrMin = 99, psnrSum = 0;
    double decodeAtEighths[8] = {}; // TurboJPEG's decode at 1/8 .. 7/8 of the frame
};

// `count` video packets of the stream at `url`, read into memory, and a decoder for them;
// no packets when the stream cannot be read.
struct ReadPackets
{
    std::vector<av::PacketPtr> packets;
    av::CodecContextPtr decoder;
};

ReadPackets readPackets(const QString &url, int count)
{
    ReadPackets read;
    AVDictionary *options = nullptr;
    av_dict_set(&options, "buffer_size", "1024000", 0);
    av_dict_set(&options, "rtsp_transport", "udp", 0);
    av_dict_set(&options, "timeout", "3000000", 0);
    AVFormatContext *raw = avformat_alloc_context();
    raw->fps_probe_size = 0;
    const int opened = avformat_open_input(&raw, url.toUtf8().constData(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        return read;
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return read;
    const int streamIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (streamIndex < 0)
        return read;
    read.decoder = av::openDecoder(input->streams[streamIndex]);
    while (read.decoder && int(read.packets.size()) < count) {
        av::PacketPtr packet(av_packet_alloc());
        if (av_read_frame(input.get(), packet.get()) < 0)
            break;
        if (packet->stream_index == streamIndex)
            read.packets.push_back(std::move(packet));
    }
    return read;
}

Stages replayStages(const QString &url, int count)
{
    Stages stages;
    const ReadPackets read = readPackets(url, count);
    const std::vector<av::PacketPtr> &packets = read.packets;
    AVCodecContext *decoder = read.decoder.get();

    ReadThread orientation;
    ImageConverter full, window, fromScaled;
    ScaledJpegDecoder scaledDecoder;
    const QSize windowSize = VideoDisplayWidget().pictureSize(false);
    av::FramePtr frame(av_frame_alloc());
    av::FramePtr scaled(av_frame_alloc());

    clockid_t self{};
    pthread_getcpuclockid(pthread_self(), &self);
    for (const av::PacketPtr &packet : packets) {
        const double t0 = threadCpuMs(self);
        orientation.getPacketDegree(packet.get());
        const double t1 = threadCpuMs(self);
        avcodec_send_packet(decoder, packet.get());
        const bool decoded = avcodec_receive_frame(decoder, frame.get()) >= 0;
        const double t2 = threadCpuMs(self);
        if (decoded)
            full.convert(frame.get(), CameraPictureSize);
        const double t3 = threadCpuMs(self);
        const QImage fromWhole = decoded ? window.convert(frame.get(), windowSize) : QImage();
        const double t4 = threadCpuMs(self);
        const bool scaledDecoded = scaledDecoder.decode(packet->data, packet->size, windowSize, scaled.get())
                                   == ScaledJpegDecoder::Result::Decoded;
        const double t5 = threadCpuMs(self);
        const QImage fromScaledFrame = scaledDecoded ? fromScaled.convert(scaled.get(), windowSize) : QImage();
        const double t6 = threadCpuMs(self);
        const double framePsnr = psnr(fromScaledFrame, fromWhole);
        stages.psnrMin = std::min(stages.psnrMin, framePsnr);
        stages.psnrSum += framePsnr;
        stages.scan += t1 - t0;
        stages.decode += t2 - t1;
        stages.convertFull += t3 - t2;
        stages.convertWindow += t4 - t3;
        stages.scaledDecode += t5 - t4;
        stages.scaledConvert += t6 - t5;
        stages.scaledWidth = scaledDecoded ? scaled->width : 0;
        for (int eighths = 1; eighths < 8; ++eighths) {
            const double t7 = threadCpuMs(self);
            scaledDecoder.decode(packet->data, packet->size, CameraPictureSize * eighths / 8, scaled.get());
            stages.decodeAtEighths[eighths] += threadCpuMs(self) - t7;
        }
        ++stages.frames;
    }
    return stages;
}

} // namespace

// The table and the key=value line of a run without a recording: the live loop at the
// camera's size, its stages, and the live loop for the window's size both ways.
void printLive(const LiveResult &live, const Stages &stages, const LiveResult &scaledLive, const LiveResult &wholeLive)
{
    // The reader's and its decoder's threads: everything but this benchmark's receiving one.
    const double perFrame = (live.processMs - live.mainMs) / live.frames;
    const double n = stages.frames;
    std::printf("%-40s %10s\n", "live loop (ReadThread)", "ms/frame");
    std::printf("%-40s %10.3f\n", "  block scan and restore", stages.scan / n);
    std::printf("%-40s %10.3f\n", "  decode", stages.decode / n);
    std::printf("%-40s %10.3f\n", "  conversion to a 1280x960 image", stages.convertFull / n);
    std::printf("%-40s %10.3f\n", "  or to the window's 600x600", stages.convertWindow / n);
    std::printf("%-40s %10.3f\n", "  sum of stages, 1280x960 (replayed)", (stages.scan + stages.decode + stages.convertFull) / n);
    std::printf("  decoded at the window's size (%d wide):\n", stages.scaledWidth);
    std::printf("%-40s %10.3f\n", "  decode, TurboJPEG", stages.scaledDecode / n);
    std::printf("%-40s %10.3f\n", "  conversion to the window's 600x600", stages.scaledConvert / n);
    std::printf("%-40s %10.2f\n", "  PSNR against the whole frame's, dB, mean", stages.psnrSum / n);
    std::printf("%-40s %10.2f\n", "  the same, the lowest", stages.psnrMin);
    std::printf("  TurboJPEG's decode at N/8 of the frame, ms:");
    for (int eighths = 1; eighths < 8; ++eighths)
        std::printf(" %d/8 %.3f", eighths, stages.decodeAtEighths[eighths] / n);
    std::printf("\n");
    std::printf("%-40s %10.3f\n", "  reader and decoder threads, live", perFrame);
    std::printf("%-40s %10.3f\n", "  receiving the pictures", live.mainMs / live.frames);
    // Each run's own receiving thread is left out, as above.
    const double scaledMs = (scaledLive.processMs - scaledLive.mainMs) / scaledLive.frames;
    const double wholeMs = (wholeLive.processMs - wholeLive.mainMs) / wholeLive.frames;
    std::printf("%-40s %10s\n", "live loop for the window's 600x600", "ms/frame");
    std::printf("%-40s %10.3f   (%d frames)\n", "  decoded at the window's size", scaledMs, scaledLive.frames);
    std::printf("%-40s %10.3f   (%d frames)\n", "  decoded whole", wholeMs, wholeLive.frames);
    std::printf("frames=%d lost=%d missing_reports=%d loop_ms_per_frame=%.4f scan_ms=%.4f decode_ms=%.4f "
                "convert_ms=%.4f window_convert_ms=%.4f scaled_decode_ms=%.4f scaled_convert_ms=%.4f "
                "window_loop_ms=%.4f window_whole_loop_ms=%.4f psnr_db=%.2f psnr_min_db=%.2f\n",
                live.frames, live.lost, int(missingReports), perFrame, stages.scan / n, stages.decode / n,
                stages.convertFull / n, stages.convertWindow / n, stages.scaledDecode / n, stages.scaledConvert / n,
                scaledMs, wholeMs, stages.psnrSum / n, stages.psnrMin);
}

int main(int argc, char *argv[])
{
    // The window's picture size is asked of the display widget, which wants a GUI
    // application; nothing is shown.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_live URL SECONDS\n");
        return 2;
    }
    const QString url = QString::fromLocal8Bit(argv[1]);
    const int seconds = std::max(1, std::atoi(argv[2]));
    const QString recording = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
    av_log_set_callback(countMissingPackets);
    av_log_set_level(AV_LOG_ERROR);

    const LiveResult live = runLive(url, seconds, recording);
    if (live.frames == 0) {
        std::fprintf(stderr, "bench_live: no frames from %s\n", argv[1]);
        return 1;
    }
    if (!recording.isEmpty()) {
        const MediaFile file = readMediaFile(recording);
        const int recorded = file.packets;
        const int missing = file.indices.isEmpty() ? -1 : file.indices.last() - file.indices.first() + 1 - recorded;
        // The encoder works on threads of its own: the loop's cost is everything but
        // this benchmark's receiving thread.
        const double loopMs = (live.processMs - live.mainMs) / live.frames;
        std::printf("%-40s %10s\n", "live loop with recording", "");
        std::printf("%-40s %10.3f\n", "  reader, decoder, encoder, ms/frame", loopMs);
        std::printf("%-40s %10.3f\n", "  receiving the pictures", live.mainMs / live.frames);
        std::printf("%-40s %10d\n", "  pictures received", live.frames);
        std::printf("%-40s %10d\n", "  pictures recorded", recorded);
        std::printf("%-40s %10d\n", "  camera frames missing from the file", missing);
        std::printf("%-40s %10.1f\n", "  longest gap, 1 s around StopRecord, ms", live.gapAroundStopMs);
        std::printf("%-40s %10.1f\n", "  longest gap in the 2 s before, ms", live.gapBeforeMs);
        std::printf("%-40s %10.1f\n", "  finishing the file afterwards, ms", live.finishingMs);
        std::printf("frames=%d recorded=%d lost=%d missing_reports=%d loop_ms_per_frame=%.4f stop_gap_ms=%.1f "
                    "gap_before_ms=%.1f finishing_ms=%.1f\n",
                    live.frames, recorded, missing, int(missingReports), loopMs, live.gapAroundStopMs, live.gapBeforeMs,
                    live.finishingMs);
        return 0;
    }
    const int windowSeconds = std::max(1, seconds / 2);
    const LiveResult scaledLive = runLiveAtWindowSize(url, windowSeconds, false);
    const LiveResult wholeLive = runLiveAtWindowSize(url, windowSeconds, true);
    if (scaledLive.frames == 0 || wholeLive.frames == 0) {
        std::fprintf(stderr, "bench_live: no frames from %s at the window's size\n", argv[1]);
        return 1;
    }
    const Stages stages = replayStages(url, 300);
    if (stages.frames == 0) {
        std::fprintf(stderr, "bench_live: could not replay %s\n", argv[1]);
        return 1;
    }

    printLive(live, stages, scaledLive, wholeLive);
    return 0;
}
