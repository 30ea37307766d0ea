// The simulated camera as the viewer sees it: a real RTSP server on loopback, read with
// libavformat and the viewer's options, its packets searched for the sensor block.

#include "camerasim.h"
#include "support/ffmpeglog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>

namespace {

struct InputCloser {
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
struct CodecFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// The standard luminance AC table's counts of code lengths 4..15, as ITU-T T.81 gives them.
const std::vector<uint8_t> kStandardCounts = {0x03, 0x03, 0x02, 0x04, 0x03, 0x05,
                                              0x05, 0x04, 0x04, 0x00, 0x00, 0x01};

camsim::Options cameraOptions()
{
    camsim::Options options;
    options.port = 0;
    options.address = "127.0.0.1";
    options.width = 640;
    options.height = 480;
    options.fps = 50;
    return options;
}

// Opened as the viewer opens the camera.
InputPtr openStream(const std::string &url)
{
    AVDictionary *options = nullptr;
    av_dict_set(&options, "buffer_size", "1024000", 0);
    av_dict_set(&options, "rtsp_transport", "udp", 0);
    av_dict_set(&options, "timeout", "3000000", 0);
    AVFormatContext *raw = nullptr;
    const int ret = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    return InputPtr(ret < 0 ? nullptr : raw);
}

// What the camera has counted, in the order a client sends them: OPTIONS, DESCRIBE, SETUP,
// PLAY, TEARDOWN and the keep-alive GET_PARAMETER.
QVector<int> requestCounts(const camsim::Simulator &camera)
{
    QVector<int> counts;
    for (const char *method : {"OPTIONS", "DESCRIBE", "SETUP", "PLAY", "TEARDOWN", "GET_PARAMETER"})
        counts << camera.requests(method);
    return counts;
}

std::vector<uint8_t> readPacket(AVFormatContext *input, int *error = nullptr)
{
    PacketPtr packet(av_packet_alloc());
    const int ret = av_read_frame(input, packet.get());
    if (error)
        *error = ret;
    if (ret < 0)
        return {};
    return std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

struct Picture {
    int width = 0;
    int height = 0;
    std::string format;
    std::vector<uint8_t> rgb;
    int index() const { return camsim::readFrameIndex(rgb.data(), width, height, 3 * width); }
    int64_t stamp() const { return camsim::readClockStamp(rgb.data(), width, height, 3 * width); }
};

// FFmpeg's MJPEG decoder, pictures out as RGB24 (optionally scaled).
class Decoder
{
public:
    Decoder()
    {
        const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        context_.reset(avcodec_alloc_context3(codec));
        avcodec_open2(context_.get(), codec, nullptr);
    }

    bool decode(const std::vector<uint8_t> &data, Picture *picture, int width = 0, int height = 0)
    {
        PacketPtr packet(av_packet_alloc());
        if (av_new_packet(packet.get(), int(data.size())) < 0)
            return false;
        std::copy(data.begin(), data.end(), packet->data);
        std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
        if (avcodec_send_packet(context_.get(), packet.get()) < 0
            || avcodec_receive_frame(context_.get(), frame.get()) < 0)
            return false;
        picture->width = width ? width : frame->width;
        picture->height = height ? height : frame->height;
        picture->format = av_get_pix_fmt_name(AVPixelFormat(frame->format));
        picture->rgb.assign(size_t(picture->width) * picture->height * 3, 0);
        SwsContext *sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                         picture->width, picture->height, AV_PIX_FMT_RGB24,
                                         SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                         nullptr, nullptr, nullptr);
        uint8_t *planes[4] = {picture->rgb.data()};
        int strides[4] = {3 * picture->width};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
        sws_freeContext(sws);
        return true;
    }

private:
    std::unique_ptr<AVCodecContext, CodecFree> context_;
};

// Offset of the k-th FF C4 (from 1), -1 if there are fewer. In a packet the first is the
// header FFmpeg puts in front; the camera's comes second.
int nthDht(const std::vector<uint8_t> &data, int k)
{
    return int(camsim::dhtMarker(data.data(), data.size(), k));
}

std::vector<uint8_t> blockAt(const std::vector<uint8_t> &data, int p)
{
    return std::vector<uint8_t>(data.begin() + p + 8, data.begin() + p + 20);
}

std::vector<uint8_t> restored(std::vector<uint8_t> data, int p)
{
    std::copy(kStandardCounts.begin(), kStandardCounts.end(), data.begin() + p + 8);
    return data;
}

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    if (a.size() != b.size() || a.empty())
        return 0;
    double squared = 0;
    for (size_t i = 0; i < a.size(); ++i)
        squared += double(a[i] - b[i]) * double(a[i] - b[i]);
    const double mse = squared / double(a.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Rgb {
    int r, g, b;
};

// Mean colour of a box around (fx, fy), `half` of the picture's size each way.
Rgb meanColour(const Picture &p, double fx, double fy, double half = 0.05)
{
    const int x0 = int((fx - half) * p.width), x1 = int((fx + half) * p.width);
    const int y0 = int((fy - half) * p.height), y1 = int((fy + half) * p.height);
    double sum[3] = {};
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < 3; ++c)
                sum[c] += p.rgb[(size_t(y) * p.width + x) * 3 + c];
    const double n = double(x1 - x0) * (y1 - y0);
    return {int(sum[0] / n), int(sum[1] / n), int(sum[2] / n)};
}

QByteArray describe(const char *where, const Rgb &c)
{
    return QByteArray(where) + " " + QByteArray::number(c.r) + "," + QByteArray::number(c.g) + ","
           + QByteArray::number(c.b);
}

// Quadrants red, green / blue, yellow and the white triangle at the top: the picture is
// the right way up and not mirrored.
void checkQuadrants(const Picture &p)
{
    const Rgb red = meanColour(p, 0.25, 0.25), green = meanColour(p, 0.75, 0.25);
    const Rgb blue = meanColour(p, 0.25, 0.70), yellow = meanColour(p, 0.75, 0.70);
    const Rgb marker = meanColour(p, 0.5, 0.13, 0.01);
    QVERIFY2(red.r > 180 && red.g < 80 && red.b < 80, describe("top left", red));
    QVERIFY2(green.g > 150 && green.r < 80 && green.b < 80, describe("top right", green));
    QVERIFY2(blue.b > 180 && blue.r < 80 && blue.g < 80, describe("bottom left", blue));
    QVERIFY2(yellow.r > 180 && yellow.g > 170 && yellow.b < 80, describe("bottom right", yellow));
    QVERIFY2(marker.r > 230 && marker.g > 230 && marker.b > 230, describe("top centre", marker));
}

// The viewer's reading of a type-6 block, from its description: 12-bit readings, x and z
// signed, D = trunc(atan(xs/|zs|) * 180 / 3.14159265359) mapped by quadrant.
int signedTwelveBits(int value)
{
    return value > 2048 ? value - 4096 : value;
}

int viewerAngle(int x, int z)
{
    const int xs = signedTwelveBits(x), zs = signedTwelveBits(z);
    const int d = int(std::atan(double(xs) / std::abs(zs)) * 180 / 3.14159265359);
    if (zs > 0 && xs > 0)
        return d;
    if (zs > 0)
        return d + 360;
    return 180 - d;
}

bool inDeadBand(int y)
{
    return (y >= 811 && y <= 1079) || (y >= 2801 && y <= 3199);
}

// Whether the `read`-th frame a client reads, numbered `index`, follows `previous` in a
// stream that counts from 0 for every client. On a busy machine the loopback may drop a
// packet, and with it a frame: a frame or two may be missing.
bool countsFromZero(int index, int read, int previous)
{
    return index > previous && index >= read && index <= read + 2;
}

} // namespace

class tst_CameraSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parsesTiltChoices_data();
    void parsesTiltChoices();
    void parsesSizes();
    void readingsSweepSurvivesViewerArithmetic();
    void frameIndexSurvivesCodingAndScaling_data();
    void frameIndexSurvivesCodingAndScaling();
    void frameIndexRejectsOtherPictures();
    void detailedFrames();
    void blockModes_data();
    void blockModes();
    void pictureFormats_data();
    void pictureFormats();
    void corruptedFramesMakeDecoderComplain();
    void droppedPacketsLoseTheirFrames_data();
    void droppedPacketsLoseTheirFrames();
    void frameCountEndsStream();
    void everyClientStartsAtFrameZero();
    void gapSkipsFramesOnSameSession_data();
    void gapSkipsFramesOnSameSession();
    void stopEndsReadingClientAndRestarts_data();
    void stopEndsReadingClientAndRestarts();
    void busyPortIsReported();
};

