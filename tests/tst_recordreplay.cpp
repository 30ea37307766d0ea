#include "app/mainwindow.h"
#include "display/videodisplaywidget.h"
#include "playback/playbackthread.h"
#include "stream/readthread.h"
#include "record/recordingfinisher.h"
#include "support/camera.h"
#include "support/dialogs.h"
#include "support/livereader.h"
#include "support/livewindow.h"
#include "support/logcapture.h"
#include "support/mediafile.h"
#include "support/picture.h"
#include "support/replay.h"
#include "support/window.h"

#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <optional>

#include <sys/resource.h>
#include <chrono>
#include <csignal>
#include <memory>

// Recording and replay through the window's buttons, with the dialogs answered.

namespace {


struct Session
{
    Camera camera;
    std::unique_ptr<MainWindow> window;
    QTemporaryDir dir;

    explicit Session(const camsim::Options &options = loopbackCamera())
        : camera(options)
    {
        QVERIFY(camera.start());
        window = std::make_unique<MainWindow>(camera.url());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    // Starts recording to `chosen` through the dialog.
    void startRecording(const QString &chosen)
    {
        answerSaveDialog(chosen);
        click(*window, "pbStartRecord");
        waitWhileRecordingStarts(*window);
    }
    bool waitFrames(int count) { return waitForPictures(window->findChild<ReadThread *>(), count); }
    // Brings the window into one of the states, by its buttons.
    bool reach(const QString &state)
    {
        if (state == Idle)
            return true;
        if (!startLive(*window))
            return false;
        if (state == Live)
            return buttons(*window) == Live;
        startRecording(path("made.mp4"));
        if (state == RecordingOn)
            return buttons(*window) == RecordingOn;
        waitFrames(5);
        click(*window, "pbStartRecord");
        click(*window, "pbStart");
        if (state == Replaying)
            click(*window, "pbPlayBack");
        return buttons(*window) == (state == Replaying ? Replaying : IdleWithRecording);
    }
};

} // namespace

class tst_RecordReplay : public QObject
{
    Q_OBJECT

private slots:
    void recordSuffix_data();
    void recordSuffix();
    void recordThenReplay();
    void keysActAsClicks_data();
    void keysActAsClicks();
    void replayWithoutRecording();
    void cancelledRecordDialogKeepsRecording();
    void replayOfVanishedFile();
    void recordingWithoutPictures();
    void recordingAcrossGap();
    void recordErrorWarnsAndStaysLive_data();
    void recordErrorWarnsAndStaysLive();
    void replayShowsWhatWasSeen();
    void replaysAFileFromOutside_data();
    void replaysAFileFromOutside();
    void closingWhileRecordingFinishesFile_data();
    void closingWhileRecordingFinishesFile();
    void closingWhileReplayingStopsReplay();

private:
    TestHome home;
};

void tst_RecordReplay::recordSuffix_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("recorded");
    QTest::newRow("no suffix") << "clip" << "clip.mp4";
    QTest::newRow("mp4") << "clip.mp4" << "clip.mp4";
    QTest::newRow("upper-case MP4") << "clip.MP4" << "clip.MP4.mp4";
    QTest::newRow("avi") << "clip.avi" << "clip.avi.mp4";
}

