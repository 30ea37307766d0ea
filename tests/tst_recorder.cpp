#include "app/mainwindow.h"
#include "app/quitonsignals.h"
#include "media/pictureconverter.h"
#include "playback/playbackthread.h"
#include "stream/readthread.h"
#include "record/recording.h"
#include "record/recordingfinisher.h"
#include "support/camera.h"
#include "support/dialogs.h"
#include "support/livereader.h"
#include "support/livewindow.h"
#include "support/logcapture.h"
#include "support/mediafile.h"
#include "support/picture.h"
#include "support/process.h"
#include "support/replay.h"
#include "support/window.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QVector>
#include <QtTest>

#include <sys/resource.h>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
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

// Records to `path` until `frames` more pictures have come; returns the seconds it ran.
// `received` gets the camera's frame numbers of the pictures handed on meanwhile: all of
// them came in while recording, so all of them belong in the file.
double record(CameraReader &live, const QString &path, int frames, QVector<int> *received = nullptr,
              int *leftOut = nullptr)
{
    LogCapture log;
    const int before = live.frames->frames.size();
    QElapsedTimer timer;
    if (!startRecording(live.reader.get(), path))
        return -1;
    timer.start();
    live.waitFrames(frames);
    const int handedOn = live.frames->frames.size();
    live.reader->setRecord(false, QString());
    RecordingFinisher::waitForAll();
    // A machine too slow to encode them all (a sanitizer build, a busy one) leaves some
    // out, and says how many.
    if (leftOut)
        *leftOut = log.sum(QStringLiteral("recordFrame: frames left out "));
    // The first picture handed on after the start may have waited from before it.
    for (int i = before + 1; received && i < handedOn; ++i)
        *received << frameIndexOf(live.frames->frames[i].image);
    return timer.elapsed() / 1000.0;
}

bool strictlyIncreasing(const QVector<int> &numbers)
{
    return std::adjacent_find(numbers.cbegin(), numbers.cend(), std::greater_equal<int>()) == numbers.cend();
}

} // namespace

class tst_Recorder : public QObject
{
    Q_OBJECT

private slots:
    void recordsCameraAsH264();
    void cameraPictureConvertedAsSwscaleDoes_data();
    void cameraPictureConvertedAsSwscaleDoes();
    void otherCameraPicturesRecordFullSize_data();
    void otherCameraPicturesRecordFullSize();
    void nonAsciiFileName();
    void startThenStopFinishesFile();
    void recordingAgainIntoTheSameFile();
    void picturesNotEncodedAreCounted();
    void unwritableFileLeavesRecordingOff();
    void fileSizeLimitMidRecording();
    void cameraLostWhileRecording();
    void deletedRecordingNotMadeAnew();
    void recordingWhenTheProgramEnds_data();
    void recordingWhenTheProgramEnds();
    void replaysRecording_data();
    void replaysRecording();
    void seekShowsThePictureOfItsTime_data();
    void seekShowsThePictureOfItsTime();
    void replayStopsOnRequest();
    void replaysAnyFile_data();
    void replaysAnyFile();

private:
    QString sharedRecording();

    QTemporaryDir dir;
    int replayLeftOut = 0; // of the recording the replay tests share
};