void tst_CameraSim::initTestCase()
{
    av_log_set_level(AV_LOG_ERROR);
}

void tst_CameraSim::parsesTiltChoices_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("tilt");
    QTest::addColumn<int>("angle");
    QTest::addColumn<QVector<int>>("readings");

    using T = camsim::Tilt;
    QTest::newRow("none") << "none" << true << int(T::None) << 0 << QVector<int>{0, 0, 0};
    QTest::newRow("angle") << "angle:359" << true << int(T::Angle) << 359 << QVector<int>{0, 0, 0};
    QTest::newRow("angle 16 bits") << "angle:65535" << true << int(T::Angle) << 65535
                                   << QVector<int>{0, 0, 0};
    QTest::newRow("sweep") << "sweep" << true << int(T::AngleSweep) << 0 << QVector<int>{0, 0, 0};
    QTest::newRow("type6") << "type6:4095,900,17" << true << int(T::Readings) << 0
                           << QVector<int>{4095, 900, 17};
    QTest::newRow("type6 sweep") << "type6-sweep" << true << int(T::ReadingsSweep) << 0
                                 << QVector<int>{0, 0, 0};
    QTest::newRow("type6 zero") << "type6-zero" << true << int(T::ReadingsZero) << 0
                                << QVector<int>{0, 0, 0};
    QTest::newRow("unknown") << "unknown" << true << int(T::UnknownType) << 0
                             << QVector<int>{0, 0, 0};
    QTest::newRow("no tag") << "no-tag" << true << int(T::NoTag) << 0 << QVector<int>{0, 0, 0};
    for (const char *bad : {"angle:65536", "angle:-1", "angle:", "angle:12x", "type6:1,2",
                            "type6:4096,0,0", "type6:1,2,3,4", "sideways", ""})
        QTest::newRow(bad) << bad << false << int(T::None) << 0 << QVector<int>{0, 0, 0};
}