void tst_RecordReplay::recordSuffix()
{
    QFETCH(QString, chosen);
    QFETCH(QString, recorded);

    Session session;
    QVERIFY(startLive(*session.window));
    QCOMPARE(buttons(*session.window), Live);
    SeenSaveDialog dialog;
    answerSaveDialog(session.dir.filePath(chosen), &dialog);
    click(*session.window, "pbStartRecord");
    QCOMPARE(dialog.caption, QStringLiteral("Save"));
    QCOMPARE(dialog.filter, QStringLiteral("*.mp4"));
    QCOMPARE(dialog.directory, home.desktop());
    QVERIFY2(QRegularExpression(QStringLiteral("^velmora-\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d(-\\d+)?\\.mp4$")).match(dialog.suggested).hasMatch(),
             qPrintable(dialog.suggested));
    QCOMPARE(buttons(*session.window), RecordingOn);
    QVERIFY(waitWhileRecordingStarts(*session.window));
    LogCapture log;
    QVERIFY(session.waitFrames(10));

    click(*session.window, "pbStartRecord");
    QCOMPARE(buttons(*session.window), Live);
    RecordingFinisher::waitForAll();
    QCOMPARE(QDir(session.dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{recorded});
    const MediaFile file = readMediaFile(session.dir.filePath(recorded));
    QCOMPARE(file.codec, AV_CODEC_ID_H264);
    QVERIFY(file.packets >= 10 - log.sum(QStringLiteral("recordFrame: frames left out ")));
}

void tst_RecordReplay::recordThenReplay()
{
    Session session;
    QVERIFY(startLive(*session.window));
    session.startRecording(session.path("inspection"));
    QVERIFY(session.waitFrames(40));

    // While recording, the display shows for how long and how big the file is, in its
    // top left corner, over the camera's red quadrant; the snapshot has none of it.
    auto *display = displayOf(*session.window);
    const QRegularExpression running(QStringLiteral("^REC 00:0[1-9] · [\\d.]+ kB$"));
    QTRY_VERIFY2_WITH_TIMEOUT(running.match(display->recordingStatus()).hasMatch(), qPrintable(display->recordingStatus()), 10000);
    QVERIFY(qRed(display->grab().toImage().pixel(12, 12)) < 120);
    answerSaveDialog(session.path("meanwhile.jpg"));
    click(*session.window, "pbSaveImage");
    QTRY_VERIFY(QImage(session.path("meanwhile.jpg")).size() == QSize(1280, 960));
    QCOMPARE(colourOf(QImage(session.path("meanwhile.jpg")).pixel(20, 20)), 'R');

    click(*session.window, "pbStartRecord");
    QVERIFY(display->recordingStatus().isEmpty());
    click(*session.window, "pbStart");
    QCOMPARE(buttons(*session.window), IdleWithRecording);
    RecordingFinisher::waitForAll();
    const MediaFile file = readMediaFile(session.path("inspection.mp4"));
    QCOMPARE(colourOf(file.first.pixel(20, 20)), 'R');
    QCOMPARE(colourOf(file.last.pixel(20, 20)), 'R');

    LogCapture log;
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), Replaying);
    auto *player = session.window->findChild<PlayBackThread *>();
    QVERIFY(player && player->isRunning());
    ReplayWatch watch(player);

    // The replay shows the recording in the plain view, whatever the mirror said.
    QTRY_COMPARE_WITH_TIMEOUT(QString(QLatin1Char(colourOf(display->grab().toImage().pixel(150, 150)))),
                              QStringLiteral("R"), 3000);

    // At the end of the file the window stays in Replaying with the last picture.
    QVERIFY(watch.waitForEnd(10000));
    QVERIFY2(log.lines().contains(QStringLiteral("av_read_frame -541478725")), qPrintable(log.lines().join(QLatin1Char('|'))));
    QCOMPARE(buttons(*session.window), Replaying);
    QCOMPARE(QString(QLatin1Char(colourOf(display->grab().toImage().pixel(450, 150)))), QStringLiteral("G"));

    QPointer<PlayBackThread> stopped = player;
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), IdleWithRecording);
    QVERIFY(stopped.isNull()); // released at once, decoder and buffers with it

    // The same recording replays again, with a new thread.
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), Replaying);
    QCOMPARE(session.window->findChildren<PlayBackThread *>().size(), 1);
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), IdleWithRecording);
}

void tst_RecordReplay::keysActAsClicks_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("dialog"); // a save dialog opens, and is answered
    QTest::newRow("F5 starts") << Idle << int(Qt::Key_F5) << Live << false;
    QTest::newRow("F5 stops") << Live << int(Qt::Key_F5) << Idle << false;
    QTest::newRow("F5 off while recording") << RecordingOn << int(Qt::Key_F5) << RecordingOn << false;
    QTest::newRow("R records") << Live << int(Qt::Key_R) << RecordingOn << true;
    QTest::newRow("R stops recording") << RecordingOn << int(Qt::Key_R) << Live << false;
    QTest::newRow("R off when idle") << Idle << int(Qt::Key_R) << Idle << false;
    QTest::newRow("S saves") << Live << int(Qt::Key_S) << Live << true;
    QTest::newRow("S off when idle") << Idle << int(Qt::Key_S) << Idle << false;
    QTest::newRow("P replays") << IdleWithRecording << int(Qt::Key_P) << Replaying << false;
    QTest::newRow("P off with nothing to replay") << Idle << int(Qt::Key_P) << Idle << false;
    QTest::newRow("P stops the replay") << Replaying << int(Qt::Key_P) << IdleWithRecording << false;
    QTest::newRow("S saves the replayed picture") << Replaying << int(Qt::Key_S) << Replaying << true;
    QTest::newRow("Space pauses, not clicks") << Replaying << int(Qt::Key_Space) << Replaying << false;
    QTest::newRow("P off while live") << Live << int(Qt::Key_P) << Live << false;
    QTest::newRow("M mirrors while recording") << RecordingOn << int(Qt::Key_M) << RecordingOn << false;
}

