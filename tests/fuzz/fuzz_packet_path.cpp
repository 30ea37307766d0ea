// libFuzzer target: the live loop's path for one video packet (sensor block out, MJPEG
// decoding, conversion to the picture asked for, the emitted image) on mutated camera
// frames. Inputs of an even length are asked for at a small view's sizes, which TurboJPEG
// decodes at a fraction of the frame's (the seeds are small frames); the others at the
// camera's 1280x960, which libavcodec decodes whole.
//
// The reader is set up once, as openStream() leaves it, but on a stream made here with the
// camera's parameters; then every input is one packet through handlePacket(), so state
// carries over between inputs as between frames (the decoder, the scaler that is remade
// when the picture's size or format changes, the picture buffer, the kept angle).
//
// The sanitizers watch the memory; beyond that every packet is checked against what the
// window relies on, and a broken promise aborts:
//   - a packet gives at most one image, RGB32 at the size asked for, and none when it
//     yields no picture (the window keeps the last picture with its own angle);
//   - an image keeps its pixels after the next packet has been converted (it owns them).

#include "stream/readthread.h"
#include "tests/support/fuzzcheck.h"
#include "tests/support/readthreadaccess.h"

#include <QImage>
#include <QString>
#include <QtGlobal>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern const char FuzzTargetName[] = "fuzz_packet_path";

namespace {

// Every 16th row of an image: enough to see a picture converted over it, and cheap enough
// for every input (a deep copy of the whole image per input halves the run's speed).
const int SampleStep = 16;

void sampleRows(const QImage &image, std::vector<uint8_t> &rows)
{
    rows.clear();
    for (int y = 0; y < image.height(); y += SampleStep)
        rows.insert(rows.end(), image.constScanLine(y), image.constScanLine(y) + image.bytesPerLine());
}

struct Harness
{
    // The reader's log is its only word on whether a packet gave a picture; the rest of
    // the log is dropped, so that the run is not slowed down by printing.
    static bool &noPicture()
    {
        static bool value = false;
        return value;
    }
    static void onMessage(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        if (message.startsWith(QLatin1String("avcodec_receive_frame")))
            noPicture() = true;
    }

    Harness()
    {
        qInstallMessageHandler(&Harness::onMessage);
        av_log_set_level(AV_LOG_QUIET);

        // What the RTSP demuxer reports for the camera: MJPEG, 1280x960 yuvj422p, full
        // range, BT.601, 90 kHz.
        container = avformat_alloc_context();
        AVStream *stream = container ? avformat_new_stream(container, nullptr) : nullptr;
        if (!stream)
            fail("cannot make the stream");
        stream->time_base = AVRational{1, 90000};
        AVCodecParameters *par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_MJPEG;
        par->width = 1280;
        par->height = 960;
        par->format = AV_PIX_FMT_YUVJ422P;
        par->color_range = AVCOL_RANGE_JPEG;
        par->color_space = AVCOL_SPC_BT470BG;
        if (!ReadThreadTestAccess::openDecoder(reader, stream))
            fail("openDecoder failed");

        QObject::connect(&reader, &ReadThread::getImage, [this](QImage image, int, bool, bool, bool) {
            ++images;
            latest = image;
        });
    }
    ~Harness() { avformat_free_context(container); }

    void run(const uint8_t *data, size_t size)
    {
        av::PacketPtr packet(av_packet_alloc());
        // Padded and zeroed past the end, as every demuxer hands packets to a decoder.
        if (!packet || av_new_packet(packet.get(), int(size)) < 0)
            fail("out of memory");
        if (size)
            std::memcpy(packet->data, data, size);

        // The last image itself and a sample of its pixels: if it shared the reader's
        // buffer, converting the next picture would show through it.
        const QImage previous = latest;
        sampleRows(previous, previousRows);

        images = 0;
        noPicture() = false;
        const bool windowSizes = size % 2 == 0;
        const QSize plain = windowSizes ? QSize(50, 50) : QSize(1280, 960);
        const QSize circular = windowSizes ? QSize(70, 50) : QSize(1280, 960);
        reader.setPictureSizes(plain, circular);
        ReadThreadTestAccess::handlePacket(reader, packet.get());

        check(images <= 1, "more than one image for the packet");
        check(images == 0 || !noPicture(), "an image for a packet without a picture");
        if (!previous.isNull()) {
            sampleRows(previous, rowsNow);
            check(rowsNow == previousRows, "an emitted image changed after the next packet");
        }
        if (images == 0)
            return;
        const QSize asked = ReadThreadTestAccess::isHaveDegree(reader) ? circular : plain;
        check(latest.size() == asked, "image size is not the size asked for");
        check(latest.format() == QImage::Format_RGB32, "image format is not RGB32");
    }

    ReadThread reader;
    AVFormatContext *container = nullptr;
    QImage latest;
    int images = 0;
    std::vector<uint8_t> previousRows;
    std::vector<uint8_t> rowsNow;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4 << 20)
        return -1;
    static Harness harness;
    harness.run(data, size);
    return 0;
}