void tst_CameraSim::parsesTiltChoices()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, tilt);
    QFETCH(int, angle);
    QFETCH(QVector<int>, readings);

    camsim::Options options;
    std::string error;
    QCOMPARE(camsim::parseTilt(text.toStdString(), options, &error), valid);
    QCOMPARE(error.empty(), valid);
    QCOMPARE(int(options.tilt), tilt);
    QCOMPARE(options.angle, angle);
    QCOMPARE((QVector<int>{options.readings.x, options.readings.y, options.readings.z}), readings);
}

void tst_CameraSim::parsesSizes()
{
    camsim::Options options;
    QVERIFY(camsim::parseSize("640x480", options, nullptr));
    QCOMPARE(options.width, 640);
    QCOMPARE(options.height, 480);
    for (const char *bad : {"641x480", "640x", "2048x1536", "0x0", "640*480", "56x64"}) {
        QVERIFY2(!camsim::parseSize(bad, options, nullptr), bad);
        QCOMPARE(options.width, 640);
    }
}

void tst_CameraSim::readingsSweepSurvivesViewerArithmetic()
{
    for (int angle = 0; angle < 360; ++angle) {
        const camsim::Readings r = camsim::readingsForAngle(angle);
        QVERIFY(r.x >= 0 && r.x < 4096 && r.z >= 0 && r.z < 4096);
        QVERIFY(!inDeadBand(r.y));
        // No direction yields 90 or 270 through the truncation; the sweep settles for one less.
        const int expected = angle == 90 || angle == 270 ? angle - 1 : angle;
        QCOMPARE(viewerAngle(r.x, r.z), expected);
    }
}

void tst_CameraSim::frameIndexSurvivesCodingAndScaling_data()
{
    QTest::addColumn<QSize>("sent");
    QTest::addColumn<bool>("subsampled420");
    QTest::addColumn<QSize>("shown");
    QTest::addColumn<int>("frame");
    QTest::addColumn<qint64>("stamp"); // Options::clockStamp with this time; -1: no clock strip

    QTest::newRow("640x480 4:2:0 up to 1280x960") << QSize(640, 480) << true << QSize(1280, 960) << 1
                                                  << qint64(-1);
    QTest::newRow("1280x960 down to 640x480") << QSize(1280, 960) << false << QSize(640, 480) << 0xAAAA
                                              << qint64(-1);
    QTest::newRow("1280x960 4:2:0 as is") << QSize(1280, 960) << true << QSize(1280, 960) << 0xFFFF
                                          << qint64(-1);
    QTest::newRow("640x480 to 320x240") << QSize(640, 480) << false << QSize(320, 240) << 12345
                                        << qint64(-1);
    QTest::newRow("other aspect, past 16 bits") << QSize(1280, 960) << false << QSize(800, 450)
                                                << 70000 << qint64(-1);
    // The viewer's plain view squeezes the frame into 600x600; a player shows it at 640x480.
    QTest::newRow("clock, squeezed to 600x600") << QSize(1280, 960) << false << QSize(600, 600) << 4321
                                                << qint64(0x89ABCDEF);
    QTest::newRow("clock, 4:2:0 at 640x480") << QSize(1280, 960) << true << QSize(640, 480) << 99
                                             << qint64(0x5A5AA5A5);
}

void tst_CameraSim::frameIndexSurvivesCodingAndScaling()
{
    QFETCH(QSize, sent);
    QFETCH(bool, subsampled420);
    QFETCH(QSize, shown);
    QFETCH(int, frame);
    QFETCH(qint64, stamp);

    camsim::Options options;
    options.width = sent.width();
    options.height = sent.height();
    options.sampling = subsampled420 ? camsim::Sampling::S420 : camsim::Sampling::S422;
    options.clockStamp = stamp >= 0;
    Decoder decoder;
    Picture picture;
    QVERIFY(decoder.decode(camsim::encodeFrame(options, frame, uint32_t(std::max<qint64>(stamp, 0))),
                           &picture, shown.width(), shown.height()));
    QCOMPARE(picture.index(), frame & 0xFFFF);
    QCOMPARE(picture.stamp(), stamp);
    // A reader that fetches only the strip's rows from the screen reads the same.
    int top = 0, bottom = 0;
    camsim::clockStripRows(picture.height, &top, &bottom);
    const int stride = 3 * picture.width;
    QCOMPARE(camsim::readClockStrip(picture.rgb.data() + size_t(top) * stride, picture.width, bottom - top,
                                    stride),
             stamp);
}

