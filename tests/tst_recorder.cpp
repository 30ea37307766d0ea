#include "playback/playbackthread.h"
#include "stream/readthread.h"
#include "support/camera.h"
#include "support/livereader.h"
#include "support/logcapture.h"
#include "support/mediafile.h"
#include "support/picture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <csignal>
#include <memory>

// Recording the live stream to MP4 and replaying the file.

namespace {

// A reader running against its own camera.
struct CameraReader : LiveReader
{
    Camera camera;
    explicit CameraReader(const camsim::Options &options = loopbackCamera())
        : camera(options)
    {
    }
    bool start() { return camera.start() && LiveReader::start(camera.url()); }
};

bool isBaseline(int profile)
{
    return profile == FF_PROFILE_H264_BASELINE || profile == FF_PROFILE_H264_CONSTRAINED_BASELINE;
}

// Records `frames` frames of a camera to `path`; returns the seconds the recording ran.
double record(CameraReader &live, const QString &path, int frames)
{
    QElapsedTimer timer;
    if (!live.reader->setRecord(true, path))
        return -1;
    timer.start();
    live.waitFrames(frames);
    live.reader->setRecord(false, QString());
    return timer.elapsed() / 1000.0;
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void recordsCameraAsH264();
    void smallCameraRecordsFullSize();
    void nonAsciiFileName();
    void startThenStopFinishesFile();
    void unwritableFileLeavesRecordingOff();
    void fileSizeLimitMidRecording();
    void cameraLostWhileRecording();
    void replaysRecording();
    void replayStopsOnRequest();
    void replayOfMissingFileFails();

private:
    QTemporaryDir dir;
};

void tst_Recorder::recordsCameraAsH264()
{
    CameraReader live;
    QVERIFY(live.start());
    // Recording begins well into the live view; the file starts at 0 all the same.
    QVERIFY(live.waitFrames(45));
    LogCapture log;
    const QString path = dir.filePath(QStringLiteral("camera.mp4"));
    const double seconds = record(live, path, 60);
    QVERIFY(seconds > 0);
    QCOMPARE(log.lines().first(), path);

    const MediaFile file = readMediaFile(path);
    QVERIFY(file.opened);
    QCOMPARE(file.streams, 1);
    QCOMPARE(file.codec, AV_CODEC_ID_H264);
    QVERIFY2(isBaseline(file.profile), qPrintable(QString::number(file.profile)));
    QCOMPARE(file.width, 1280);
    QCOMPARE(file.height, 960);
    QCOMPARE(file.format, AV_PIX_FMT_YUV420P);
    QVERIFY2(std::abs(file.startSeconds) < 0.05, qPrintable(QString::number(file.startSeconds)));
    // Every picture that arrived while recording is in the file, once, and the file lasts
    // as long as the camera took to send them (30 a second), however late a slow
    // machine handled them.
    const int first = frameIndexOf(file.first), last = frameIndexOf(file.last);
    QVERIFY(first >= 45 && last > first);
    QCOMPARE(file.packets, last - first + 1);
    const double sent = file.packets / 30.0;
    QVERIFY2(std::abs(file.durationSeconds - sent) < 0.2,
             qPrintable(QStringLiteral("%1 s in the file, %2 s of frames").arg(file.durationSeconds).arg(sent)));
    QVERIFY2(std::abs(file.durationSeconds - seconds) < 1.5,
             qPrintable(QStringLiteral("%1 s in the file, %2 s recorded").arg(file.durationSeconds).arg(seconds)));
    QVERIFY(file.packets >= 60);
    QCOMPARE(file.discardedPackets, 0);
    // Camera frames are all intra; the H.264 stream need not be.
    QVERIFY2(file.keyPackets < file.packets / 2, qPrintable(QString::number(file.keyPackets)));

    const double psnr = psnrAgainstCamera(file.last, loopbackCamera(), last);
    QVERIFY2(psnr >= 30, qPrintable(QString::number(psnr)));
}

void tst_Recorder::smallCameraRecordsFullSize()
{
    camsim::Options options = loopbackCamera();
    options.width = 640;
    options.height = 480;
    options.sampling = camsim::Sampling::S420;
    CameraReader live(options);
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("small.mp4"));
    QVERIFY(record(live, path, 20) > 0);
    const MediaFile file = readMediaFile(path);
    QCOMPARE(file.width, 1280);
    QCOMPARE(file.height, 960);
    QVERIFY(file.packets >= 20);
    const double psnr = psnrAgainstCamera(file.last, options, frameIndexOf(file.last));
    QVERIFY2(psnr >= 28, qPrintable(QString::number(psnr)));
}

