#include "stream/readthread.h"
#include "support/camera.h"
#include "support/livereader.h"
#include "support/logcapture.h"
#include "support/opening.h"
#include "support/picture.h"
#include "support/process.h"

#include "sensorblock.h"

#include <QTcpServer>
#include <QtTest>

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
