#include "stream/readthread.h"
#include "support/camera.h"
#include "support/livereader.h"
#include "support/logcapture.h"
#include "support/opening.h"
#include "support/picture.h"
#include "support/process.h"

#include "frameencoder.h"
#include "sensorblock.h"

#include <QTcpServer>
#include <QtTest>

extern "C" {
#include <libavutil/time.h>
}

#include <cmath>
#include <memory>

// The live reader against the simulated camera, a real RTSP server on loopback.

namespace {

// Empty when the frame is a camera picture as the reader must deliver it: the camera's
// whole picture at 1280x960, in the RGB32 that the window paints as it is, which Qt
// requires to be opaque.
QString pictureProblem(const FrameCollector::Frame &frame)
{
    if (frame.image.size() != QSize(1280, 960) || frame.image.format() != QImage::Format_RGB32)
        return QStringLiteral("size or format");
    for (int y = 0; y < frame.image.height(); y += 97) {
        if (qAlpha(reinterpret_cast<const QRgb *>(frame.image.constScanLine(y))[y]) != 255)
            return QStringLiteral("alpha");
    }
    if (!frame.isMirror || !frame.autoMirror)
        return QStringLiteral("mirror flags");
    const QString quadrants = quadrantsOf(frame.image);
    if (quadrants != QLatin1String("RGBY"))
        return QStringLiteral("quadrants ") + quadrants;
    return QString();
}

av::PacketPtr packetOf(const std::vector<uint8_t> &bytes)
{
    av::PacketPtr packet(av_packet_alloc());
    if (packet && av_new_packet(packet.get(), int(bytes.size())) == 0)
        std::copy(bytes.begin(), bytes.end(), packet->data);
    return packet;
}

// The camera's picture as a lossless JPEG (SOF3), which libavcodec decodes and TurboJPEG
// does not.
std::vector<uint8_t> losslessJpeg(const camsim::Options &options)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_LJPEG);
    av::CodecContextPtr encoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    av::FramePtr frame(av_frame_alloc());
    if (!encoder || !frame)
        return {};
    encoder->width = frame->width = options.width;
    encoder->height = frame->height = options.height;
    encoder->pix_fmt = AV_PIX_FMT_BGR24;
    frame->format = AV_PIX_FMT_BGR24;
    encoder->time_base = {1, 30};
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    const std::vector<uint8_t> rgb = camsim::renderFrame(options, 7);
    for (int y = 0; y < options.height; ++y) {
        for (int x = 0; x < options.width; ++x) {
            const uint8_t *in = &rgb[3 * (size_t(y) * options.width + x)];
            uint8_t *out = frame->data[0] + y * frame->linesize[0] + 3 * x;
            out[0] = in[2], out[1] = in[1], out[2] = in[0];
        }
    }
    av::PacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0 || avcodec_receive_packet(encoder.get(), packet.get()) < 0)
        return {};
    return std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

std::shared_ptr<FrameDecoder::Session> mjpegSession()
{
    auto session = std::make_shared<FrameDecoder::Session>();
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    session->codecCtx.reset(avcodec_alloc_context3(codec));
    if (!session->codecCtx || avcodec_open2(session->codecCtx.get(), codec, nullptr) < 0)
        return nullptr;
    return session;
}

// The frame decoded whole by libavcodec and scaled to `size`, as every picture was before
// the screen's were decoded at their size.
QImage decodedWhole(const std::vector<uint8_t> &bytes, const QSize &size)
{
    const std::shared_ptr<FrameDecoder::Session> session = mjpegSession();
    av::PacketPtr packet = packetOf(bytes);
    av::FramePtr picture(av_frame_alloc());
    if (!session || avcodec_send_packet(session->codecCtx.get(), packet.get()) < 0
        || avcodec_receive_frame(session->codecCtx.get(), picture.get()) < 0)
        return QImage();
    return ImageConverter().convert(picture.get(), size);
}

#define CHECK_PICTURE(frame) \
    do { \
        const QString problem = pictureProblem(frame); \
        QVERIFY2(problem.isEmpty(), qPrintable(problem)); \
    } while (false)

} // namespace

class tst_ReadThread : public QObject
{
    Q_OBJECT

private slots:
    void deliversCameraPictures();
    void deliversAngles_data();
    void deliversAngles();
    void otherCameraFormats_data();
    void otherCameraFormats();
    void screenPictureAtItsSize_data();
    void screenPictureAtItsSize();
    void stopWhileWaiting();
    void stopIsNotUndoneByNextReader();
    void closedPortFailsFast();
    void silentServerTimesOut();
    void endOfStreamReconnects();
    void slowReceiverGetsNewestPicture();
};

