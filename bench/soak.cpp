// Soak run of the real window against a camera: live view for many minutes, with
// recordings and snapshots through the buttons and their save dialogs, as a user makes
// them, and if asked a camera whose link drops now and then. Not a test: scripts/soak runs
// it with the simulated camera as a process of its own, so that the memory figures are the
// program's alone.
//
//   soak URL FOLDER [--minutes 10] [--fps 30] [--record-every 20] [--record-from 20]
//                   [--snapshot-every 30] [--gap-every S --gap-length L --gap-origin T]
//
// The gap options tell the camera's schedule of link gaps, as camera-sim prints it: after
// every S seconds of sending, nothing for L seconds, counted from T seconds on the monotonic
// clock. Recordings and snapshots go into FOLDER. Prints a row each minute, a line for each
// gap and a verdict at the end; exits 1 when a check fails, 2 when the window cannot go
// live, 3 when its event loop hangs.

#include "app/mainwindow.h"
#include "display/videodisplaywidget.h"
#include "stream/readthread.h"
#include "support/dialogs.h"
#include "support/mediafile.h"
#include "support/picture.h"
#include "support/process.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

struct Settings
{
    QString url;
    QString folder;
    int minutes = 10;
    double fps = 30;
    int recordEvery = 20;
    int recordFrom = 20; // the first record click
    int snapshotEvery = 30;
    double gapEvery = 0; // 0: the camera keeps its link
    double gapLength = 0;
    double gapOrigin = 0; // monotonic seconds
};

// The address sanitizer slows decoding and encoding several times over: in such a build
// the program cannot keep up with 30 fps on a small machine, which says nothing of the
// program. The figures that depend on its speed are shown there, not judged.
#if defined(__SANITIZE_ADDRESS__)
#define SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_SANITIZED 1
#endif
#endif
#ifdef SOAK_SANITIZED
constexpr bool SpeedJudged = false;
#else
constexpr bool SpeedJudged = true;
#endif