void tst_CameraSim::frameIndexRejectsOtherPictures()
{
    camsim::Options options = cameraOptions();
    const std::vector<uint8_t> rgb = camsim::renderFrame(options, 1234);
    const int w = options.width, h = options.height, stride = 3 * w;
    QCOMPARE(camsim::readFrameIndex(rgb.data(), w, h, stride), 1234);

    std::vector<uint8_t> flipped(rgb.size()), mirrored(rgb.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                flipped[size_t(h - 1 - y) * stride + x * 3 + c] = rgb[size_t(y) * stride + x * 3 + c];
                mirrored[size_t(y) * stride + (w - 1 - x) * 3 + c] = rgb[size_t(y) * stride + x * 3 + c];
            }
    QCOMPARE(camsim::readFrameIndex(flipped.data(), w, h, stride), -1);
    QCOMPARE(camsim::readFrameIndex(mirrored.data(), w, h, stride), -1);
    const std::vector<uint8_t> grey(rgb.size(), 128);
    QCOMPARE(camsim::readFrameIndex(grey.data(), w, h, stride), -1);
}

void tst_CameraSim::detailedFrames()
{
    camsim::Options options; // 1280x960, 4:2:2, quality 85
    options.detailed = true;
    Decoder decoder;
    for (int frame : {0, 777}) {
        const std::vector<uint8_t> jpeg = camsim::encodeFrame(options, frame);
        QVERIFY2(jpeg.size() >= 100000 && jpeg.size() <= 200000, qPrintable(QString::number(jpeg.size())));
        Picture picture;
        QVERIFY(decoder.decode(jpeg, &picture));
        QCOMPARE(picture.index(), frame);
        checkQuadrants(picture);
    }
}

void tst_CameraSim::blockModes_data()
{
    QTest::addColumn<QString>("tilt");
    QTest::addColumn<int>("type");    // at +19; -1: the table stays standard
    QTest::addColumn<bool>("tagged"); // FE at +18
    QTest::addColumn<int>("angle");   // type 1 and 3: the 16-bit value sent with frame 0
    QTest::addColumn<int>("step");    // ... and how much it grows per frame (mod 360)
    QTest::addColumn<QVector<int>>("readings"); // type 6, fixed readings; empty: from angle

    QTest::newRow("none") << "none" << -1 << false << 0 << 0 << QVector<int>{};
    QTest::newRow("type 1") << "angle:123" << 1 << true << 123 << 0 << QVector<int>{};
    QTest::newRow("type 1 high byte") << "angle:40000" << 1 << true << 40000 << 0 << QVector<int>{};
    QTest::newRow("type 1 sweep") << "sweep" << 1 << true << 0 << 100 << QVector<int>{};
    QTest::newRow("type 6") << "type6:1000,0,3000" << 6 << true << 0 << 0
                            << QVector<int>{1000, 0, 3000};
    QTest::newRow("type 6 sweep") << "type6-sweep" << 6 << true << 0 << 100 << QVector<int>{};
    QTest::newRow("type 6 zero") << "type6-zero" << 6 << true << 0 << 0 << QVector<int>{0, 0, 0};
    QTest::newRow("unknown type") << "unknown" << 3 << true << 0 << 0 << QVector<int>{};
    QTest::newRow("no tag") << "no-tag" << 1 << false << 0 << 0 << QVector<int>{};
}

void tst_CameraSim::blockModes()
{
    QFETCH(QString, tilt);
    QFETCH(int, type);
    QFETCH(bool, tagged);
    QFETCH(int, angle);
    QFETCH(int, step);
    QFETCH(QVector<int>, readings);

    camsim::Options options = cameraOptions();
    QVERIFY(camsim::parseTilt(tilt.toStdString(), options, nullptr));
    options.sweepStep = step;
    camsim::Simulator camera(options);
    QVERIFY2(camera.start(), camera.errorString().c_str());
    InputPtr input = openStream(camera.url());
    QVERIFY(input);

    Decoder decoder;
    for (int read = 0, previous = -1; read < 5; ++read) {
        const std::vector<uint8_t> packet = readPacket(input.get());
        const int p = nthDht(packet, 2);
        QVERIFY(p > 0 && p + 20 <= int(packet.size()));
        QCOMPARE(packet[p + 4], uint8_t(0x10)); // the camera's first table: luminance AC
        const std::vector<uint8_t> block = blockAt(packet, p);

        Picture picture;
        QVERIFY(decoder.decode(restored(packet, p), &picture));
        const int n = picture.index();
        QVERIFY2(countsFromZero(n, read, previous), qPrintable(QStringLiteral("frame %1 read %2").arg(n).arg(read)));
        previous = n;
        const camsim::SensorBlock expected = camsim::sensorBlock(options, n);
        QCOMPARE(block, std::vector<uint8_t>(expected.begin(), expected.end()));
        QVERIFY(psnr(picture.rgb, camsim::renderFrame(options, n)) >= 35);
        // To the decoder the restored packet is the camera's own JPEG, pixel for pixel.
        const std::vector<uint8_t> cameraJpeg = camsim::encodeFrame(options, n);
        Picture alone;
        QVERIFY(Decoder().decode(restored(cameraJpeg, nthDht(cameraJpeg, 1)), &alone));
        QVERIFY(alone.rgb == picture.rgb);

        if (type < 0) {
            QCOMPARE(block, kStandardCounts);
            continue;
        }
        QCOMPARE(block[10] == 0xFE, tagged);
        QCOMPARE(int(block[11]), type);
        const int value16 = block[0] | block[1] << 8;
        if (type == 1 || type == 3)
            QCOMPARE(value16, step ? (angle + n * step) % 360 : angle);
        if (type == 6) {
            int r[3];
            for (int i = 0; i < 3; ++i) {
                const int word = block[2 * i] | block[2 * i + 1] << 8;
                QCOMPARE(word & 0xF, 0); // 12-bit readings, shifted left by 4
                r[i] = word >> 4;
            }
            if (!readings.isEmpty()) {
                QCOMPARE((QVector<int>{r[0], r[1], r[2]}), readings);
            } else {
                QVERIFY(!inDeadBand(r[1]));
                QCOMPARE(viewerAngle(r[0], r[2]), (angle + n * step) % 360);
            }
            // Left as sent, the tables are broken: no decoder makes the picture out of it.
            Picture broken;
            QVERIFY(!Decoder().decode(packet, &broken)
                    || psnr(broken.rgb, camsim::renderFrame(options, n)) < 35);
        }
    }
}