void tst_Recorder::recordsCameraAsH264()
{
    CameraReader live;
    QVERIFY(live.start());
    // Recording begins well into the live view; the file starts at 0 all the same.
    QVERIFY(live.waitFrames(45));
    LogCapture log;
    const QString path = dir.filePath(QStringLiteral("camera.mp4"));
    QVector<int> received;
    const double seconds = record(live, path, 60, &received);
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
    // Every picture that came in while recording is in the file, once and in order (what
    // the network lost under load is not), unless a machine too busy to encode them all
    // left some out, which the log counts; and the file lasts as long as the camera took
    // to send them, however late a slow machine handled them: at least their numbers at
    // 30 a second, more where the camera itself fell behind.
    QVERIFY(strictlyIncreasing(file.indices));
    int missing = 0;
    for (int index : qAsConst(received))
        missing += !file.indices.contains(index);
    const int leftOut = log.sum(QStringLiteral("recordFrame: frames left out "));
    QVERIFY2(missing <= leftOut, qPrintable(QStringLiteral("%1 pictures missing, %2 left out").arg(missing).arg(leftOut)));
    // However truthfully logged, a recording may leave out only a few pictures here: the
    // encoder has a core of its own. More in the sanitizer build, whose own code runs at a
    // fraction of its speed.
    QVERIFY2(missing <= received.size() / (SlowBuild ? 3 : 10),
             qPrintable(QStringLiteral("%1 of %2 pictures missing").arg(missing).arg(received.size())));
    const int first = file.indices.first(), last = file.indices.last();
    QVERIFY(first >= 45 && last > first);
    const double sent = (last - first + 1) / 30.0;
    QVERIFY2(file.durationSeconds > sent - 0.2,
             qPrintable(QStringLiteral("%1 s in the file, %2 s of frames").arg(file.durationSeconds).arg(sent)));
    // Nor longer than the recording took. (Shorter it may be: a machine too busy to keep
    // the camera at 30 a second sends and reads fewer frames, a live clock's worth each.)
    QVERIFY2(file.durationSeconds < seconds + 1.5,
             qPrintable(QStringLiteral("%1 s in the file, %2 s recorded").arg(file.durationSeconds).arg(seconds)));
    QVERIFY(file.packets >= 60 - leftOut);
    QCOMPARE(file.discardedPackets, 0);
    QVERIFY(file.timestampsIncrease);

    // An ordinary MP4 in the end: its index before the pictures, no fragments left. It
    // seeks, and ffplay plays it to its end.
    const Mp4Layout layout = readLayout(path);
    QVERIFY2(layout.indexFirst(), qPrintable(layout.boxes.join(QLatin1Char(' '))));
    QCOMPARE(file.profile, FF_PROFILE_H264_CONSTRAINED_BASELINE);
    const ToolRun seek = runTool(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-ss"),
                                                            QString::number(file.durationSeconds / 2), QStringLiteral("-i"), path,
                                                            QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-f"),
                                                            QStringLiteral("framecrc"), QStringLiteral("-")});
    QCOMPARE(seek.exitCode, 0);
    QCOMPARE(seek.errors, QString());
    QVERIFY2(seek.output.contains(QRegularExpression(QStringLiteral("^0, +\\d+"), QRegularExpression::MultilineOption)),
             qPrintable(seek.output));
    const ToolRun play = runTool(QStringLiteral("ffplay"), {QStringLiteral("-autoexit"), QStringLiteral("-v"), QStringLiteral("error"),
                                                            QStringLiteral("-stats"), path});
    QCOMPARE(play.exitCode, 0);
    const QRegularExpressionMatch clock =
        QRegularExpression(QStringLiteral("(\\d+\\.\\d+) M-V:(?!.*M-V:)"), QRegularExpression::DotMatchesEverythingOption).match(play.errors);
    QVERIFY2(clock.hasMatch() && clock.captured(1).toDouble() >= file.durationSeconds - 0.3, qPrintable(play.errors.right(200)));
    // Camera frames are all intra; the H.264 stream need not be.
    QVERIFY2(file.keyPackets < file.packets / 2, qPrintable(QString::number(file.keyPackets)));

    const double psnr = psnrAgainstCamera(file.last, loopbackCamera(), last);
    QVERIFY2(psnr >= 30, qPrintable(QString::number(psnr)));
}

// A recording converts the camera's own pictures (full-range 4:2:2, at the file's size) by
// hand, not through swscale, which is three times slower at it. The result is swscale's:
// every luma level the same; chroma a few levels apart at most, at sharp edges, and a tenth
// of a level on average (swscale averages each pair of chroma rows with a longer filter).
void tst_Recorder::cameraPictureConvertedAsSwscaleDoes_data()
{
    QTest::addColumn<bool>("detailed");
    QTest::newRow("the camera's quadrants") << false;
    QTest::newRow("a detailed picture") << true;
}