void tst_ReadThread::deliversCameraPictures()
{
    camsim::Options options = loopbackCamera();
    Camera camera(options);
    QVERIFY(camera.start());
    LogCapture log;

    LiveReader reading;
    QVERIFY(reading.open(camera.url()));
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("codec_id 7"), QStringLiteral("初始化视频流成功")}));
    reading.reader->start();
    QVERIFY(reading.collect(20));

    int previous = -1;
    for (const FrameCollector::Frame &frame : reading.frames->frames) {
        CHECK_PICTURE(frame);
        QCOMPARE(frame.degree, 0);
        QCOMPARE(frame.isHaveDegree, false);
        const int index = frameIndexOf(frame.image);
        QVERIFY2(index > previous, qPrintable(QStringLiteral("frame %1 after %2").arg(index).arg(previous)));
        previous = index;
    }
    const FrameCollector::Frame &last = reading.frames->frames.last();
    const double psnr = psnrAgainstCamera(last.image, options, frameIndexOf(last.image));
    QVERIFY2(psnr >= 30, qPrintable(QString::number(psnr)));
}

void tst_ReadThread::deliversAngles_data()
{
    QTest::addColumn<int>("tilt");
    QTest::addColumn<int>("angle");
    QTest::addColumn<int>("sweepStep");
    QTest::newRow("type 1: the camera's own angle") << int(camsim::Tilt::AngleSweep) << 10 << 7;
    QTest::newRow("type 6: the sensor's readings") << int(camsim::Tilt::ReadingsSweep) << 0 << 13;
}

void tst_ReadThread::deliversAngles()
{
    QFETCH(int, tilt);
    QFETCH(int, angle);
    QFETCH(int, sweepStep);
    camsim::Options options = loopbackCamera();
    options.tilt = camsim::Tilt(tilt);
    options.angle = angle;
    options.sweepStep = sweepStep;
    Camera camera(options);
    QVERIFY(camera.start());

    LiveReader reading;
    QVERIFY(reading.start(camera.url()));
    QVERIFY(reading.collect(30));
    ReadThread predictor;
    QSet<int> angles;
    for (const FrameCollector::Frame &frame : reading.frames->frames) {
        CHECK_PICTURE(frame);
        const int index = frameIndexOf(frame.image);
        QVERIFY(index >= 0);
        // An angle from the camera marks the frame as having one; readings are turned
        // into an angle by the reader itself.
        if (options.tilt == camsim::Tilt::AngleSweep) {
            QVERIFY(frame.isHaveDegree);
            QCOMPARE(frame.degree, camsim::angleSent(options, index));
        } else {
            const camsim::Readings sent = camsim::readingsSent(options, index);
            QVERIFY(!frame.isHaveDegree);
            QCOMPARE(frame.degree, predictor.getDegree(sent.x, sent.y, sent.z));
        }
        angles << frame.degree;
    }
    QVERIFY(angles.size() >= 20);
}

void tst_ReadThread::otherCameraFormats_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("subsampled420");
    QTest::newRow("640x480 4:2:2") << 640 << 480 << false;
    QTest::newRow("1280x960 4:2:0") << 1280 << 960 << true;
    QTest::newRow("800x600 4:2:0") << 800 << 600 << true;
}

void tst_ReadThread::otherCameraFormats()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, subsampled420);

    camsim::Options options = loopbackCamera();
    options.width = width;
    options.height = height;
    options.sampling = subsampled420 ? camsim::Sampling::S420 : camsim::Sampling::S422;
    options.tilt = camsim::Tilt::Angle;
    options.angle = 123;
    Camera camera(options);
    QVERIFY(camera.start());

    LiveReader reading;
    QVERIFY(reading.start(camera.url()));
    QVERIFY(reading.collect(10));
    for (const FrameCollector::Frame &frame : reading.frames->frames) {
        CHECK_PICTURE(frame);
        QCOMPARE(frame.degree, 123);
        QVERIFY(frameIndexOf(frame.image) >= 0);
    }
    const FrameCollector::Frame &last = reading.frames->frames.last();
    const double psnr = psnrAgainstCamera(last.image, options, frameIndexOf(last.image));
    QVERIFY2(psnr >= 28, qPrintable(QString::number(psnr)));
}