void tst_CameraSim::pictureFormats_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("subsampled420");
    QTest::addColumn<QString>("format");

    QTest::newRow("1280x960 4:2:2") << QSize(1280, 960) << false << "yuvj422p";
    QTest::newRow("640x480 4:2:2") << QSize(640, 480) << false << "yuvj422p";
    QTest::newRow("640x480 4:2:0") << QSize(640, 480) << true << "yuvj420p";
    QTest::newRow("1280x960 4:2:0") << QSize(1280, 960) << true << "yuvj420p";
}

void tst_CameraSim::pictureFormats()
{
    QFETCH(QSize, size);
    QFETCH(bool, subsampled420);
    QFETCH(QString, format);

    camsim::Options options = cameraOptions();
    options.width = size.width();
    options.height = size.height();
    options.sampling = subsampled420 ? camsim::Sampling::S420 : camsim::Sampling::S422;
    camsim::Simulator camera(options);
    QVERIFY(camera.start());
    InputPtr input = openStream(camera.url());
    QVERIFY(input);
    QVERIFY(avformat_find_stream_info(input.get(), nullptr) >= 0);
    QCOMPARE(input->nb_streams, 1u);
    const AVCodecParameters *par = input->streams[0]->codecpar;
    QCOMPARE(par->codec_id, AV_CODEC_ID_MJPEG);
    QCOMPARE(QSize(par->width, par->height), size);

    Decoder decoder;
    Picture picture;
    const std::vector<uint8_t> packet = readPacket(input.get());
    QVERIFY(decoder.decode(packet, &picture));
    QCOMPARE(QString::fromStdString(picture.format), format);
    QCOMPARE(QSize(picture.width, picture.height), size);
    QVERIFY(picture.index() >= 0);
    QVERIFY(psnr(picture.rgb, camsim::renderFrame(options, picture.index())) >= 35);
    checkQuadrants(picture);
}

void tst_CameraSim::corruptedFramesMakeDecoderComplain()
{
    camsim::Options options = cameraOptions();
    options.corruptEvery = 3;
    camsim::Simulator camera(options);
    QVERIFY(camera.start());
    InputPtr input = openStream(camera.url());
    QVERIFY(input);

    Decoder decoder;
    int corrupted = 0, damagedSent = 0;
    for (int read = 0, previous = -1; read < 7; ++read) {
        const std::vector<uint8_t> packet = readPacket(input.get());
        QVERIFY(!packet.empty());
        FfmpegLog ffmpeg;
        Picture picture;
        QVERIFY(decoder.decode(packet, &picture)); // damaged, but still a picture
        const bool complained = ffmpeg.errors() > 0;
        // The damage lies below the index strip, so even a damaged frame says which it is.
        const int n = picture.index();
        QVERIFY(countsFromZero(n, read, previous));
        previous = n;
        QCOMPARE(complained, n % 3 == 2);
        corrupted += complained;
        damagedSent += n % 3 == 2;
    }
    QVERIFY(corrupted >= 1);
    QCOMPARE(corrupted, damagedSent);
}

void tst_CameraSim::droppedPacketsLoseTheirFrames_data()
{
    QTest::addColumn<double>("percent"); // Options::dropPercent
    QTest::addColumn<int>("burst");      // Options::dropBurst
    QTest::addColumn<int>("every");      // Options::dropFrameEvery
    QTest::addColumn<bool>("valid");

    QTest::newRow("middle packet of every 3rd frame") << 0.0 << 1 << 3 << true;
    QTest::newRow("5 % at random") << 5.0 << 1 << 0 << true;
    QTest::newRow("5 % in runs of 6") << 5.0 << 6 << 0 << true;
    QTest::newRow("over 100 %") << 101.0 << 1 << 0 << false;
    QTest::newRow("runs of none") << 5.0 << 0 << 0 << false;
    QTest::newRow("every -1st frame") << 0.0 << 1 << -1 << false;
}