void tst_Recorder::cameraPictureConvertedAsSwscaleDoes()
{
    QFETCH(bool, detailed);
    camsim::Options options = loopbackCamera();
    options.detailed = detailed;
    const std::vector<uint8_t> rgb = camsim::renderFrame(options, 7);
    const int width = options.width, height = options.height;
    auto newFrame = [&](AVPixelFormat format) {
        av::FramePtr frame(av_frame_alloc());
        frame->format = format;
        frame->width = width;
        frame->height = height;
        return av_frame_get_buffer(frame.get(), 0) < 0 ? nullptr : std::move(frame);
    };
    // The camera's picture as its JPEG decoder gives it.
    av::FramePtr camera = newFrame(AV_PIX_FMT_YUVJ422P);
    QVERIFY(camera);
    camera->color_range = AVCOL_RANGE_JPEG;
    PictureConverter toCamera(AV_PIX_FMT_YUV422P, width, height, SWS_BICUBIC, AVCOL_RANGE_JPEG);
    av::FramePtr rgbFrame(av_frame_alloc());
    rgbFrame->format = AV_PIX_FMT_RGB24;
    rgbFrame->width = width;
    rgbFrame->height = height;
    rgbFrame->data[0] = const_cast<uint8_t *>(rgb.data());
    rgbFrame->linesize[0] = 3 * width;
    QVERIFY(toCamera.convert(rgbFrame.get(), camera->data, camera->linesize));

    av::FramePtr byHand = newFrame(AV_PIX_FMT_YUV420P), bySwscale = newFrame(AV_PIX_FMT_YUV420P);
    QVERIFY(byHand && bySwscale);
    PictureConverter recording(AV_PIX_FMT_YUV420P, width, height);
    QVERIFY(recording.convert(camera.get(), byHand->data, byHand->linesize));
    // swscale's own, which a conversion between two formats takes however the ranges are set.
    av::SwsContextPtr swscale(sws_getContext(width, height, AV_PIX_FMT_YUV422P, width, height, AV_PIX_FMT_YUV420P,
                                             SWS_BICUBIC, nullptr, nullptr, nullptr));
    const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(swscale.get(), coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
    sws_scale(swscale.get(), camera->data, camera->linesize, 0, height, bySwscale->data, bySwscale->linesize);

    for (int plane = 0; plane < 3; ++plane) {
        const int planeWidth = plane ? width / 2 : width, planeHeight = plane ? height / 2 : height;
        int largest = 0;
        double sum = 0;
        for (int y = 0; y < planeHeight; ++y) {
            for (int x = 0; x < planeWidth; ++x) {
                const int difference = std::abs(byHand->data[plane][y * byHand->linesize[plane] + x]
                                                - bySwscale->data[plane][y * bySwscale->linesize[plane] + x]);
                largest = std::max(largest, difference);
                sum += difference;
            }
        }
        const double mean = sum / (planeWidth * planeHeight);
        const QByteArray said = QStringLiteral("plane %1: %2 levels apart at most, %3 on average").arg(plane).arg(largest).arg(mean).toUtf8();
        if (plane == 0)
            QVERIFY2(largest == 0, said.constData());
        else
            QVERIFY2(largest <= 10 && mean < 0.25, said.constData());
    }
}

// Whatever size and chroma sampling the camera sends, the file holds the camera's picture
// at 1280x960 in limited-range 4:2:0, levels and all.
void tst_Recorder::otherCameraPicturesRecordFullSize_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("640x480 4:2:0, scaled up") << QSize(640, 480);
    QTest::newRow("1280x960 4:2:0, only its range converted") << QSize(1280, 960);
}

void tst_Recorder::otherCameraPicturesRecordFullSize()
{
    QFETCH(QSize, size);
    camsim::Options options = loopbackCamera();
    options.width = size.width();
    options.height = size.height();
    options.sampling = camsim::Sampling::S420;
    CameraReader live(options);
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("s420-%1.mp4").arg(size.width()));
    int leftOut = 0;
    QVERIFY(record(live, path, 20, nullptr, &leftOut) > 0);
    const MediaFile file = readMediaFile(path);
    QCOMPARE(file.width, 1280);
    QCOMPARE(file.height, 960);
    QVERIFY(file.packets >= 20 - leftOut);
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
    int leftOut = 0;
    QVERIFY(record(live, path, 10, nullptr, &leftOut) > 0);
    QCOMPARE(log.lines().first(), path);
    QVERIFY(readMediaFile(path).packets >= 10 - leftOut);
}

void tst_Recorder::startThenStopFinishesFile()
{
    // Opened but not started: no picture can come in between.
    Camera camera;
    QVERIFY(camera.start());
    LiveReader live;
    QVERIFY(live.open(camera.url()));
    const QString path = dir.filePath(QStringLiteral("empty.mp4"));
    QVERIFY(startRecording(live.reader.get(), path));
    QVERIFY(QFileInfo::exists(path));
    LogCapture log;
    QCOMPARE(live.reader->setRecord(false, QString()), false);
    QVERIFY(RecordingFinisher::waitForAll(30000));
    // An MP4 without a picture has no video stream that a player could open: none is left.
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(log.contains(QStringLiteral("recording without pictures removed ")));
    // A second stop is harmless.
    QCOMPARE(live.reader->setRecord(false, QString()), false);
}