// Seconds on the monotonic clock, the one camera-sim gives its gap schedule on.
double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Length of the overlap of [a0, a1] and [b0, b1].
double overlap(double a0, double a1, double b0, double b1)
{
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

class Soak : public QObject
{
public:
    explicit Soak(const Settings &settings)
        : settings(settings)
    {
    }

    int run();

private:
    // One gap in the camera's link, in seconds of the run.
    struct Gap
    {
        double start = 0; // the camera's last frame before it
        double end = 0;   // the camera sends again
        int lost = 0;     // cameraLost() during it
        double lostAt = -1;
        double foundAt = -1;
        double noticeAt = -1; // the notice first seen over the picture
        double backAt = -1;   // the first picture the window got after `end`
        bool noticeAtBack = false; // the notice still shown over that picture
        bool reported = false;
    };
    struct Recording
    {
        QString path;
        double startedAt = 0;
        double stoppedAt = -1;
        // The first and last pictures the window got while the button said recording.
        double firstPicture = -1;
        double lastPicture = -1;
    };
    struct Snapshot
    {
        QString path;
        double takenAt = 0;
        bool present = false;
        bool readable = false;
        bool settled = false; // judged: present, or reported missing
    };
    struct Resident
    {
        int minute;
        long kib;
        bool recording;
        bool live; // taken with the camera's pictures coming; only these are judged
    };

    bool goLive();
    double now() const { return monotonicSeconds() - startedAt; }
    void onPicture(const QImage &image);
    void onCameraLost();
    void onCameraFound();
    Gap *gapAround(double t, double after);
    double outageEnd(const Gap &gap, double t) const { return gap.backAt >= 0 ? gap.backAt : t; }
    double outageWithin(double from, double to) const;
    int picturesOutsideOutages(int firstIndex, double to) const;
    void sampleNotice(double t, const QString &text);
    bool picturesComing(double t) const;
    void tick();
    void guard();
    void onSecond(int second);
    void printRowWhenLive(bool force);
    void printRow(int minute, double t, bool live);
    void watchGaps(double t);
    bool gapPassed(const Gap &gap) const;
    void printGap(int number, const Gap &gap) const;
    void toggleRecording();
    void takeSnapshot();
    void click(const char *name);
    void failure(const QString &text);

    Settings settings;
    std::unique_ptr<MainWindow> window;
    QPointer<ReadThread> reader;
    VideoDisplayWidget *display = nullptr;
    double startedAt = 0; // monotonic seconds at the first moment of live view
    QTimer ticker;
    QTimer guardTimer;
    std::atomic<int> lastSecond{0};
    bool finished = false;

    // Every picture the window got, by the time it came; and what its frame number says.
    QVector<double> arrivals;
    long unreadable = 0;
    long repeated = 0;  // the reader sends its last picture again when a frame does not decode
    long skipped = 0;   // frame numbers never seen, outside the link's gaps
    int largestJump = 0;
    int previousIndex = -1; // of the same session; a new session numbers its frames anew
    double previousAt = 0;
    long underNotice = 0; // pictures that came while the notice said the camera was lost
    long lostOutsideGaps = 0;
    long noticeOutsideGaps = 0;
    bool noticeShownOutside = false;

    QVector<Gap> gaps;
    QVector<Resident> residentRows;
    int pendingRow = -1; // the minute whose row waits for the camera's pictures
    double pendingSince = 0;
    double lastRowAt = 0;
    int lastRowArrivals = 0;
    QVector<Recording> recordings;
    bool recording = false;
    QVector<Snapshot> snapshots;
    QStringList failures;
    bool readerStopped = false;

    // The watchdog's view of the event loop: the guard stamps it, a hang leaves it old.
    static qint64 steadyMs()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    std::atomic<qint64> heartbeatMs{steadyMs()};
    std::atomic<const char *> phase{"starting"};
    std::atomic<bool> watching{true};
};

bool Soak::goLive()
{
    window = std::make_unique<MainWindow>(settings.url);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) {
        std::printf("the window was not shown\n");
        return false;
    }
    display = window->findChild<VideoDisplayWidget *>();
    // A camera that cannot be reached gives a warning box: answer it, and give up.
    bool warned = false;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&warned] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::printf("warning: %s\n", qPrintable(box->text()));
            warned = true;
            box->button(QMessageBox::Ok)->click();
        }
    });
    answer.start(50);
    // The schedule and the frame rate count from the first moment of live view.
    startedAt = monotonicSeconds();
    click("pbStart");
    answer.stop();
    const QList<ReadThread *> readers = window->findChildren<ReadThread *>();
    if (warned || !display || readers.isEmpty() || !readers.last()->isRunning()) {
        std::printf("the window did not go live on %s\n", qPrintable(settings.url));
        return false;
    }
    // getImage() is emitted on this thread, one picture at a time as the window takes it;
    // the window's own connection is older, so each picture has reached the window (and a
    // snapshot asked for has been written) when it gets here. The reader started inside
    // the click, but the pictures it had made by now still wait in its mailbox.
    reader = readers.last();
    connect(reader, &ReadThread::getImage, this, [this](const QImage &image) { onPicture(image); });
    connect(reader, &ReadThread::cameraLost, this, [this] { onCameraLost(); });
    connect(reader, &ReadThread::cameraFound, this, [this] { onCameraFound(); });
    connect(reader, &QThread::finished, this, [this] {
        if (!finished) {
            readerStopped = true;
            failure(QStringLiteral("the reader stopped at second %1").arg(int(now())));
        }
    });
    return true;
}