// A reader with the viewer's options never gets a frame that lost a packet (FFmpeg's RTP/JPEG
// depacketizer drops incomplete frames), and gets the others.
void tst_CameraSim::droppedPacketsLoseTheirFrames()
{
    QFETCH(double, percent);
    QFETCH(int, burst);
    QFETCH(int, every);
    QFETCH(bool, valid);

    camsim::Options options = cameraOptions();
    options.clockStamp = true;
    options.dropPercent = percent;
    options.dropBurst = burst;
    options.dropFrameEvery = every;
    camsim::Simulator camera(options);
    if (!valid) {
        QVERIFY(!camera.start());
        QVERIFY2(camera.errorString().find("drop") != std::string::npos, camera.errorString().c_str());
        return;
    }
    QVERIFY2(camera.start(), camera.errorString().c_str());
    InputPtr input = openStream(camera.url());
    QVERIFY(input);

    constexpr int kFrames = 60;
    Decoder decoder;
    std::vector<bool> arrived(kFrames + 1, false);
    int last = -1;
    QElapsedTimer clock;
    clock.start();
    while (last < kFrames && clock.elapsed() < 20000) {
        const std::vector<uint8_t> packet = readPacket(input.get());
        QVERIFY(!packet.empty());
        Picture picture;
        QVERIFY(decoder.decode(packet, &picture));
        const int n = picture.index();
        QVERIFY2(n > last, qPrintable(QStringLiteral("%1 after %2").arg(n).arg(last)));
        QVERIFY2(!camera.droppedFrom(n), qPrintable(QStringLiteral("frame %1 lost a packet").arg(n)));
        // The picture says when it was sent: a moment ago, by this machine's clock.
        const int32_t age = int32_t(camsim::clockStampNow() - uint32_t(picture.stamp()));
        QVERIFY2(picture.stamp() >= 0 && age >= 0 && age < 3000, qPrintable(QString::number(age)));
        if (n <= kFrames)
            arrived[size_t(n)] = true;
        last = n;
    }
    QVERIFY2(last >= kFrames, qPrintable(QString::number(last)));

    int whole = 0, shown = 0, hit = 0;
    for (int n = 0; n <= kFrames; ++n) {
        const bool dropped = camera.droppedFrom(n);
        if (every > 0)
            QCOMPARE(dropped, n % every == every - 1);
        hit += dropped;
        whole += !dropped;
        shown += !dropped && arrived[size_t(n)];
    }
    QVERIFY2(hit > 0, "no frame lost a packet");
    // The frames that lost nothing arrive; a loaded machine may lose one of them on its own.
    QVERIFY2(shown >= whole * 9 / 10, qPrintable(QStringLiteral("%1 of %2").arg(shown).arg(whole)));
    if (percent > 0) {
        const double share = 100.0 * double(camera.packetsDropped())
                             / double(camera.packetsSent() + camera.packetsDropped());
        QVERIFY2(share >= percent / 2 && share <= percent * 2, qPrintable(QString::number(share)));
    }
}

void tst_CameraSim::frameCountEndsStream()
{
    camsim::Options options = cameraOptions();
    options.frames = 5;
    camsim::Simulator camera(options);
    QVERIFY(camera.start());
    InputPtr input = openStream(camera.url());
    QVERIFY(input);

    Decoder decoder;
    QElapsedTimer sinceLast;
    int error = 0;
    for (int read = 0, previous = -1;; ++read) {
        const std::vector<uint8_t> packet = readPacket(input.get(), &error);
        if (packet.empty())
            break;
        sinceLast.start();
        Picture picture;
        QVERIFY(decoder.decode(packet, &picture));
        QVERIFY(countsFromZero(picture.index(), read, previous));
        previous = picture.index();
        QVERIFY(previous < 5);
    }
    QCOMPARE(error, AVERROR_EOF);
    // An end announced by the server, not the client's 3 s timeout running out.
    QVERIFY2(sinceLast.elapsed() < 1500, qPrintable(QString::number(sinceLast.elapsed())));
    QCOMPARE(camera.streamsEnded(), 1);
}