void tst_ReadThread::screenPictureAtItsSize_data()
{
    QTest::addColumn<bool>("detailed");
    QTest::addColumn<bool>("subsampled420");
    QTest::addColumn<QString>("form"); // carrier: as the RTSP input hands it on; bare; lossless
    QTest::addColumn<QSize>("view");
    QTest::addColumn<int>("decodedWidth"); // by TurboJPEG, 0 when the frame is decoded whole
    QTest::addColumn<double>("psnr");      // at least, against the whole frame's decode
    const QString carrier = QStringLiteral("carrier");
    const QSize window(600, 600), circular(800, 600);
    QTest::newRow("quadrants, 4:2:2") << false << false << carrier << window << 800 << 38.0;
    QTest::newRow("quadrants, 4:2:0") << false << true << carrier << window << 800 << 38.0;
    QTest::newRow("detailed") << true << false << carrier << window << 800 << 38.0;
    QTest::newRow("detailed, circular view") << true << false << carrier << circular << 800 << 38.0;
    QTest::newRow("detailed, the camera's JPEG alone") << true << false << QStringLiteral("bare") << window << 800 << 38.0;
    QTest::newRow("detailed, a view that needs it whole") << true << false << carrier << QSize(1440, 1080) << 0 << 99.0;
    QTest::newRow("lossless, which TurboJPEG refuses") << false << false << QStringLiteral("lossless") << window << 0 << 99.0;
}

// A picture for the screen alone is decoded at the size it is shown at, as sharp as the
// whole frame decoded and scaled down; a frame TurboJPEG refuses is decoded whole, and
// the log told once.
void tst_ReadThread::screenPictureAtItsSize()
{
    QFETCH(bool, detailed);
    QFETCH(bool, subsampled420);
    QFETCH(QString, form);
    QFETCH(QSize, view);
    QFETCH(int, decodedWidth);
    QFETCH(double, psnr);

    camsim::Options options = loopbackCamera();
    options.detailed = detailed;
    options.sampling = subsampled420 ? camsim::Sampling::S420 : camsim::Sampling::S422;
    std::vector<uint8_t> bytes = form == QLatin1String("lossless") ? losslessJpeg(options) : camsim::encodeFrame(options, 7);
    if (form == QLatin1String("carrier"))
        bytes = camsim::carrierBuffer(bytes);
    QVERIFY(!bytes.empty());
    const QImage whole = decodedWhole(bytes, view);
    QCOMPARE(whole.size(), view);

    av::FramePtr scaled(av_frame_alloc());
    ScaledJpegDecoder scaler;
    const ScaledJpegDecoder::Result result = scaler.decode(bytes.data(), int(bytes.size()), view, scaled.get());
    QCOMPARE(result, decodedWidth > 0 ? ScaledJpegDecoder::Result::Decoded
                                      : form == QLatin1String("lossless") ? ScaledJpegDecoder::Result::Refused
                                                                          : ScaledJpegDecoder::Result::Whole);
    if (decodedWidth > 0)
        QCOMPARE(scaled->width, decodedWidth);

    LogCapture log;
    FrameMailbox mailbox;
    QImage shown;
    int pictures = 0;
    QObject::connect(&mailbox, &FrameMailbox::delivered, [&](const QImage &image) {
        shown = image;
        ++pictures;
    });
    FrameDecoder decoder(mailbox);
    decoder.setPictureSizes(view, view);
    decoder.start();
    const std::shared_ptr<FrameDecoder::Session> session = mjpegSession();
    for (int frame = 0; frame < 2; ++frame) {
        av::PacketPtr packet = packetOf(bytes);
        decoder.push(packet.get(), 0, false, session, av_gettime_relative());
        decoder.finishQueued();
        QTRY_COMPARE(pictures, frame + 1);
    }
    QCOMPARE(shown.size(), view);
    if (!detailed) {
        QCOMPARE(quadrantsOf(shown), QStringLiteral("RGBY"));
        for (const QPoint at : {QPoint(60, 120), QPoint(540, 120), QPoint(60, 420), QPoint(540, 420)}) {
            const QRgb a = shown.pixel(at), b = whole.pixel(at);
            const int most = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
            QVERIFY2(most <= 3, qPrintable(QStringLiteral("%1 levels apart at %2,%3").arg(most).arg(at.x()).arg(at.y())));
        }
    }
    const double measured = ::psnr(shown, whole);
    QVERIFY2(measured >= psnr, qPrintable(QString::number(measured)));
    const int refusals = log.lines().filter(QStringLiteral("scaled decode: TurboJPEG refuses")).size();
    QCOMPARE(refusals, form == QLatin1String("lossless") ? 1 : 0);
}

void tst_ReadThread::stopWhileWaiting()
{
    Camera camera(loopbackCamera(1));
    QVERIFY(camera.start());

    LiveReader reading;
    QVERIFY(reading.start(camera.url()));
    QVERIFY(reading.collect(1));
    // The next frame is most of a second away: the loop now waits in the network read.
    QTest::qWait(200);
    const int before = reading.frames->frames.size();

    QElapsedTimer timer;
    timer.start();
    reading.reader->stopRead();
    QVERIFY(reading.reader->wait(2000));
    QVERIFY2(timer.elapsed() <= 500, qPrintable(QString::number(timer.elapsed())));
    QCoreApplication::processEvents();
    QCOMPARE(reading.frames->frames.size(), before);
}