void tst_Recorder::nonAsciiFileName()
{
    CameraReader live;
    QVERIFY(live.start());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("桌面")));
    const QString path = dir.filePath(QStringLiteral("桌面/检测 记录.mp4"));
    LogCapture log;
    QVERIFY(record(live, path, 10) > 0);
    QCOMPARE(log.lines().first(), path);
    QVERIFY(readMediaFile(path).packets >= 10);
}

void tst_Recorder::startThenStopFinishesFile()
{
    CameraReader live;
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("empty.mp4"));
    QVERIFY(live.reader->setRecord(true, path));
    QCOMPARE(live.reader->setRecord(false, QString()), false);
    const MediaFile file = readMediaFile(path);
    // A complete MP4 with no pictures: the muxer leaves out a track without samples.
    QVERIFY(file.opened);
    QVERIFY(file.packets <= 1);
    QVERIFY(file.streams <= 1);
    // A second stop is harmless.
    QCOMPARE(live.reader->setRecord(false, QString()), false);
}

void tst_Recorder::unwritableFileLeavesRecordingOff()
{
    CameraReader live;
    QVERIFY(live.start());
    LogCapture log;
    const QString path = dir.filePath(QStringLiteral("no-such-folder/clip.mp4"));
    QCOMPARE(live.reader->setRecord(true, path), false);
    QVERIFY(log.contains(QStringLiteral("avio_open error ")));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(live.waitFrames(5)); // the live view goes on

    // An unknown container is refused before any file is made.
    QCOMPARE(live.reader->setRecord(true, dir.filePath(QStringLiteral("clip.unknown"))), false);
    QVERIFY(log.contains(QStringLiteral("Could not create output context ")));

    const QString good = dir.filePath(QStringLiteral("after-failure.mp4"));
    QVERIFY(record(live, good, 10) > 0);
    QVERIFY(readMediaFile(good).packets >= 10);
}

// A file that cannot grow mid-recording: every write after the limit fails and is
// logged, the live view goes on, and the stop still returns.
void tst_Recorder::fileSizeLimitMidRecording()
{
    camsim::Options options = loopbackCamera();
    options.detailed = true;
    CameraReader live(options);
    QVERIFY(live.start());
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 128 * 1024;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);

    LogCapture log;
    QSignalSpy failed(live.reader.get(), &ReadThread::recordingFailed);
    const QString path = dir.filePath(QStringLiteral("limited.mp4"));
    QVERIFY(live.reader->setRecord(true, path));
    // The file is written through a 256 KiB buffer: the failure shows once it goes out,
    // and the reader ends the recording itself.
    QVERIFY(failed.wait(15000));
    QVERIFY(log.contains(QStringLiteral("av_interleaved_write_frame : ")));
    QVERIFY(log.contains(QStringLiteral("av_write_trailer error ")));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(live.reader->setRecord(false, QString()), false);
    QVERIFY(timer.elapsed() < 2000);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(QFileInfo(path).size() <= qint64(small.rlim_cur));
    QVERIFY(live.waitFrames(5));
    QVERIFY(live.reader->isRunning());
    QCOMPARE(failed.count(), 1); // told once
}