void Soak::onPicture(const QImage &image)
{
    const double t = now();
    arrivals.append(t);
    // A notice over a new picture would tell the user of a camera that is there. The
    // window clears it on cameraFound(), which comes before the session's first picture.
    const QString notice = display->notice();
    if (!notice.isEmpty())
        ++underNotice;
    else
        sampleNotice(t, notice);
    for (Gap &gap : gaps) {
        if (gap.backAt < 0 && gap.end <= t) {
            gap.backAt = t;
            gap.noticeAtBack = !notice.isEmpty();
        }
    }

    const int index = frameIndexOf(image);
    if (index < 0) {
        ++unreadable;
    } else {
        if (previousIndex >= 0) {
            // The camera's frame numbers are 16 bits wide and wrap after half an hour at 30 fps.
            const int step = (index - previousIndex) & 0xffff;
            // Only the newest picture waits for the window, so a number skipped here was
            // either lost on the way or overtaken while the window was busy. Frames the
            // camera never sent, in a gap of its link, are neither.
            const bool acrossGap = std::any_of(gaps.cbegin(), gaps.cend(), [&](const Gap &gap) {
                return gap.start < t && gap.end > previousAt;
            });
            if (step == 0) {
                ++repeated;
            } else if (!acrossGap) {
                skipped += step - 1;
                largestJump = std::max(largestJump, step - 1);
            }
        }
        previousIndex = index;
        previousAt = t;
    }

    if (recording) {
        Recording &r = recordings.last();
        if (r.firstPicture < 0)
            r.firstPicture = t;
        r.lastPicture = t;
    }
    // The window writes a snapshot with the first picture after the click.
    for (Snapshot &s : snapshots) {
        if (s.settled || s.takenAt >= t)
            continue;
        s.settled = true;
        s.present = QFileInfo::exists(s.path);
        if (!s.present) {
            failure(QStringLiteral("snapshot %1 was not written with the first picture after the click").arg(s.path));
            continue;
        }
        const QImage saved(s.path);
        s.readable = saved.size() == QSize(1280, 960) && frameIndexOf(saved) >= 0;
        if (!s.readable)
            failure(QStringLiteral("snapshot %1 is not a readable camera picture").arg(s.path));
    }
}

// The gap that holds `t`, counting `after` more seconds as its own.
Soak::Gap *Soak::gapAround(double t, double after)
{
    for (Gap &gap : gaps) {
        if (t >= gap.start && t <= gap.end + after)
            return &gap;
    }
    return nullptr;
}

void Soak::onCameraLost()
{
    const double t = now();
    // The reader gives up on a camera 3 s after its last frame; it may still be trying
    // when the gap is over.
    if (Gap *gap = gapAround(t, 5)) {
        if (gap->lost++ == 0)
            gap->lostAt = t;
        return;
    }
    ++lostOutsideGaps;
    failure(QStringLiteral("camera lost at second %1, outside the link's gaps").arg(t, 0, 'f', 1));
}

void Soak::onCameraFound()
{
    const double t = now();
    previousIndex = -1;
    if (Gap *gap = gapAround(t, 10)) {
        if (gap->foundAt < 0)
            gap->foundAt = t;
    }
}

// The notice belongs to the time from a gap's start until its picture is back.
void Soak::sampleNotice(double t, const QString &text)
{
    if (text.isEmpty()) {
        noticeShownOutside = false;
        return;
    }
    for (Gap &gap : gaps) {
        if (t >= gap.start && (gap.backAt < 0 || t <= gap.backAt)) {
            if (gap.noticeAt < 0)
                gap.noticeAt = t;
            return;
        }
    }
    if (!noticeShownOutside) {
        ++noticeOutsideGaps;
        failure(QStringLiteral("notice \"%1\" shown at second %2, outside the link's gaps").arg(text).arg(t, 0, 'f', 1));
    }
    noticeShownOutside = true;
}

// Time in [from, to] in which the window waited for the camera after a gap began. A wait
// that lasts into the next gap is counted once.
double Soak::outageWithin(double from, double to) const
{
    double total = 0;
    double counted = from; // what lies before has been counted
    for (const Gap &gap : gaps) {
        if (gap.start >= to)
            break;
        const double start = std::max(gap.start, counted);
        const double end = outageEnd(gap, to);
        total += overlap(from, to, start, end);
        counted = std::max(counted, end);
    }
    return total;
}

// Pictures from arrivals[firstIndex] up to time `to` that came outside those waits.
int Soak::picturesOutsideOutages(int firstIndex, double to) const
{
    int count = 0;
    for (int i = firstIndex; i < arrivals.size() && arrivals[i] <= to; ++i) {
        const double t = arrivals[i];
        const bool waiting = std::any_of(gaps.cbegin(), gaps.cend(), [&](const Gap &gap) {
            return gap.start < t && t < outageEnd(gap, to);
        });
        if (!waiting)
            ++count;
    }
    return count;
}

bool Soak::picturesComing(double t) const
{
    const bool waiting = std::any_of(gaps.cbegin(), gaps.cend(), [t](const Gap &gap) {
        return gap.start <= t && (gap.backAt < 0 || t < gap.backAt);
    });
    return !waiting && !arrivals.isEmpty() && t - arrivals.last() < 0.5 && display->notice().isEmpty();
}