void tst_CameraSim::everyClientStartsAtFrameZero()
{
    camsim::Simulator camera(cameraOptions());
    QVERIFY(camera.start());
    Decoder decoder;
    Picture picture;

    InputPtr first = openStream(camera.url());
    QVERIFY(first);
    for (int read = 0, previous = -1; read < 6; ++read) {
        QVERIFY(decoder.decode(readPacket(first.get()), &picture));
        QVERIFY(countsFromZero(picture.index(), read, previous));
        previous = picture.index();
    }
    InputPtr second = openStream(camera.url());
    QVERIFY(second);
    QVERIFY(decoder.decode(readPacket(second.get()), &picture));
    QCOMPARE(picture.index(), 0);
    QVERIFY(decoder.decode(readPacket(first.get()), &picture));
    QVERIFY(picture.index() >= 6);
    QCOMPARE(camera.activeStreams(), 2);
    QCOMPARE(requestCounts(camera), (QVector<int>{2, 2, 2, 2, 0, 0}));

    // Closing sends TEARDOWN (no interrupt callback holds it back), and that ends the
    // client's pipeline at once, not when its session would time out.
    QElapsedTimer sinceClose;
    sinceClose.start();
    first.reset();
    second.reset();
    QTRY_COMPARE(camera.activeStreams(), 0);
    QVERIFY2(sinceClose.elapsed() < 1000, qPrintable(QString::number(sinceClose.elapsed())));
    QTRY_COMPARE(camera.requests("TEARDOWN"), 2);
    // Nothing to wait for when nothing should happen: watch for ten frame periods. One
    // frame may have been on its way when the pipeline went.
    const int64_t sent = camera.framesSent();
    QTest::qWait(200);
    QVERIFY(camera.framesSent() <= sent + 1);

    InputPtr third = openStream(camera.url());
    QVERIFY(third);
    QVERIFY(decoder.decode(readPacket(third.get()), &picture));
    QCOMPARE(picture.index(), 0);
    QCOMPARE(requestCounts(camera), (QVector<int>{3, 3, 3, 3, 2, 0}));
}

void tst_CameraSim::gapSkipsFramesOnSameSession_data()
{
    QTest::addColumn<int>("pauseMs"); // pauseSending() once frames flow; 0: none
    QTest::addColumn<double>("every"); // Options::gapEvery
    QTest::addColumn<double>("length"); // Options::gapLength
    QTest::addColumn<bool>("valid");

    QTest::newRow("pauseSending") << 1500 << 0.0 << 0.0 << true;
    QTest::newRow("every 1 s, 1.5 s long") << 0 << 1.0 << 1.5 << true;
    QTest::newRow("length alone") << 0 << 0.0 << 1.0 << false;
    QTest::newRow("every alone") << 0 << 1.0 << 0.0 << false;
    QTest::newRow("negative") << 0 << -1.0 << 1.0 << false;
}

void tst_CameraSim::gapSkipsFramesOnSameSession()
{
    QFETCH(int, pauseMs);
    QFETCH(double, every);
    QFETCH(double, length);
    QFETCH(bool, valid);

    camsim::Options options = cameraOptions();
    options.gapEvery = every;
    options.gapLength = length;
    camsim::Simulator camera(options);
    if (!valid) {
        QVERIFY(!camera.start());
        QVERIFY2(camera.errorString().find("gap") != std::string::npos, camera.errorString().c_str());
        return;
    }
    QVERIFY2(camera.start(), camera.errorString().c_str());
    InputPtr input = openStream(camera.url());
    QVERIFY(input);

    const int gapMs = pauseMs ? pauseMs : int(length * 1000);
    const int gapFrames = gapMs * options.fps / 1000;
    Decoder decoder;
    Picture picture;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(decoder.decode(readPacket(input.get()), &picture));
    int lastIndex = picture.index();
    qint64 lastAt = clock.elapsed();

    InputPtr late; // a client that connects during the gap
    qint64 lateOpenMs = 0;
    if (pauseMs) {
        camera.pauseSending(std::chrono::milliseconds(pauseMs));
        QElapsedTimer opening;
        opening.start();
        late = openStream(camera.url());
        lateOpenMs = opening.elapsed();
        QVERIFY(late);
        // The server answers while nothing is sent, not once the gap is over.
        QVERIFY2(lateOpenMs < gapMs / 2, qPrintable(QString::number(lateOpenMs)));
    }
    const QVector<int> requests = requestCounts(camera);

    int before = -1, after = -1;
    qint64 silence = 0;
    // On the clock of startedAt(): the last frame before the silence and the first after it.
    using Steady = std::chrono::steady_clock;
    Steady::time_point lastSteady = Steady::now(), beforeSteady, afterSteady;
    while (before < 0 && clock.elapsed() < 10000) {
        QVERIFY(decoder.decode(readPacket(input.get()), &picture));
        const qint64 at = clock.elapsed();
        const Steady::time_point now = Steady::now();
        if (at - lastAt > gapMs / 2) {
            silence = at - lastAt;
            before = lastIndex;
            after = picture.index();
            beforeSteady = lastSteady;
            afterSteady = now;
        }
        lastAt = at;
        lastSteady = now;
        lastIndex = picture.index();
    }
    QVERIFY2(before >= 0, "no gap in the frames");
    if (every > 0) {
        // The gaps keep to the schedule that startedAt() gives, which another process reads
        // from camera-sim's output: nothing is sent before a gap's end, and the frames stop
        // about when it begins.
        const auto sinceStart = [&camera](Steady::time_point t) {
            return std::chrono::duration<double>(t - camera.startedAt()).count();
        };
        const double cycle = every + length;
        const double end = every + length + std::floor((sinceStart(afterSteady) - every - length + 0.1) / cycle) * cycle;
        QVERIFY2(sinceStart(afterSteady) >= end && sinceStart(afterSteady) < end + 0.3,
                 qPrintable(QStringLiteral("frames again %1 s after the start, the gap ended at %2 s").arg(sinceStart(afterSteady)).arg(end)));
        // A busy reader may read the last frame before the gap late, never early.
        QVERIFY2(sinceStart(beforeSteady) > end - length - 0.3 && sinceStart(beforeSteady) < end,
                 qPrintable(QStringLiteral("last frame %1 s after the start, the gap began at %2 s").arg(sinceStart(beforeSteady)).arg(end - length)));
    }
    QVERIFY2(silence >= gapMs * 6 / 10 && silence <= gapMs + 1500, qPrintable(QString::number(silence)));
    // Skipped, not delayed: the numbers went on with time.
    QVERIFY2(after - before >= gapFrames * 8 / 10 && after - before <= gapFrames * 13 / 10 + 10,
             qPrintable(QStringLiteral("%1 to %2").arg(before).arg(after)));

    if (late) {
        // Its numbers went on from when it was set up, during the gap.
        QVERIFY(decoder.decode(readPacket(late.get()), &picture));
        const int lowest = std::max<int>(1, (gapMs - lateOpenMs) * options.fps / 1000 - 3);
        QVERIFY2(picture.index() >= lowest && picture.index() <= gapFrames + 10,
                 qPrintable(QString::number(picture.index())));
    }
    // The same session goes on: frames in order, no client had to set up again.
    for (int n = 0; n < 5; ++n) {
        QVERIFY(decoder.decode(readPacket(input.get()), &picture));
        QVERIFY2(picture.index() > lastIndex && picture.index() <= lastIndex + 5,
                 qPrintable(QStringLiteral("%1 after %2").arg(picture.index()).arg(lastIndex)));
        lastIndex = picture.index();
    }
    QCOMPARE(requestCounts(camera), requests);
    QCOMPARE(camera.activeStreams(), late ? 2 : 1);
}