// A key does what a click on its button does, in the states where the button is on, and
// nothing where it is off, whichever widget has the focus.
void tst_RecordReplay::keysActAsClicks()
{
    QFETCH(QString, state);
    QFETCH(int, key);
    QFETCH(QString, after);
    QFETCH(bool, dialog);

    Session session;
    QVERIFY(session.reach(state));
    session.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(session.window.get()));
    button(*session.window, "pushButton")->setFocus(); // the focus on some other button
    const bool mirrored = displayOf(*session.window)->isMirrored();

    SeenSaveDialog seen;
    const QString chosen = session.path(key == Qt::Key_S ? "key.jpg" : "key.mp4");
    answerSaveDialog(chosen, &seen);
    QTest::keyClick(session.window.get(), Qt::Key(key));
    QTRY_COMPARE(buttons(*session.window), after);
    QCOMPARE(seen.seen, dialog);
    QCOMPARE(displayOf(*session.window)->isMirrored(), key == Qt::Key_M ? !mirrored : mirrored);
    if (dialog)
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(chosen), 5000);
}

// StartReplay is off until there is something to replay.
void tst_RecordReplay::replayWithoutRecording()
{
    Session session;
    QCOMPARE(buttons(*session.window), Idle);
    SeenMessage message;
    answerMessageBox(&message);
    click(*session.window, "pbPlayBack");
    QVERIFY(!message.seen);
    QCOMPARE(buttons(*session.window), Idle);
    QVERIFY(session.window->findChildren<PlayBackThread *>().isEmpty());
}

void tst_RecordReplay::cancelledRecordDialogKeepsRecording()
{
    Session session;
    QVERIFY(startLive(*session.window));
    session.startRecording(session.path("kept.mp4"));
    QVERIFY(session.waitFrames(5));
    click(*session.window, "pbStartRecord");

    // Cancelling the next record dialog records nothing: StartReplay replays the last one.
    answerSaveDialog(QString());
    click(*session.window, "pbStartRecord");
    QCOMPARE(buttons(*session.window), Live);
    click(*session.window, "pbStart");

    SeenMessage message;
    answerMessageBox(&message);
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), Replaying);
    QVERIFY(waitForPictures(session.window->findChild<PlayBackThread *>(), 3));
    QVERIFY2(!message.seen, qPrintable(message.text));
}

void tst_RecordReplay::replayOfVanishedFile()
{
    Session session;
    QVERIFY(startLive(*session.window));
    session.startRecording(session.path("gone.mp4"));
    QVERIFY(session.waitFrames(5));
    click(*session.window, "pbStartRecord");
    click(*session.window, "pbStart");
    RecordingFinisher::waitForAll();
    QVERIFY(QFile::remove(session.path("gone.mp4")));

    SeenMessage message;
    answerMessageBox(&message);
    click(*session.window, "pbPlayBack");
    // Opened on the replay's thread, which tells the window so.
    QTRY_VERIFY_WITH_TIMEOUT(message.seen, 10000);
    QCOMPARE(message.title, QStringLiteral("Warning"));
    QCOMPARE(message.text, QStringLiteral("playback error"));
    QCOMPARE(message.informative, QStringLiteral("gone.mp4 is missing, or it is not a video."));
    QTRY_COMPARE(buttons(*session.window), IdleWithRecording);
}