void Soak::click(const char *name)
{
    auto *button = window->findChild<QPushButton *>(QString::fromLatin1(name));
    QTest::mouseClick(button, Qt::LeftButton);
}

void Soak::failure(const QString &text)
{
    failures << text;
    std::printf("  ! %s\n", qPrintable(text));
}

// Runs in the event loops of the dialogs too, which the ticker cannot: Qt holds back a
// timer whose own slot is still running, and the clicks happen in the ticker's slot.
void Soak::guard()
{
    heartbeatMs = steadyMs();
    if (display)
        sampleNotice(now(), display->notice());
    // A warning box in the middle of a button's work (a recording that failed to start)
    // would wait for a user for ever.
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (box && box->isVisible()) {
        failure(QStringLiteral("message box \"%1\"").arg(box->text()));
        box->button(QMessageBox::Ok)->click();
    }
}

void Soak::tick()
{
    const double t = now();
    watchGaps(t);
    const int second = int(t);
    while (!finished && lastSecond < second)
        onSecond(++lastSecond);
    printRowWhenLive(false);
}

// Everything due at one second of the run, in a fixed order: a row falls due before the
// actions of the same second.
void Soak::onSecond(int second)
{
    if (second % 60 == 0) {
        pendingRow = second / 60;
        pendingSince = now();
        printRowWhenLive(false);
    }
    if (second >= settings.recordFrom && (second - settings.recordFrom) % settings.recordEvery == 0)
        toggleRecording();
    if (second % settings.snapshotEvery == 0)
        takeSnapshot();
    if (second >= settings.minutes * 60) {
        finished = true;
        ticker.stop();
        QCoreApplication::quit();
    }
}

// A row's memory figure is held against the others only when taken with pictures coming:
// while the camera is lost the reader has let go of its session. A row that falls into a
// gap waits for the picture, 15 s at most.
void Soak::printRowWhenLive(bool force)
{
    if (pendingRow < 0)
        return;
    const double t = now();
    const bool live = picturesComing(t);
    if (!live && !force && t - pendingSince < 15)
        return;
    printRow(pendingRow, t, live);
    pendingRow = -1;
}

void Soak::printRow(int minute, double t, bool live)
{
    const long resident = residentKiB();
    residentRows.append({minute, resident, recording, live});
    const double span = t - lastRowAt - outageWithin(lastRowAt, t);
    const int pictures = picturesOutsideOutages(lastRowArrivals, t);
    lastRowAt = t;
    lastRowArrivals = arrivals.size();
    const int snapshotsMade = int(std::count_if(snapshots.cbegin(), snapshots.cend(),
                                                [](const Snapshot &s) { return s.present; }));
    const int recordingsMade = int(recordings.size()) - (recording ? 1 : 0);
    const int gapsBegun = int(std::count_if(gaps.cbegin(), gaps.cend(), [t](const Gap &g) { return g.start < t; }));
    const int gapsBack = int(std::count_if(gaps.cbegin(), gaps.cend(), [](const Gap &g) { return g.backAt >= 0; }));
    std::printf("%6d %6.1f %8.1f %8d %6s %7ld %5d/%-3d %10d %9d %9s%s\n", minute, t, resident / 1024.0,
                int(arrivals.size()), span > 0 ? qPrintable(QString::number(pictures / span, 'f', 2)) : "-", skipped,
                gapsBack, gapsBegun, recordingsMade,
                snapshotsMade, recording ? "on" : "off", live ? "" : "  (camera lost: memory not judged)");
}

// A gap is judged once its picture is back, or 5 s after the camera sent again.
bool Soak::gapPassed(const Gap &gap) const
{
    return gap.backAt >= 0 && gap.backAt - gap.end <= 5 && gap.noticeAt >= 0 && !gap.noticeAtBack;
}