// Recorded again into the same file at once, while the last recording there is still being
// finished: the new one waits until that is done and in place, and then takes the file
// over whole. A second start while one runs is refused.
void tst_Recorder::recordingAgainIntoTheSameFile()
{
    CameraReader live;
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("again.mp4"));
    QVERIFY(startRecording(live.reader.get(), path));
    QVERIFY(live.waitFrames(60));
    const QString other = dir.filePath(QStringLiteral("other.mp4"));
    QVERIFY(!live.reader->setRecord(true, other));
    QVERIFY(!QFileInfo::exists(other));

    LogCapture log;
    live.reader->setRecord(false, QString());
    QVERIFY(RecordingFinisher::isFinishing());
    const int lastOfFirst = frameIndexOf(live.frames->frames.last().image);
    QVERIFY(startRecording(live.reader.get(), path));
    QVERIFY(live.waitFrames(30));
    live.reader->setRecord(false, QString());
    QVERIFY(RecordingFinisher::waitForAll(30000));

    const MediaFile file = readMediaFile(path);
    QVERIFY(file.timestampsIncrease);
    QVERIFY(strictlyIncreasing(file.indices));
    QVERIFY2(!file.indices.isEmpty() && file.indices.first() > lastOfFirst,
             qPrintable(QStringLiteral("from frame %1, the first recording ended at %2").arg(file.indices.value(0)).arg(lastOfFirst)));
    QVERIFY(file.packets >= 30 - log.sum(QStringLiteral("recordFrame: frames left out ")));
    const Mp4Layout layout = readLayout(path);
    QVERIFY2(layout.indexFirst(), qPrintable(layout.boxes.join(QLatin1Char(' '))));
}

// What the recording cannot encode, here pictures in a format nothing converts, is left out
// and counted as left out, like what it had no time for.
void tst_Recorder::picturesNotEncodedAreCounted()
{
    const QString path = dir.filePath(QStringLiteral("unconvertible.mp4"));
    LogCapture log;
    std::unique_ptr<Recording> recording = Recording::start(path, 1280, 960, Recording::Source{{30, 1}, {0, 1}});
    QVERIFY(recording);
    for (int i = 0; i < 12; ++i) {
        av::FramePtr picture(av_frame_alloc());
        picture->format = i % 4 == 3 ? AV_PIX_FMT_NV16 : AV_PIX_FMT_YUVJ422P;
        picture->width = 1280;
        picture->height = 960;
        QCOMPARE(av_frame_get_buffer(picture.get(), 0), 0);
        for (int plane = 0; plane < 3 && picture->buf[plane]; ++plane)
            memset(picture->buf[plane]->data, 128, picture->buf[plane]->size);
        picture->best_effort_timestamp = i * 3000;
        QTRY_VERIFY(recording->hasRoom());
        QCOMPARE(recording->offer(picture.get(), AVRational{1, 90000}, i * 33333), Recording::Offer::Taken);
    }
    QVERIFY(recording->finish());
    recording.reset();
    QCOMPARE(readMediaFile(path).packets, 9);
    QCOMPARE(log.sum(QStringLiteral("recordFrame: frames left out ")), 3);
}

void tst_Recorder::unwritableFileLeavesRecordingOff()
{
    CameraReader live;
    QVERIFY(live.start());
    LogCapture log;
    const QString path = dir.filePath(QStringLiteral("no-such-folder/clip.mp4"));
    QCOMPARE(startRecording(live.reader.get(), path), false);
    QVERIFY(log.contains(QStringLiteral("avio_open error ")));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(live.waitFrames(5)); // the live view goes on

    // An unknown container is refused before any file is made.
    QCOMPARE(startRecording(live.reader.get(), dir.filePath(QStringLiteral("clip.unknown"))), false);
    QVERIFY(log.contains(QStringLiteral("Could not create output context ")));

    const QString good = dir.filePath(QStringLiteral("after-failure.mp4"));
    int leftOut = 0;
    QVERIFY(record(live, good, 10, nullptr, &leftOut) > 0);
    QVERIFY(readMediaFile(good).packets >= 10 - leftOut);
}