// Recorded while the camera is lost, a recording gets no picture: it leaves no file, the
// window says so, and StartReplay plays the last recording that has pictures.
void tst_RecordReplay::recordingWithoutPictures()
{
    Session session;
    QVERIFY(startLive(*session.window));
    session.startRecording(session.path("good.mp4"));
    QVERIFY(session.waitFrames(10));
    click(*session.window, "pbStartRecord");

    QSignalSpy lost(session.window->findChild<ReadThread *>(), &ReadThread::cameraLost);
    session.camera.simulator.pauseSending(std::chrono::milliseconds(60000));
    QVERIFY(lost.wait(15000));
    session.startRecording(session.path("empty.mp4"));
    QCOMPARE(buttons(*session.window), RecordingOn);
    click(*session.window, "pbStartRecord");
    QCOMPARE(displayOf(*session.window)->message(), QStringLiteral("Nothing recorded: no picture came from the camera"));
    click(*session.window, "pbStart");
    QVERIFY(RecordingFinisher::waitForAll(30000));
    QVERIFY(!QFileInfo::exists(session.path("empty.mp4")));

    SeenMessage message;
    answerMessageBox(&message);
    click(*session.window, "pbPlayBack");
    QVERIFY2(!message.seen, qPrintable(message.text));
    QCOMPARE(buttons(*session.window), Replaying);
    QVERIFY(waitForPictures(session.window->findChild<PlayBackThread *>(), 3));
}