void tst_ReadThread::stopIsNotUndoneByNextReader()
{
    Camera camera(loopbackCamera(1));
    QVERIFY(camera.start());

    LiveReader first;
    QVERIFY(first.start(camera.url()));
    QVERIFY(first.collect(1));
    QTest::qWait(200);

    // A window that restarts at once stops the old reader and makes the next one while
    // the old one may still be blocked in its read.
    QElapsedTimer timer;
    timer.start();
    first.reader->stopRead();
    LiveReader second;
    QVERIFY(first.reader->wait(2000));
    QVERIFY2(timer.elapsed() <= 500, qPrintable(QString::number(timer.elapsed())));

    QVERIFY(second.start(camera.url()));
    QVERIFY(second.collect(2, 5000));
    CHECK_PICTURE(second.frames->frames.last());
}

void tst_ReadThread::closedPortFailsFast()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();

    LogCapture log;
    ReadThread reader;
    reader.url = QStringLiteral("rtsp://127.0.0.1:%1/webcam").arg(port);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!reader.openStream());
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(log.lines(), QStringList{QStringLiteral("打开视频流失败")});
}

void tst_ReadThread::silentServerTimesOut()
{
    SilentServer silent;
    LogCapture log;
    ReadThread reader;
    reader.url = silent.url();
    QElapsedTimer timer;
    timer.start();
    BackgroundOpen opening(reader);
    QVERIFY(!opening.result());
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 2500 && elapsed <= 4500, qPrintable(QString::number(elapsed)));
    QCOMPARE(log.lines(), QStringList{QStringLiteral("打开视频流失败")});
    QCOMPARE(silent.accepted.size(), 1);
}

// A stream that ends is a camera lost like any other: the reader says so and reaches the
// camera again by itself, in a new session whose frames count from 0.
void tst_ReadThread::endOfStreamReconnects()
{
    camsim::Options options = loopbackCamera();
    options.frames = 15;
    Camera camera(options);
    QVERIFY(camera.start());

    LiveReader reading;
    QVERIFY(reading.open(camera.url()));
    LogCapture log;
    QSignalSpy lost(reading.reader.get(), &ReadThread::cameraLost);
    QSignalSpy found(reading.reader.get(), &ReadThread::cameraFound);
    reading.reader->start();
    QVERIFY(lost.wait(10000));
    QVERIFY(log.contains(QStringLiteral("camera lost ")));
    const int firstSession = reading.frames->frames.size();
    QVERIFY(firstSession >= 1);
    const int lastOfFirst = frameIndexOf(reading.frames->frames.last().image);
    QVERIFY(lastOfFirst >= 0 && lastOfFirst < 15);
    QVERIFY(found.count() == 1 || found.wait(10000));
    // Pictures of the new session: numbered from 0 again.
    QTRY_VERIFY_WITH_TIMEOUT(reading.frames->frames.size() > firstSession
                                 && frameIndexOf(reading.frames->frames[firstSession].image) <= lastOfFirst,
                             10000);
    QVERIFY(reading.reader->isRunning());
}

// A window that cannot keep up: only the newest picture waits for it, so the heap does
// not grow by a picture per frame, and when it catches up it shows what the camera sends now.
void tst_ReadThread::slowReceiverGetsNewestPicture()
{
    Camera camera(loopbackCamera(10));
    QVERIFY(camera.start());
    LiveReader reading;
    QVERIFY(reading.start(camera.url()));
    QVERIFY(reading.collect(10));
    const long heapBefore = heapInUseKiB();
    const int before = reading.frames->frames.size();
    const int shownBefore = frameIndexOf(reading.frames->frames.last().image);

    // The receiver's thread is busy for 2 s, while some 20 pictures come in.
    QThread::msleep(2000);
    const long heapAfter = heapInUseKiB();
    QCoreApplication::processEvents();

    // One picture waited, not twenty, and it is one of the last: newer than what was shown
    // before by most of the time blocked (the oldest would be 1 frame newer).
    QCOMPARE(reading.frames->frames.size(), before + 1);
    const int shown = frameIndexOf(reading.frames->frames.last().image);
    QVERIFY2(shown >= shownBefore + 14, qPrintable(QStringLiteral("showed frame %1 after %2").arg(shown).arg(shownBefore)));
    // Twenty waiting pictures would take some 75 MB.
    QVERIFY(heapBefore > 0);
    QVERIFY2(heapAfter - heapBefore < 20 * 1024, qPrintable(QStringLiteral("%1 KiB more").arg(heapAfter - heapBefore)));
    QVERIFY(reading.collect(before + 5));
}

QTEST_MAIN(tst_ReadThread)
#include "tst_readthread.moc"