// A file that cannot grow mid-recording: every write after the limit fails and is
// logged, the live view goes on, and the stop still returns.
// A file that cannot grow mid-recording: the failure is logged and told once, the live
// view goes on, and the file keeps every picture of the fragments it holds whole.
void tst_Recorder::fileSizeLimitMidRecording()
{
    CameraReader live;
    QVERIFY(live.start());
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024; // some three seconds of pictures
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);

    LogCapture log;
    QSignalSpy failed(live.reader.get(), &ReadThread::recordingFailed);
    const QString path = dir.filePath(QStringLiteral("limited.mp4"));
    QVERIFY(live.reader->setRecord(true, path));
    QVERIFY(failed.wait(30000));
    QVERIFY(RecordingFinisher::waitForAll(30000));
    QVERIFY(log.contains(QStringLiteral("av_interleaved_write_frame : ")));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(live.reader->setRecord(false, QString()), false);
    QVERIFY(timer.elapsed() < 2000);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(QFileInfo(path).size() <= qint64(small.rlim_cur));
    const Mp4Layout layout = readLayout(path);
    QVERIFY2(layout.fragmentPictures >= 30, qPrintable(layout.boxes.join(QLatin1Char(' '))));
    // What the cut-off fragment holds whole may be read as well.
    const MediaFile file = readMediaFile(path);
    QVERIFY2(file.indices.size() >= layout.fragmentPictures,
             qPrintable(QStringLiteral("%1 of %2 pictures").arg(file.indices.size()).arg(layout.fragmentPictures)));
    QVERIFY(strictlyIncreasing(file.indices));
    QVERIFY(live.waitFrames(5));
    QVERIFY(live.reader->isRunning());
    QCOMPARE(failed.count(), 1); // told once
}

void tst_Recorder::cameraLostWhileRecording()
{
    CameraReader live;
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("lost.mp4"));
    LogCapture log;
    QVERIFY(startRecording(live.reader.get(), path));
    QVERIFY(live.waitFrames(20));
    QSignalSpy lost(live.reader.get(), &ReadThread::cameraLost);
    live.camera.simulator.stop();
    // The reader may see the connection end while stop() is still busy; wait() only
    // counts a signal that comes after it begins.
    QVERIFY(lost.count() > 0 || lost.wait(5000));
    // Stopped while the reader tries to reach the camera again.
    QCOMPARE(live.reader->setRecord(false, QString()), false);
    QVERIFY(RecordingFinisher::waitForAll(30000));

    const MediaFile file = readMediaFile(path);
    QVERIFY(file.opened);
    QVERIFY(file.packets >= 20 - log.sum(QStringLiteral("recordFrame: frames left out ")));
    QVERIFY(strictlyIncreasing(file.indices));
    QCOMPARE(file.discardedPackets, 0);
}

// The user deletes the file while it is being recorded: the syncs of its fragments, and its
// finish, do not bring it back as an empty file.
void tst_Recorder::deletedRecordingNotMadeAnew()
{
    CameraReader live;
    QVERIFY(live.start());
    const QString path = dir.filePath(QStringLiteral("deleted.mp4"));
    QVERIFY(startRecording(live.reader.get(), path));
    // A fragment a second, each synced as it is written.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(path).size() > 100000, 10000);
    QVERIFY(QFile::remove(path));
    QVERIFY(live.waitFrames(75));
    QCOMPARE(live.reader->setRecord(false, QString()), false);
    QVERIFY(RecordingFinisher::waitForAll(30000));
    QVERIFY(!QFileInfo::exists(path));
}

void tst_Recorder::recordingWhenTheProgramEnds_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("killed (a crash)") << int(SIGKILL);
    QTest::newRow("terminated (a logout)") << int(SIGTERM);
    QTest::newRow("interrupted (Ctrl+C)") << int(SIGINT);
}