// The link drops for 5 s while recording: the recording goes on into the same file when
// the camera is back, and the file's timeline shows the gap as the time it took.
void tst_RecordReplay::recordingAcrossGap()
{
    Session session(loopbackCamera(10));
    QVERIFY(startLive(*session.window));
    const QString path = session.path("across-gap.mp4");
    session.startRecording(path);
    QElapsedTimer wall;
    wall.start();
    QVERIFY(session.waitFrames(10));
    QSignalSpy found(session.window->findChild<ReadThread *>(), &ReadThread::cameraFound);
    session.camera.simulator.pauseSending(std::chrono::milliseconds(5000));
    QVERIFY(found.wait(15000));
    QCOMPARE(buttons(*session.window), RecordingOn);
    QVERIFY(session.waitFrames(10));
    click(*session.window, "pbStartRecord");
    const double recorded = wall.elapsed() / 1000.0;
    QCOMPARE(buttons(*session.window), Live);

    // ffprobe reads the whole file without a complaint.
    RecordingFinisher::waitForAll();
    const ToolRun probe = runTool(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                                              QStringLiteral("v"), QStringLiteral("-show_entries"), QStringLiteral("packet=pts_time"),
                                                              QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
    QCOMPARE(probe.exitCode, 0);
    QCOMPARE(probe.errors, QString());
    const QStringList times = probe.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    const MediaFile file = readMediaFile(path);
    QCOMPARE(times.size(), file.packets);
    int gaps = 0, before = 0;
    for (int i = 1; i < times.size(); ++i) {
        const double step = times[i].toDouble() - times[i - 1].toDouble();
        QVERIFY2(step > 0, qPrintable(QStringLiteral("packet %1 at %2 after %3").arg(i).arg(times[i], times[i - 1])));
        if (step > 4) {
            ++gaps;
            before = i;
        }
    }
    QCOMPARE(gaps, 1);
    QVERIFY2(before >= 8 && file.packets - before >= 8, qPrintable(QStringLiteral("%1 of %2").arg(before).arg(file.packets)));
    QVERIFY(frameIndexOf(file.first) >= 0 && frameIndexOf(file.last) >= 0);
    QVERIFY2(std::abs(file.durationSeconds - recorded) < 0.5,
             qPrintable(QStringLiteral("%1 s in the file, %2 s recorded").arg(file.durationSeconds).arg(recorded)));
}

void tst_RecordReplay::recordErrorWarnsAndStaysLive_data()
{
    QTest::addColumn<bool>("midway");
    QTest::newRow("file cannot be made") << false;
    QTest::newRow("file stops growing") << true;
}

// A recording that cannot start, or cannot go on, is told once; the live view goes on,
// and StartReplay plays the last good recording, or what the cut-off one holds.
void tst_RecordReplay::recordErrorWarnsAndStaysLive()
{
    QFETCH(bool, midway);

    Session session;
    QVERIFY(startLive(*session.window));
    session.startRecording(session.path("good.mp4"));
    QVERIFY(session.waitFrames(5));
    click(*session.window, "pbStartRecord");

    SeenMessage message;
    answerMessageBox(&message);
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (midway) {
        // The file stops growing after some three seconds of pictures.
        rlimit small = saved;
        small.rlim_cur = 256 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        session.startRecording(session.path("limited.mp4"));
        QCOMPARE(buttons(*session.window), RecordingOn);
        QTRY_VERIFY_WITH_TIMEOUT(message.seen, 20000);
    } else {
        session.startRecording(session.path("missing-folder/clip.mp4"));
        QVERIFY(message.seen);
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(message.title, QStringLiteral("Warning"));
    QCOMPARE(message.text, QStringLiteral("record error"));
    QCOMPARE(buttons(*session.window), Live);

    // Told once: the live view goes on without another box, and Stop still works.
    SeenMessage another;
    answerMessageBox(&another);
    QVERIFY(session.waitFrames(10));
    QVERIFY(!another.seen);
    click(*session.window, "pbStart");
    QCOMPARE(buttons(*session.window), IdleWithRecording);

    // The replay plays the last good recording, or what the cut-off one holds.
    click(*session.window, "pbPlayBack");
    QVERIFY(!another.seen);
    QCOMPARE(buttons(*session.window), Replaying);
    click(*session.window, "pbPlayBack");
    QCoreApplication::processEvents();
    QVERIFY(!another.seen);
}

// What the window showed of each picture: its camera frame, the angle, the view and the
// mirror. Collected after the window has taken the picture in.
struct SeenPictures : QObject
{
    template <typename Worker>
    SeenPictures(Worker *worker, const VideoDisplayWidget *display)
    {
        connect(worker, &Worker::getImage, this, [this, display](QImage image, int degree, bool isHaveDegree) {
            seen.insert(frameIndexOf(image), {degree, isHaveDegree, display->isMirrored()});
        });
    }
    struct View
    {
        int degree;
        bool haveDegree;
        bool mirrored;
    };
    QMap<int, View> seen; // by the camera's frame number
};

// A recording of the turning camera replays each picture as the live view showed it:
// turned upright in the circular view, and mirrored as it was, by the user's choice and
// by the camera's turning; the user may flip the replay too.
void tst_RecordReplay::replayShowsWhatWasSeen()
{
    camsim::Options options = loopbackCamera();
    options.tilt = camsim::Tilt::AngleSweep;
    options.sweepStep = 7; // from one half of the circle into the other every 26 pictures
    Session session(options);
    const VideoDisplayWidget *display = displayOf(*session.window);
    QVERIFY(startLive(*session.window));
    click(*session.window, "pushButton"); // the user's own choice, before the recording
    SeenPictures live(session.window->findChild<ReadThread *>(), display);
    session.startRecording(session.path("turning.mp4"));
    QVERIFY(session.waitFrames(90));
    click(*session.window, "pbStartRecord");
    click(*session.window, "pbStart");

    click(*session.window, "pbPlayBack");
    QTRY_VERIFY_WITH_TIMEOUT(session.window->findChild<PlayBackThread *>(), 10000);
    auto *player = session.window->findChild<PlayBackThread *>();
    SeenPictures replayed(player, display);
    ReplayWatch watch(player);
    QVERIFY(watch.waitForEnd(20000));

    int same = 0, flips = 0;
    std::optional<bool> before;
    for (auto at = replayed.seen.cbegin(); at != replayed.seen.cend(); ++at) {
        if (!live.seen.contains(at.key()))
            continue;
        const SeenPictures::View was = live.seen.value(at.key());
        QVERIFY2(was.haveDegree && at->haveDegree && was.degree == at->degree && was.mirrored == at->mirrored,
                 qPrintable(QStringLiteral("frame %1: live %2° mirrored %3, replayed %4° mirrored %5").arg(at.key())
                                .arg(was.degree).arg(was.mirrored).arg(at->degree).arg(at->mirrored)));
        flips += before && *before != at->mirrored;
        before = at->mirrored;
        ++same;
    }
    QVERIFY2(same >= 45 && flips >= 2, qPrintable(QStringLiteral("%1 pictures, %2 flips").arg(same).arg(flips)));

    // Mirror acts on the replay as on the live view.
    const bool shown = display->isMirrored();
    click(*session.window, "pushButton");
    QCOMPARE(display->isMirrored(), !shown);
}

void tst_RecordReplay::replaysAFileFromOutside_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("video"); // the file has some
    QTest::newRow("Ctrl+O") << "Ctrl+O" << true;
    QTest::newRow("dropped on the window") << "drop" << true;
    QTest::newRow("the program's argument") << "argument" << true;
    QTest::newRow("Ctrl+O, a file without video") << "Ctrl+O" << false;
}

// Any video file replays, from the dialog, dropped on the window, or named to the program;
// from then on StartReplay replays it.
void tst_RecordReplay::replaysAFileFromOutside()
{
    QFETCH(QString, how);
    QFETCH(bool, video);
    Session session;
    const QString path = session.path(video ? "other.mp4" : "sound.m4a");
    const ToolRun ffmpeg = runTool(QStringLiteral("ffmpeg"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
         video ? QStringLiteral("testsrc=size=320x240:rate=25:duration=2") : QStringLiteral("sine=duration=1"), path});
    QCOMPARE(ffmpeg.exitCode, 0);

    SeenMessage message;
    answerMessageBox(&message);
    if (how == QLatin1String("Ctrl+O")) {
        SeenSaveDialog dialog;
        answerSaveDialog(path, &dialog);
        QTest::keyClick(session.window.get(), Qt::Key_O, Qt::ControlModifier);
        QVERIFY(dialog.seen);
        QCOMPARE(dialog.directory, home.desktop()); // no recording yet
    } else if (how == QLatin1String("drop")) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(session.window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(session.window.get(), &drop);
    } else {
        session.window->replayFile(path);
    }
    if (!video) {
        QTRY_VERIFY_WITH_TIMEOUT(message.seen, 10000);
        QCOMPARE(message.text, QStringLiteral("sound.m4a has no video to replay"));
        QTRY_COMPARE(buttons(*session.window), Idle);
        return;
    }
    QCOMPARE(buttons(*session.window), Replaying);
    QVERIFY(waitForPictures(session.window->findChild<PlayBackThread *>(), 3));
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), IdleWithRecording);
    click(*session.window, "pbPlayBack");
    QVERIFY(waitForPictures(session.window->findChild<PlayBackThread *>(), 3));
    QVERIFY2(!message.seen, qPrintable(message.text));
}