void Soak::printGap(int number, const Gap &gap) const
{
    auto at = [](double t) { return t < 0 ? QStringLiteral("-") : QString::number(t, 'f', 2); };
    std::printf("  gap %d: no frames %.1f..%.1f s; lost %s (%d time%s), notice %s, found %s%s, picture back %s (%s s "
                "after the camera sent again), notice %s  %s\n",
                number, gap.start, gap.end, qPrintable(at(gap.lostAt)), gap.lost, gap.lost == 1 ? "" : "s",
                qPrintable(at(gap.noticeAt)), qPrintable(at(gap.foundAt)),
                gap.foundAt >= 0 && gap.foundAt < gap.end ? " (before the camera sent again)" : "", qPrintable(at(gap.backAt)),
                gap.backAt < 0 ? "never" : qPrintable(QString::number(gap.backAt - gap.end, 'f', 2)),
                gap.backAt < 0 ? "-" : (gap.noticeAtBack ? "still shown" : "cleared"), gapPassed(gap) ? "ok" : "FAIL");
}

void Soak::watchGaps(double t)
{
    for (int i = 0; i < gaps.size(); ++i) {
        Gap &gap = gaps[i];
        if (gap.reported || !(gap.backAt >= 0 || t > gap.end + 5))
            continue;
        gap.reported = true;
        printGap(i + 1, gap);
        QStringList wrong;
        if (gap.backAt < 0 || gap.backAt - gap.end > 5)
            wrong << QStringLiteral("no picture within 5 s of the camera sending again");
        if (gap.noticeAt < 0)
            wrong << QStringLiteral("no notice during the gap");
        if (gap.noticeAtBack)
            wrong << QStringLiteral("the notice still over the returned picture");
        if (!wrong.isEmpty())
            failure(QStringLiteral("gap %1: %2").arg(i + 1).arg(wrong.join(QStringLiteral("; "))));
    }
}

void Soak::toggleRecording()
{
    const bool ending = lastSecond >= settings.minutes * 60;
    if (recording) {
        click("pbStartRecord");
        recordings.last().stoppedAt = now();
        recording = false;
        return;
    }
    // A recording started as the run ends would hold a handful of pictures.
    if (ending)
        return;
    const QString path = QDir(settings.folder).filePath(QStringLiteral("rec-%1.mp4").arg(recordings.size() + 1, 3, 10, QLatin1Char('0')));
    answerSaveDialog(path);
    click("pbStartRecord");
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pbStartRecord"));
    if (button->text() != QLatin1String("StopRecord")) {
        failure(QStringLiteral("recording %1 did not start").arg(path));
        return;
    }
    recording = true;
    Recording started;
    started.path = path;
    started.startedAt = now();
    recordings.append(started);
}

void Soak::takeSnapshot()
{
    const QString path = QDir(settings.folder).filePath(QStringLiteral("snap-%1.jpg").arg(snapshots.size() + 1, 3, 10, QLatin1Char('0')));
    answerSaveDialog(path);
    click("pbSaveImage");
    Snapshot taken;
    taken.path = path;
    taken.takenAt = now();
    snapshots.append(taken);
}