void tst_Recorder::cameraLostWhileRecording()
{
    CameraReader live;
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("lost.mp4"));
    QVERIFY(live.reader->setRecord(true, path));
    QVERIFY(live.waitFrames(20));
    QSignalSpy lost(live.reader.get(), &ReadThread::cameraLost);
    live.camera.simulator.stop();
    // The reader may see the connection end while stop() is still busy; wait() only
    // counts a signal that comes after it begins.
    QVERIFY(lost.count() > 0 || lost.wait(5000));
    // Stopped while the reader tries to reach the camera again.
    QCOMPARE(live.reader->setRecord(false, QString()), false);

    const MediaFile file = readMediaFile(path);
    QVERIFY(file.opened);
    QVERIFY(file.packets >= 20);
    QCOMPARE(file.packets, frameIndexOf(file.last) - frameIndexOf(file.first) + 1);
    QCOMPARE(file.discardedPackets, 0);
}

void tst_Recorder::replaysRecording()
{
    const QString path = dir.filePath(QStringLiteral("replay.mp4"));
    {
        CameraReader live;
        QVERIFY(live.start());
        QVERIFY(record(live, path, 60) > 0);
    }
    const int packets = readMediaFile(path).packets;
    QVERIFY(packets >= 60);

    LogCapture log;
    PlayBackThread player;
    QVERIFY(player.openFile(path));
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("codec_id 27"), QStringLiteral("初始化视频流成功")}));
    FrameCollector frames(&player);
    QSignalSpy finished(&player, &QThread::finished);
    player.start();
    QVERIFY(finished.wait(packets * 40 + 5000));
    QTRY_COMPARE(frames.frames.size(), packets);

    for (const FrameCollector::Frame &frame : frames.frames) {
        QCOMPARE(frame.image.size(), QSize(1280, 960));
        QCOMPARE(frame.degree, 0);
        QVERIFY(!frame.isHaveDegree && !frame.isMirror && !frame.autoMirror);
    }
    // The pictures come in recorded order, one every 40 ms at most 25 a second.
    QCOMPARE(frameIndexOf(frames.frames.last().image) - frameIndexOf(frames.frames.first().image), packets - 1);
    QVERIFY2(frames.frames[49].arrivedMs - frames.frames[0].arrivedMs >= 49 * 40 - 20,
             qPrintable(QString::number(frames.frames[49].arrivedMs - frames.frames[0].arrivedMs)));
    QCOMPARE(log.lines().last(), QStringLiteral("av_read_frame -541478725"));
}

void tst_Recorder::replayStopsOnRequest()
{
    const QString path = dir.filePath(QStringLiteral("replay.mp4"));
    QVERIFY(QFileInfo::exists(path));
    PlayBackThread player;
    QVERIFY(player.openFile(path));
    FrameCollector frames(&player);
    player.start();
    QTRY_VERIFY(frames.frames.size() >= 3);
    player.stopPlay();
    const int emitted = frames.frames.size();
    QVERIFY(player.wait(1000));
    QCoreApplication::processEvents();
    QVERIFY(frames.frames.size() <= emitted + 1);

    // A stop that comes before the thread has begun is not lost.
    PlayBackThread early;
    QVERIFY(early.openFile(path));
    FrameCollector earlyFrames(&early);
    early.start();
    early.stopPlay();
    QVERIFY(early.wait(1000));
    QCoreApplication::processEvents();
    QVERIFY(earlyFrames.frames.size() <= 1);
}

void tst_Recorder::replayOfMissingFileFails()
{
    LogCapture log;
    PlayBackThread player;
    QVERIFY(!player.openFile(dir.filePath(QStringLiteral("never-recorded.mp4"))));
    QCOMPARE(log.lines(), QStringList{QStringLiteral("打开视频流失败")});

    // Something that is not a video at all.
    QFile text(dir.filePath(QStringLiteral("notes.mp4")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a video\n");
    text.close();
    PlayBackThread other;
    QVERIFY(!other.openFile(text.fileName()));
}

QTEST_MAIN(tst_Recorder)
#include "tst_recorder.moc"