// The program records from its window for 5 s and is then ended from outside. Killed, it
// leaves the fragments it wrote, which players and the replay read; asked to end, it ends
// as closing the window does, with an ordinary MP4.
void tst_Recorder::recordingWhenTheProgramEnds()
{
    QFETCH(int, signal);
    Camera camera(loopbackCamera(10));
    QVERIFY(camera.start());
    const QString path = dir.filePath(QStringLiteral("ended-%1.mp4").arg(signal));
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--record-in-window"), camera.url(), path});
    QVERIFY(program.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(program.peek(64).contains("recording"), 30000);
    // Five seconds of pictures in complete fragments on disk, however far a busy machine
    // keeps the program behind the camera.
    int onDisk = 0;
    QTRY_VERIFY_WITH_TIMEOUT((onDisk = readLayout(path).fragmentPictures) >= 50, 60000);
    QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
    QVERIFY(program.waitForFinished(60000));

    const Mp4Layout layout = readLayout(path);
    const MediaFile file = readMediaFile(path);
    QVERIFY(file.opened);
    QVERIFY(file.timestampsIncrease);
    QVERIFY(strictlyIncreasing(file.indices));
    const int pictures = file.indices.last() - file.indices.first() + 1;
    QVERIFY2(file.packets >= onDisk, qPrintable(QStringLiteral("%1 of %2").arg(file.packets).arg(onDisk)));
    if (signal == SIGKILL) {
        QVERIFY2(layout.boxes.contains(QStringLiteral("moof")), qPrintable(layout.boxes.join(QLatin1Char(' '))));
        QVERIFY2(pictures >= 40, qPrintable(QStringLiteral("%1 pictures").arg(pictures))); // 4 s of 10 a second
    } else {
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY2(layout.indexFirst(), qPrintable(layout.boxes.join(QLatin1Char(' '))));
        QVERIFY2(pictures >= 50, qPrintable(QStringLiteral("%1 pictures").arg(pictures)));
    }

    PlayBackThread player;
    QVERIFY(player.openFile(path));
    FrameCollector frames(&player);
    ReplayWatch watch(&player);
    player.start();
    QVERIFY(watch.waitForEnd(file.packets * 200 + 10000));
    QTRY_VERIFY(!frames.frames.isEmpty() && frameIndexOf(frames.frames.last().image) == file.indices.last());
}

// The recording the replay tests share: 4 s of the camera's 30 pictures a second, of which a
// busy machine may leave some out (a third of them in the sanitizer build with both cores
// busy), so that the seek table's pictures, up to the 62nd, are there all the same.
QString tst_Recorder::sharedRecording()
{
    const QString path = dir.filePath(QStringLiteral("replay.mp4"));
    if (!QFileInfo::exists(path)) {
        CameraReader live;
        if (!live.start() || record(live, path, 120, nullptr, &replayLeftOut) <= 0)
            return QString();
    }
    return path;
}

// The shared recording made anew by ffmpeg as `name`, with `options` between its input and
// output.
static QString remade(const QString &from, const QString &name, const QStringList &options)
{
    const QString to = QFileInfo(from).absoluteDir().filePath(name);
    if (!QFileInfo::exists(to)) {
        const ToolRun ffmpeg = runTool(QStringLiteral("ffmpeg"), QStringList{QStringLiteral("-v"), QStringLiteral("error"),
                                       QStringLiteral("-y"), QStringLiteral("-i"), from} + options + QStringList{to});
        if (ffmpeg.exitCode != 0)
            qWarning() << "ffmpeg" << options << ffmpeg.errors;
    }
    return to;
}

void tst_Recorder::replaysRecording_data()
{
    QTest::addColumn<QStringList>("remake"); // ffmpeg's options, none for the recording itself
    QTest::newRow("the program's own recording") << QStringList();
    // Such a decoder holds pictures back before its first one comes out, and gives the last
    // ones only when it is drained at the end.
    QTest::newRow("a file with B-frames")
        << QStringList{QStringLiteral("-fps_mode"), QStringLiteral("passthrough"), QStringLiteral("-c:v"),
                       QStringLiteral("libx264"), QStringLiteral("-bf"), QStringLiteral("3")};
    // A link that dropped for 2 s while recording, after the 45th picture: the gap replays.
    QTest::newRow("a 2 s gap")
        << QStringList{QStringLiteral("-vf"), QStringLiteral("setpts=PTS+gte(N\\,45)*2/TB"), QStringLiteral("-fps_mode"),
                       QStringLiteral("passthrough"), QStringLiteral("-c:v"), QStringLiteral("libx264")};
}

// The replay keeps the file's own time: 1x is real time.
void tst_Recorder::replaysRecording()
{
    QFETCH(QStringList, remake);
    QString path = sharedRecording();
    QVERIFY(!path.isEmpty());
    if (!remake.isEmpty())
        path = remade(path, QStringLiteral("%1.mp4").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')), remake);
    const MediaFile file = readMediaFile(path);
    QVERIFY(file.packets >= 120 - replayLeftOut);

    LogCapture log;
    PlayBackThread player;
    QVERIFY(player.openFile(path));
    QCOMPARE(log.lines(), (QStringList{QStringLiteral("codec_id 27"), QStringLiteral("初始化视频流成功")}));
    FrameCollector frames(&player);
    ReplayWatch watch(&player);
    player.start();
    QVERIFY(watch.waitForEnd(20000));
    // The file's last picture stays on screen.
    QTRY_VERIFY(!frames.frames.isEmpty() && frameIndexOf(frames.frames.last().image) == file.indices.last());

    QVector<int> positions; // of the pictures shown, in the file
    for (const FrameCollector::Frame &frame : frames.frames) {
        QCOMPARE(frame.image.size(), QSize(1280, 960));
        // As the live view showed them, which the program's own recordings say: a camera
        // without a tilt sensor, in the plain view.
        QCOMPARE(frame.degree, 0);
        QVERIFY(!frame.isHaveDegree);
        QCOMPARE(frame.autoMirror, remake.isEmpty());
        positions << file.indices.indexOf(frameIndexOf(frame.image));
    }
    // In the file's order, from its first picture on. A window that falls behind gets the
    // newest one, so a picture may be left out, but not many.
    QVERIFY(!positions.contains(-1) && strictlyIncreasing(positions));
    QCOMPARE(positions.first(), 0);
    QVERIFY2(frames.frames.size() >= file.packets / 2, qPrintable(QString::number(frames.frames.size())));
    const double spent = (frames.frames.last().arrivedMs - frames.frames.first().arrivedMs) / 1000.0;
    const double recorded = file.seconds[positions.last()] - file.seconds[positions.first()];
    QVERIFY2(std::abs(spent - recorded) <= 0.2, qPrintable(QStringLiteral("%1 s for %2 s").arg(spent).arg(recorded)));
    // The end of the file, then the decoder drained of what it held.
    QCOMPARE(log.lines().mid(log.lines().size() - 2),
             (QStringList{QStringLiteral("av_read_frame -541478725"),
                          QStringLiteral("avcodec_receive_frame error AVERROR_EOF -541478725")}));
}

void tst_Recorder::seekShowsThePictureOfItsTime_data()
{
    QTest::addColumn<int>("to");        // the picture, by its place in the file, whose time is sought
    QTest::addColumn<double>("after");  // seconds past its time
    QTest::addColumn<int>("steps");     // then, one picture at a time
    QTest::addColumn<int>("shown");     // the picture shown, by its place
    // The recording has a key picture every 30.
    QTest::newRow("between key pictures") << 45 << 0.01 << 0 << 45;
    QTest::newRow("just before the next picture") << 44 << 0.03 << 0 << 44;
    QTest::newRow("onto a key picture") << 60 << 0.0 << 0 << 60;
    QTest::newRow("a step back across a key picture") << 30 << 0.0 << -1 << 29;
    QTest::newRow("two steps back") << 31 << 0.0 << -2 << 29;
    QTest::newRow("a step forward across a key picture") << 29 << 0.0 << 1 << 30;
    QTest::newRow("the start, and a step back from it") << 0 << 0.0 << -1 << 0;
    QTest::newRow("past the end") << -1 << 10.0 << 0 << -1;
}

// A seek shows the picture of the time sought, not the key picture before it.
void tst_Recorder::seekShowsThePictureOfItsTime()
{
    QFETCH(int, to);
    QFETCH(double, after);
    QFETCH(int, steps);
    QFETCH(int, shown);
    const QString path = sharedRecording();
    QVERIFY(!path.isEmpty());
    const MediaFile file = readMediaFile(path);
    QVERIFY2(file.packets >= 62, qPrintable(QString::number(file.packets)));
    QVERIFY(file.keyPackets >= file.packets / 30);
    const int last = file.packets - 1;
    to = to < 0 ? last : to;
    shown = shown < 0 ? last : shown;

    PlayBackThread player;
    QVERIFY(player.openFile(path));
    FrameCollector frames(&player);
    ReplayWatch watch(&player);
    player.togglePause();
    player.start();
    player.seekTo(qRound64((file.seconds[to] - file.seconds[0] + after) * 1e6));
    player.step(steps);
    const qint64 expectedUs = qRound64((file.seconds[shown] - file.seconds[0]) * 1e6);
    QTRY_VERIFY2(!watch.positions.isEmpty() && std::abs(watch.positions.last().us - expectedUs) < 1000
                     && watch.positions.last().paused,
                 qPrintable(QString::number(watch.positions.isEmpty() ? -1 : watch.positions.last().us)));
    // A paused replay tells its position before its first picture has come.
    QTRY_VERIFY2(!frames.frames.isEmpty() && frameIndexOf(frames.frames.last().image) == file.indices[shown],
                 qPrintable(QString::number(frames.frames.isEmpty() ? -1 : frameIndexOf(frames.frames.last().image))));
}

void tst_Recorder::replayStopsOnRequest()
{
    const QString path = sharedRecording();
    QVERIFY(!path.isEmpty());
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

void tst_Recorder::replaysAnyFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("failure"); // -1: it replays
    QTest::addColumn<int>("pictures"); // at least, by then
    const int fails = -1;
    QTest::newRow("the program's own recording") << "own" << fails << 45;
    QTest::newRow("with sound") << "sound" << fails << 45;
    QTest::newRow("kept after a crash, cut off in a fragment") << "cut" << fails << 20;
    QTest::newRow("damaged in the middle") << "damaged" << fails << 20;
    QTest::newRow("sound only") << "sound only" << int(PlayBackThread::Failure::NoVideo) << 0;
    QTest::newRow("text named .mp4") << "text" << int(PlayBackThread::Failure::CannotOpen) << 0;
    QTest::newRow("missing") << "missing" << int(PlayBackThread::Failure::CannotOpen) << 0;
}

// Whatever the file, the replay opens it on its own thread and plays it as far as it can
// be read, or says why it cannot; it never hangs and never crashes.
void tst_Recorder::replaysAnyFile()
{
    QFETCH(QString, kind);
    QFETCH(int, failure);
    QFETCH(int, pictures);
    const QString own = sharedRecording();
    QVERIFY(!own.isEmpty());
    QString path = dir.filePath(kind + QStringLiteral(".mp4"));
    const QByteArray bytes = [&own] {
        QFile file(own);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    auto write = [&path](const QByteArray &content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    if (kind == QLatin1String("own")) {
        path = own;
    } else if (kind == QLatin1String("sound")) {
        path = remade(own, QStringLiteral("sound.mp4"),
                      {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=duration=3"),
                       QStringLiteral("-map"), QStringLiteral("1:a"), QStringLiteral("-map"), QStringLiteral("0:v"),
                       QStringLiteral("-c:v"), QStringLiteral("copy"), QStringLiteral("-c:a"), QStringLiteral("aac")});
    } else if (kind == QLatin1String("cut")) {
        const QString fragmented = remade(own, QStringLiteral("fragmented.mp4"),
                                          {QStringLiteral("-c"), QStringLiteral("copy"), QStringLiteral("-movflags"),
                                           QStringLiteral("frag_keyframe+empty_moov")});
        QFile file(fragmented);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(write(file.readAll().left(file.size() * 7 / 10)));
    } else if (kind == QLatin1String("damaged")) {
        QByteArray damaged = bytes;
        for (int i = damaged.size() / 2; i < damaged.size() / 2 + 20000; ++i)
            damaged[i] = char(0xab ^ (i * 7));
        QVERIFY(write(damaged));
    } else if (kind == QLatin1String("sound only")) {
        path = remade(own, QStringLiteral("sound-only.m4a"), {QStringLiteral("-vn"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                                                              QStringLiteral("-i"), QStringLiteral("sine=duration=1"), QStringLiteral("-map"),
                                                              QStringLiteral("1:a")});
    } else if (kind == QLatin1String("text")) {
        QVERIFY(write("not a video\n"));
    }

    LogCapture log;
    PlayBackThread player;
    player.setFile(path);
    FrameCollector frames(&player);
    ReplayWatch watch(&player);
    QSignalSpy opened(&player, &PlayBackThread::opened);
    QSignalSpy failed(&player, &PlayBackThread::openFailed);
    player.start();
    QTRY_VERIFY_WITH_TIMEOUT(!opened.isEmpty() || !failed.isEmpty(), 10000);
    if (failure >= 0) {
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().value<PlayBackThread::Failure>(), PlayBackThread::Failure(failure));
        QVERIFY(player.wait(1000));
        if (kind == QLatin1String("missing"))
            QCOMPARE(log.lines(), QStringList{QStringLiteral("打开视频流失败")});
        return;
    }
    QVERIFY(watch.waitForEnd(30000));
    QVERIFY2(frames.frames.size() >= pictures, qPrintable(QString::number(frames.frames.size())));
    // Ended, it waits for the user, and goes when told.
    QVERIFY(player.isRunning());
    player.stopPlay();
    QVERIFY(player.wait(1000));
}

// The program's window in a process of its own, recording from the camera at `url` into
// `path` until the process is ended from outside.
static int recordInWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QuitOnSignals quitOnSignals;
    MainWindow window(QString::fromLocal8Bit(argv[2]));
    window.show();
    if (!startLive(window))
        return 2;
    answerSaveDialog(QString::fromLocal8Bit(argv[3]));
    click(window, "pbStartRecord");
    waitWhileRecordingStarts(window);
    if (button(window, "pbStartRecord")->text() != QLatin1String("StopRecord"))
        return 2;
    std::printf("recording\n");
    std::fflush(stdout);
    return app.exec();
}

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "--record-in-window") == 0)
        return recordInWindow(argc, argv);
    QApplication app(argc, argv);
    tst_Recorder test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recorder.moc"