void tst_CameraSim::stopEndsReadingClientAndRestarts_data()
{
    QTest::addColumn<bool>("restart"); // restart(): back on the same port at once

    QTest::newRow("stop, start") << false;
    QTest::newRow("restart") << true;
}

void tst_CameraSim::stopEndsReadingClientAndRestarts()
{
    QFETCH(bool, restart);

    camsim::Simulator camera(cameraOptions());
    QVERIFY(camera.start());
    const int port = camera.port();
    InputPtr input = openStream(camera.url());
    QVERIFY(input);

    std::atomic<int> packets{0};
    std::atomic<bool> ended{false};
    int lastError = 0;
    std::thread reader([&] {
        for (;;) {
            int error = 0;
            if (readPacket(input.get(), &error).empty()) {
                lastError = error;
                break;
            }
            ++packets;
        }
        ended = true;
    });
    // Should a check below fail, the reader still has to end before its thread goes.
    const auto joinReader = [&] {
        camera.stop();
        reader.join();
    };
    struct Guard {
        std::function<void()> atExit;
        ~Guard() { atExit(); }
    } guard{[&] {
        if (reader.joinable())
            joinReader();
    }};
    QTRY_VERIFY(packets >= 3);
    QElapsedTimer sinceStop;
    sinceStop.start();
    if (restart)
        QVERIFY2(camera.restart(), camera.errorString().c_str());
    else
        camera.stop();
    QTRY_VERIFY_WITH_TIMEOUT(ended, 5000);
    reader.join();
    QVERIFY(lastError < 0);
    // The server closed the session: the client need not wait out its 3 s timeout.
    QVERIFY2(sinceStop.elapsed() < 2000, qPrintable(QString::number(sinceStop.elapsed())));
    input.reset();

    if (restart)
        QCOMPARE(camera.port(), port);
    else
        QVERIFY(camera.start());
    QVERIFY(camera.isRunning());
    input = openStream(camera.url());
    QVERIFY(input);
    Decoder decoder;
    Picture picture;
    QVERIFY(decoder.decode(readPacket(input.get()), &picture));
    QCOMPARE(picture.index(), 0);
    // Counted over both servers; the first client's TEARDOWN went nowhere.
    QCOMPARE(requestCounts(camera), (QVector<int>{2, 2, 2, 2, 0, 0}));
}

void tst_CameraSim::busyPortIsReported()
{
    camsim::Simulator first(cameraOptions());
    QVERIFY(first.start());
    camsim::Options options = cameraOptions();
    options.port = first.port();
    camsim::Simulator second(options);
    QVERIFY(!second.start());
    QVERIFY(!second.errorString().empty());
    QVERIFY(!second.isRunning());

    InputPtr input = openStream(first.url());
    QVERIFY(input);
    QVERIFY(!readPacket(input.get()).empty());
}

QTEST_GUILESS_MAIN(tst_CameraSim)
#include "tst_camerasim.moc"