void tst_RecordReplay::closingWhileRecordingFinishesFile_data()
{
    QTest::addColumn<bool>("closed"); // by the user, rather than the window destroyed
    QTest::newRow("destroyed") << false;
    QTest::newRow("closed") << true;
}

// Closing ends the recording, and the program waits for its file to be finished: closed by
// the user, the window stays meanwhile and says how far that has come.
void tst_RecordReplay::closingWhileRecordingFinishesFile()
{
    QFETCH(bool, closed);
    Session session;
    QVERIFY(startLive(*session.window));
    LogCapture log;
    session.startRecording(session.path("closed.mp4"));
    QVERIFY(session.waitFrames(30));
    if (closed) {
        // Unless the finishing was done by the time the live view had stopped, the window
        // says that it goes on.
        QVERIFY(!session.window->close());
        const QString notice = displayOf(*session.window)->notice();
        QVERIFY2(notice.startsWith(QStringLiteral("Finishing the recording... ")) || !RecordingFinisher::isFinishing(),
                 qPrintable(notice));
        QTRY_VERIFY_WITH_TIMEOUT(!session.window->isVisible(), 30000);
        QVERIFY(!RecordingFinisher::isFinishing());
        QVERIFY(readLayout(session.path("closed.mp4")).indexFirst());
    }
    session.window.reset();
    // Closed, the window has ended the live view itself.
    QCOMPARE(log.lines().contains(QStringLiteral("~readThread")), !closed);

    const MediaFile file = readMediaFile(session.path("closed.mp4"));
    QVERIFY(file.opened);
    QCOMPARE(file.codec, AV_CODEC_ID_H264);
    QVERIFY(file.packets >= 30 - log.sum(QStringLiteral("recordFrame: frames left out ")));
    QVERIFY(!file.last.isNull());
}

void tst_RecordReplay::closingWhileReplayingStopsReplay()
{
    Session session;
    QVERIFY(startLive(*session.window));
    session.startRecording(session.path("long.mp4"));
    QVERIFY(session.waitFrames(60));
    click(*session.window, "pbStartRecord");
    click(*session.window, "pbStart");
    // Replayed once it is finished, which the window does not wait for.
    click(*session.window, "pbPlayBack");
    QCOMPARE(buttons(*session.window), Replaying);
    QTRY_VERIFY_WITH_TIMEOUT(session.window->findChild<PlayBackThread *>(), 10000);
    QPointer<PlayBackThread> player = session.window->findChild<PlayBackThread *>();
    QVERIFY(player->isRunning());

    LogCapture log;
    QElapsedTimer timer;
    timer.start();
    session.window.reset();
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed()) + log.lines().join(QLatin1Char('|'))));
    QVERIFY(player.isNull());
    QVERIFY(log.lines().contains(QStringLiteral("playBackThread")));
}

QTEST_MAIN(tst_RecordReplay)
#include "tst_recordreplay.moc"