int Soak::run()
{
    std::thread watchdog([this] {
        while (watching) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (watching && steadyMs() - heartbeatMs > 30000) {
                std::printf("hang: the window's event loop has not run for 30 s (%s, second %d)\n", phase.load(),
                            lastSecond.load());
                std::_Exit(3);
            }
        }
    });
    auto endWatch = [&] {
        watching = false;
        watchdog.join();
    };

    if (!goLive()) {
        endWatch();
        return 2;
    }
    phase = "live";
    if (settings.gapEvery > 0) {
        const double cycle = settings.gapEvery + settings.gapLength;
        for (double start = settings.gapOrigin + settings.gapEvery - startedAt; start < settings.minutes * 60 + 60;
             start += cycle) {
            Gap gap;
            gap.start = start;
            gap.end = start + settings.gapLength;
            if (gap.end > 0)
                gaps.append(gap);
        }
    }
    std::printf("%6s %6s %8s %8s %6s %7s %9s %10s %9s %9s\n", "minute", "second", "rss_MiB", "pictures", "fps",
                "skipped", "gaps", "recordings", "snapshots", "recording");
    connect(&ticker, &QTimer::timeout, this, &Soak::tick);
    ticker.start(100);
    connect(&guardTimer, &QTimer::timeout, this, &Soak::guard);
    guardTimer.start(100);
    QApplication::exec();

    phase = "finishing";
    if (recording)
        toggleRecording();
    // The last snapshot waits for a picture, and the last row for the camera's pictures.
    auto pending = [this] {
        return pendingRow >= 0 || std::any_of(snapshots.cbegin(), snapshots.cend(), [](const Snapshot &s) { return !s.settled; });
    };
    const double waitFrom = now();
    while (pending() && now() - waitFrom < 15) {
        QTest::qWait(20);
        watchGaps(now());
        printRowWhenLive(false);
    }
    printRowWhenLive(true);
    for (const Snapshot &s : qAsConst(snapshots)) {
        if (!s.settled)
            failure(QStringLiteral("snapshot %1: no picture came after the click").arg(s.path));
    }

    phase = "stopping";
    const double seconds = now();
    watchGaps(seconds);
    if (!readerStopped)
        click("pbStart");
    display = nullptr; // goes with the window; the guard still runs
    window.reset();
    QCoreApplication::processEvents();
    guardTimer.stop();
    endWatch();

    // Gaps whose picture had no time to come back before the run ended are not judged.
    int gapsJudged = 0, gapsPassed = 0, gapsUnjudged = 0, gapsBack = 0;
    double slowest = 0;
    for (const Gap &gap : qAsConst(gaps)) {
        if (gap.start >= seconds)
            continue;
        if (gap.backAt < 0 && gap.end + 5 > seconds) {
            ++gapsUnjudged;
            continue;
        }
        ++gapsJudged;
        if (gapPassed(gap))
            ++gapsPassed;
        if (gap.backAt >= 0) {
            ++gapsBack;
            slowest = std::max(slowest, gap.backAt - gap.end);
        }
    }

    const double outage = outageWithin(0, seconds);
    const int picturesLive = picturesOutsideOutages(0, seconds);
    const double fpsLive = picturesLive / (seconds - outage);
    std::printf("pictures: %d received in %.0f s, %d of them in %.0f s outside the link's gaps (%.2f fps); "
                "%ld frame numbers skipped outside gaps (largest jump %d), %ld repeated, %ld unreadable\n",
                int(arrivals.size()), seconds, picturesLive, seconds - outage, fpsLive, skipped, largestJump, repeated,
                unreadable);

    int recordingsGood = 0, recordingsAcross = 0, recordingsStartedInGap = 0, recordingsStoppedInGap = 0;
    for (const Recording &r : qAsConst(recordings)) {
        const MediaFile file = readMediaFile(r.path);
        // How the recording met the link's gaps: one that began or ended while the window
        // waited for the camera, or one with pictures on both sides of a gap. The file
        // holds the time from the click, or from the picture's return if it came in a gap,
        // to the other click, or to the gap it ended in; a gap inside is time in it too.
        QStringList met;
        const double stoppedAt = r.stoppedAt < 0 ? seconds : r.stoppedAt;
        double from = r.startedAt, to = stoppedAt;
        bool across = false, startedInGap = false, stoppedInGap = false;
        for (int i = 0; i < gaps.size(); ++i) {
            const Gap &g = gaps[i];
            const double waitEnd = outageEnd(g, seconds);
            if (r.startedAt >= g.start && r.startedAt < waitEnd) {
                startedInGap = true;
                from = waitEnd;
                met << QStringLiteral("started in gap %1").arg(i + 1);
            } else if (stoppedAt >= g.start && stoppedAt < waitEnd) {
                stoppedInGap = true;
                to = g.start;
                met << QStringLiteral("stopped in gap %1").arg(i + 1);
            } else if (r.firstPicture >= 0 && g.start > r.firstPicture && g.end < r.lastPicture) {
                across = true;
                met << QStringLiteral("across gap %1").arg(i + 1);
            }
        }
        // Measured from the clicks rather than from the pictures the window saw, which
        // may come late when the window is busy.
        const double recorded = std::max(0.0, to - from);
        // Every frame the camera sent while the reader had it is in the file, once.
        const double expected = settings.fps * (recorded - outageWithin(from, to));
        const bool everyFrame = file.decoded >= 0.95 * expected - 2 && file.decoded <= 1.05 * expected + 2;
        const bool ok = file.opened && file.packets > 0 && file.decoded == file.packets && file.width == 1280
            && file.height == 960 && file.timestampsIncrease && std::abs(file.durationSeconds - recorded) <= 0.5
            && (everyFrame || !SpeedJudged);
        std::printf("  %s: %d packets, %d pictures decoded, %dx%d, timestamps %s, %.2f s long; recorded for %.2f s "
                    "(clicks %.2f s apart)%s, %.0f frames expected  %s\n",
                    qPrintable(QFileInfo(r.path).fileName()), file.packets, file.decoded, file.width, file.height,
                    file.timestampsIncrease ? "increase" : "DO NOT INCREASE", file.durationSeconds, recorded,
                    stoppedAt - r.startedAt, met.isEmpty() ? "" : qPrintable(QStringLiteral(", ") + met.join(QStringLiteral(", "))),
                    expected, ok ? "ok" : "FAIL");
        recordingsGood += ok;
        recordingsAcross += across;
        recordingsStartedInGap += startedInGap;
        recordingsStoppedInGap += stoppedInGap;
    }

    std::printf("verdict:\n");
    bool passed = failures.isEmpty();
    auto check = [&passed](bool ok, const QString &text) {
        std::printf("  %-4s %s\n", ok ? "ok" : "FAIL", qPrintable(text));
        passed = passed && ok;
    };
    // The encoder and its pictures take their share only while a recording runs, and the
    // rows fall alternately into recordings and pauses: each row is held against the first
    // row taken in the same state.
    int judged = 0;
    for (const bool state : {false, true}) {
        QVector<long> rows;
        int firstMinute = 0;
        for (const Resident &r : qAsConst(residentRows)) {
            if (r.recording == state && r.live) {
                if (rows.isEmpty())
                    firstMinute = r.minute;
                rows << r.kib;
            }
        }
        if (rows.size() < 2)
            continue;
        ++judged;
        const long reference = rows.first();
        const auto [low, high] = std::minmax_element(rows.cbegin() + 1, rows.cend());
        check(*low >= reference * 0.9 && *high <= reference * 1.1,
              QStringLiteral("resident memory, recording %1: %2 MiB after minute %3, later %4..%5 MiB (allowed ±10 %)")
                  .arg(state ? QStringLiteral("on") : QStringLiteral("off"))
                  .arg(reference / 1024.0, 0, 'f', 1)
                  .arg(firstMinute)
                  .arg(*low / 1024.0, 0, 'f', 1)
                  .arg(*high / 1024.0, 0, 'f', 1));
    }
    if (judged == 0)
        check(false, QStringLiteral("resident memory: too few rows to judge it; run three minutes or more"));
    check(!arrivals.isEmpty() && unreadable == 0,
          QStringLiteral("pictures with a readable frame number: %1 of %2").arg(arrivals.size() - unreadable).arg(arrivals.size()));
    const QString rate = QStringLiteral("frame rate outside the link's gaps: %1 fps received, camera sends %2")
                             .arg(fpsLive, 0, 'f', 2)
                             .arg(settings.fps);
    if (SpeedJudged)
        check(fpsLive >= 0.95 * settings.fps, rate);
    else
        std::printf("  %-4s %s (not judged in a sanitizer build, nor the frames in each recording)\n", "", qPrintable(rate));
    std::printf("  %-4s frame numbers skipped outside the link's gaps: %ld (largest jump %ld), lost on the way or "
                "overtaken while the window was busy\n",
                "", skipped, long(largestJump));
    check(lostOutsideGaps == 0 && noticeOutsideGaps == 0 && underNotice == 0,
          QStringLiteral("camera lost outside the link's gaps: %1 times; notice outside them: %2 times, over a new picture: %3")
              .arg(lostOutsideGaps)
              .arg(noticeOutsideGaps)
              .arg(underNotice));
    if (settings.gapEvery > 0) {
        check(gapsJudged > 0 && gapsPassed == gapsJudged,
              QStringLiteral("link gaps: the picture back within 5 s after %1 of %2 (%3), with the notice during the gap and "
                             "not after; %4 too late in the run to judge")
                  .arg(gapsPassed)
                  .arg(gapsJudged)
                  .arg(gapsBack > 0 ? QStringLiteral("slowest %1 s after the camera sent again").arg(slowest, 0, 'f', 2)
                                    : QStringLiteral("none came back"))
                  .arg(gapsUnjudged));
    }
    if (settings.gapEvery > 0) {
        // Not a failure of the picture, which comes back; worth knowing all the same.
        const int early = int(std::count_if(gaps.cbegin(), gaps.cend(), [seconds](const Gap &g) {
            return g.start < seconds && g.foundAt >= 0 && g.foundAt < g.end;
        }));
        const int relost = int(std::count_if(gaps.cbegin(), gaps.cend(), [seconds](const Gap &g) { return g.start < seconds && g.lost > 1; }));
        std::printf("  %-4s cameraFound() while the camera was still silent: after %d gap(s); cameraLost() more than once "
                    "in a gap: %d\n",
                    "", early, relost);
    }
    const int snapshotsGood = int(std::count_if(snapshots.cbegin(), snapshots.cend(), [](const Snapshot &s) { return s.readable; }));
    check(!snapshots.isEmpty() && snapshotsGood == snapshots.size(),
          QStringLiteral("snapshots present and readable: %1 of %2").arg(snapshotsGood).arg(snapshots.size()));
    check(!recordings.isEmpty() && recordingsGood == recordings.size(),
          QStringLiteral("recordings readable, timestamps increasing, as long as recorded (±0.5 s), every frame: %1 of %2 "
                         "(across a gap %3, started in one %4, stopped in one %5)")
              .arg(recordingsGood)
              .arg(recordings.size())
              .arg(recordingsAcross)
              .arg(recordingsStartedInGap)
              .arg(recordingsStoppedInGap));
    for (const QString &text : qAsConst(failures))
        check(false, text);
    std::printf("%s\n", passed ? "SOAK PASSED" : "SOAK FAILED");
    return passed ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Rows appear as they are made even into a pipe, and the verdict is out before a leak
    // report at exit ends the process without flushing.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("the camera's RTSP address"));
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("where recordings and snapshots go"));
    const QCommandLineOption minutes(QStringLiteral("minutes"), QStringLiteral("length of the run"), QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption fps(QStringLiteral("fps"), QStringLiteral("the camera's frame rate"), QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption recordEvery(QStringLiteral("record-every"), QStringLiteral("seconds between record clicks"), QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption recordFrom(QStringLiteral("record-from"), QStringLiteral("second of the first record click (default: record-every)"), QStringLiteral("n"));
    const QCommandLineOption snapshotEvery(QStringLiteral("snapshot-every"), QStringLiteral("seconds between snapshots"), QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption gapEvery(QStringLiteral("gap-every"), QStringLiteral("the camera's seconds of sending between link gaps"), QStringLiteral("s"), QStringLiteral("0"));
    const QCommandLineOption gapLength(QStringLiteral("gap-length"), QStringLiteral("seconds of each link gap"), QStringLiteral("s"), QStringLiteral("0"));
    const QCommandLineOption gapOrigin(QStringLiteral("gap-origin"), QStringLiteral("where the gaps count from, in seconds on the monotonic clock"), QStringLiteral("t"));
    parser.addOptions({minutes, fps, recordEvery, recordFrom, snapshotEvery, gapEvery, gapLength, gapOrigin});
    parser.addHelpOption();
    parser.process(app);
    if (parser.positionalArguments().size() != 2)
        parser.showHelp(2);

    Settings settings;
    settings.url = parser.positionalArguments().at(0);
    settings.folder = parser.positionalArguments().at(1);
    settings.minutes = parser.value(minutes).toInt();
    settings.fps = parser.value(fps).toDouble();
    settings.recordEvery = parser.value(recordEvery).toInt();
    settings.recordFrom = parser.isSet(recordFrom) ? parser.value(recordFrom).toInt() : settings.recordEvery;
    settings.snapshotEvery = parser.value(snapshotEvery).toInt();
    settings.gapEvery = parser.value(gapEvery).toDouble();
    settings.gapLength = parser.value(gapLength).toDouble();
    bool originGiven = false;
    settings.gapOrigin = parser.value(gapOrigin).toDouble(&originGiven);
    if (settings.minutes < 1 || settings.fps <= 0 || settings.recordEvery < 1 || settings.recordFrom < 1 || settings.snapshotEvery < 1
        || settings.gapEvery < 0 || settings.gapLength < 0 || (settings.gapEvery > 0) != (settings.gapLength > 0)
        || (settings.gapEvery > 0 && !originGiven))
        parser.showHelp(2);

    Soak soak(settings);
    return soak.run();
}
