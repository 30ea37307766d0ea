#include "app/mainwindow.h"
#include "display/videodisplaywidget.h"
#include "playback/playbackthread.h"
#include "stream/readthread.h"
#include "record/recordingfinisher.h"
#include "stream/streamconnection.h"
#include "support/camera.h"
#include "support/dialogs.h"
#include "support/livewindow.h"
#include "support/mediafile.h"
#include "support/process.h"
#include "support/window.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>

// A user who does anything at any time to the real window, and a camera that fails at any
// time: seeded random sequences of both, the window's invariants checked after every
// action. MONKEY_SEED=S makes the same choices again (the threads' timing is never the
// same); MONKEY_ACTIONS=N makes a run N actions long, best with -maxwarnings 0, for Qt Test
// keeps only the first 2000 lines of the program's own log.

namespace {

// 40 s or so in either build on an idle machine, mostly the user's waiting: two runs took
// 42 and 43 s with the sanitizers, 39 and 40 s in Release.
const int DefaultActions = 120;
// Then the window is closed and opened anew, and the heap counted: the caches of Qt's file
// dialog, fonts and thread pools, of GStreamer and FFmpeg, are filled by then.
const int WarmUpActions = 30;
// How much more heap the end may hold: between two closed windows it moved by up to 4 MiB
// (runs of 100 to 3000 actions) with the camera's state and Qt's caches; one leaked camera
// picture is 4.7 MiB.
const long HeapMarginKiB = 8 * 1024;
const int CameraSilenceMs = int(StreamConnection::CameraSilenceUs / 1000);

} // namespace

class tst_RandomActions : public QObject
{
    Q_OBJECT

public:
    tst_RandomActions()
    {
        // Qt Test's watchdog ends a test function after five minutes; a long run takes longer.
        if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
            qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(300000 + 5000 * count));
    }

private slots:
    void run();

private:
    struct Action
    {
        const char *name;
        int weight;
        void (*act)(tst_RandomActions &);
    };
    static const Action Actions[];

    int any(int n) { return int(rng.bounded(n)); }
    bool chance(int percent) { return any(100) < percent; }
    QPoint onPicture() { return QPoint(displayOf(*window)->width() * any(1000) / 1000, displayOf(*window)->height() * any(1000) / 1000); }
    static QString text(const QPoint &point) { return QStringLiteral("%1,%2").arg(point.x()).arg(point.y()); }
    void note(const QString &detail);
    int note(int ms);
    void idle(int ms);
    void press(const char *name, Qt::Key key, const char *only = nullptr, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void save(const char *name, Qt::Key key, const char *suffix, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    void changeCamera();
    void serving(bool started);
    void openWindow();
    QString closeWindow(long *heapKiB = nullptr);
    QString broken();

    const quint32 seed = qEnvironmentVariableIsSet("MONKEY_SEED") ? qgetenv("MONKEY_SEED").toUInt() : QRandomGenerator::global()->generate();
    const int count = qEnvironmentVariableIsSet("MONKEY_ACTIONS") ? qEnvironmentVariableIntValue("MONKEY_ACTIONS") : DefaultActions;
    TestHome home;
    QTemporaryDir dir;
    QRandomGenerator rng{seed};
    std::unique_ptr<Camera> camera;
    int port = 0;
    QDeadlineTimer refusing; // the camera is stopped until then
    std::unique_ptr<MainWindow> window;
    QStringList typed;       // into save dialogs so far
    QString current;         // the action under way, numbered
    int pauseMs = 0;         // the wait after it
    int mostSessions = 0;    // at the camera at once since the last check
    QString problem;         // an invariant found broken during an action
};

using T = tst_RandomActions;

const tst_RandomActions::Action tst_RandomActions::Actions[] = {
    // The user: the five buttons, each clicked or its key pressed; the other keys; the mouse
    // on the picture; waiting; closing the window, and opening a new one.
    {"Start/Stop", 8, [](T &t) { t.press("pbStart", Qt::Key_F5); }},
    {"Start, unless on", 6, [](T &t) { t.press("pbStart", Qt::Key_F5, "Start"); }},
    {"StartRecord/StopRecord", 10, [](T &t) { t.save("pbStartRecord", Qt::Key_R, "mp4"); }},
    {"SaveImage", 6, [](T &t) { t.save("pbSaveImage", Qt::Key_S, "jpg"); }},
    {"StartReplay/StopReplay", 8, [](T &t) { t.press("pbPlayBack", Qt::Key_P); }},
    {"StartReplay, unless on", 6, [](T &t) { t.press("pbPlayBack", Qt::Key_P, "StartReplay"); }},
    {"Mirror", 3, [](T &t) { t.press("pushButton", Qt::Key_M); }},
    {"link figures", 2, [](T &t) { t.press(nullptr, Qt::Key_I); }},
    {"player key", 6, [](T &t) {
         t.press(nullptr, std::array{Qt::Key_Space, Qt::Key_Left, Qt::Key_Right, Qt::Key_Home, Qt::Key_End, Qt::Key_Comma,
                                     Qt::Key_Period, Qt::Key_BracketLeft, Qt::Key_BracketRight}[t.any(9)]);
     }},
    {"a recording opened (Ctrl+O)", 2, [](T &t) { t.save(nullptr, Qt::Key_O, "mp4", Qt::ControlModifier); }},
    {"position bar", 3, [](T &t) {
         auto *display = displayOf(*t.window);
         const QPoint from(display->width() * t.any(1000) / 1000, display->height() - 30);
         const QPoint to(display->width() * t.any(1000) / 1000, from.y());
         t.note(text(from) + QStringLiteral(" to ") + text(to));
         drag(display, from, to);
     }},
    {"full screen", 3, [](T &t) { t.press(nullptr, Qt::Key_F11); }},
    {"Esc", 2, [](T &t) { t.press(nullptr, Qt::Key_Escape); }},
    {"zoom key", 3, [](T &t) { t.press(nullptr, std::array{Qt::Key_Plus, Qt::Key_Equal, Qt::Key_Minus, Qt::Key_0}[t.any(4)]); }},
    {"wheel", 3, [](T &t) {
         const QPoint at = t.onPicture();
         const int notches = t.any(7) - 3;
         t.note(QStringLiteral("%1 notches at %2").arg(notches).arg(text(at)));
         turnWheel(displayOf(*t.window), at, notches);
     }},
    {"drag", 3, [](T &t) {
         const QPoint from = t.onPicture(), to = t.onPicture();
         t.note(text(from) + QStringLiteral(" to ") + text(to));
         drag(displayOf(*t.window), from, to);
     }},
    {"double-click", 2, [](T &t) {
         const QPoint at = t.onPicture();
         t.note(text(at));
         QTest::mouseDClick(displayOf(*t.window), Qt::LeftButton, Qt::NoModifier, at);
     }},
    {"waits", 4, [](T &t) { t.idle(t.note(500 + t.any(2500))); }},
    {"closes the window", 1, [](T &t) {
         t.note(QStringLiteral("and opens a new one"));
         t.problem = t.closeWindow();
         t.openWindow();
     }},
    // The camera: silent with its session open, for longer than the reader waits or not;
    // losing or damaging frames; restarting; refusing for a while.
    {"camera stalls", 3, [](T &t) { t.camera->simulator.pauseSending(std::chrono::milliseconds(t.note(CameraSilenceMs + 200 + t.any(3000)))); }},
    {"camera's link drops", 3, [](T &t) { t.camera->simulator.pauseSending(std::chrono::milliseconds(t.note(100 + t.any(CameraSilenceMs - 400)))); }},
    {"camera loses and damages frames", 3, [](T &t) { t.changeCamera(); }},
    {"camera restarts", 2, [](T &t) {
         t.note(QString());
         t.serving(t.camera->simulator.restart());
     }},
    {"camera refuses", 3, [](T &t) {
         t.refusing.setRemainingTime(t.note(t.any(2 * CameraSilenceMs)));
         t.camera->simulator.stop();
     }},
};

// Every action is printed as it begins, so that a crash, too, leaves the list behind; on
// stderr, unbuffered, and not counted by Qt Test, which ends the log after 2000 lines.
void tst_RandomActions::note(const QString &detail)
{
    std::fprintf(stderr, "%s\n", qPrintable(QStringLiteral("%1%2%3, then %4 ms [in %5]")
                                                .arg(current, detail.isEmpty() ? QString() : QStringLiteral(": "), detail)
                                                .arg(pauseMs)
                                                .arg(stateName(*window))));
}

int tst_RandomActions::note(int ms)
{
    note(QStringLiteral("%1 ms").arg(ms));
    return ms;
}

// The user waits, the window goes on; the camera's sessions are counted meanwhile, and a
// camera that refused comes back in time.
void tst_RandomActions::idle(int ms)
{
    QElapsedTimer timer;
    timer.start();
    do {
        QTest::qWait(int(std::min<qint64>(10, ms - timer.elapsed())));
        mostSessions = std::max(mostSessions, camera->simulator.activeStreams());
        if (!camera->simulator.isRunning() && refusing.hasExpired())
            serving(camera->simulator.restart());
    } while (timer.elapsed() < ms);
}

// A button clicked or its key pressed, or a key alone (no `name`). The buttons are hidden
// in full screen, where their keys work. With `only`, only if the button says that.
void tst_RandomActions::press(const char *name, Qt::Key key, const char *only, Qt::KeyboardModifiers modifiers)
{
    const bool byKey = chance(30) || !name || !button(*window, name)->isVisible();
    if (only && button(*window, name)->text() != QLatin1String(only))
        return note(QStringLiteral("not there"));
    note(byKey ? QKeySequence(int(key) | int(modifiers)).toString() : QStringLiteral("click"));
    if (!byKey)
        return click(*window, name);
    // After a modal dialog the offscreen platform does not always give the window the focus
    // back; the user would click it first. A warning may come up meanwhile, and go.
    const auto inFront = [this] {
        if (QApplication::activeWindow() != window.get())
            window->activateWindow();
        return QApplication::activeWindow() == window.get();
    };
    if (!QTest::qWaitFor(inFront, 5000))
        problem = QStringLiteral("the window does not come to the front");
    QTest::keyClick(window.get(), key, modifiers);
}

// A button that may open a save dialog: answered with a new name, a name typed before (Qt
// then asks whether to replace the file, if it is there), the name it suggests, or
// cancelled. All is chosen beforehand, so that the choices do not depend on timing.
void tst_RandomActions::save(const char *name, Qt::Key key, const char *suffix, Qt::KeyboardModifiers modifiers)
{
    const int answer = any(10);
    const bool replace = chance(60);
    if (answer < 4 || (answer < 7 && typed.isEmpty()))
        typed << QStringLiteral("take%1.%2").arg(typed.size()).arg(QLatin1String(suffix));
    const QString chosen = answer < 7 ? typed[answer < 4 ? typed.size() - 1 : any(typed.size())] : QString();
    current += answer < 7 ? QStringLiteral(" (%1, replace: %2)").arg(chosen, replace ? QStringLiteral("yes") : QStringLiteral("no"))
                          : answer < 9 ? QStringLiteral(" (cancel)") : QStringLiteral(" (the suggestion)");
    SeenSaveDialog dialog; // stops waiting when it goes, also for a dialog that never came
    answerSaveDialog(chosen.isEmpty() ? QString() : dir.filePath(chosen), &dialog, answer == 9);
    QPointer<QTimer> question = answerReplaceQuestion(replace);
    press(name, key, nullptr, modifiers);
    delete question.data();
}

// The camera comes back on the same port, losing and damaging frames as chosen (or not).
void tst_RandomActions::changeCamera()
{
    camsim::Options options = loopbackCamera(chance(25) ? 10 : 30);
    options.port = port;
    options.dropPercent = chance(50) ? any(20) : 0;
    options.dropBurst = 1 + any(4);
    options.dropFrameEvery = chance(50) ? 2 + any(9) : 0;
    options.corruptEvery = chance(50) ? 2 + any(9) : 0;
    note(QStringLiteral("%1 fps; lost: %2 % of the packets, in runs of %3, and a packet of frame %4k-1; damaged: frame %5k-1")
             .arg(options.fps).arg(options.dropPercent).arg(options.dropBurst).arg(options.dropFrameEvery).arg(options.corruptEvery));
    camera.reset();
    camera = std::make_unique<Camera>(options);
    serving(camera->start());
}

void tst_RandomActions::serving(bool started)
{
    if (!started)
        problem = QStringLiteral("the camera cannot serve again: ") + QString::fromStdString(camera->simulator.errorString());
}

void tst_RandomActions::openWindow()
{
    window = std::make_unique<MainWindow>(QStringLiteral("rtsp://127.0.0.1:%1/webcam").arg(port));
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        problem = QStringLiteral("the new window is not shown");
}

// Closes the window as the user does, and looks at what it leaves: no worker, no session,
// and whole files. A recording being finished keeps the window open until it is done.
QString tst_RandomActions::closeWindow(long *heapKiB)
{
    window->close();
    if (!QTest::qWaitFor([this] { return !window->isVisible(); }, 120000))
        return QStringLiteral("the window does not close: %1 recordings being finished, the picture says \"%2\"")
            .arg(RecordingFinisher::isFinishing() ? QStringLiteral("some") : QStringLiteral("no"), displayOf(*window)->notice());
    window.reset();
    RecordingFinisher::waitForAll();
    if (!QTest::qWaitFor([] { return threadsNamed("camera reader") + threadsNamed("frame decoder") + threadsNamed("replay")
                                        + threadsNamed("recording encoder") == 0; }, 5000))
        return QStringLiteral("a worker still runs after the window has gone");
    if (!QTest::qWaitFor([this] { return camera->simulator.activeStreams() == 0; }, 10000))
        return QStringLiteral("a session is left at the camera after the window has gone");
    // The dialogs add the suffixes: every *.mp4 is a recording, every *.jpg a snapshot.
    for (const QString &folder : {dir.path(), home.desktop()}) {
        if (const QString damaged = damagedFiles(folder); !damaged.isEmpty())
            return damaged;
    }
    if (heapKiB)
        *heapKiB = heapInUseKiB();
    return QString();
}

// The invariants the window keeps whatever happens. They are looked at with the window's
// events going on, so a worker's thread, or the camera's session, may take a moment to end.
QString tst_RandomActions::broken()
{
    mostSessions = std::max(mostSessions, camera->simulator.activeStreams());
    const int sessions = std::exchange(mostSessions, 0);
    const QString shown = buttons(*window), state = stateName(*window);
    const int readers = window->findChildren<ReadThread *>().size();
    const int players = window->findChildren<PlayBackThread *>().size();
    const VideoDisplayWidget *display = displayOf(*window);
    const bool live = shown == Connecting || shown == ConnectingWithRecording || shown == Live || shown == RecordingOn;
    if (state.isEmpty())
        return QStringLiteral("the buttons show no state the user knows: ") + shown;
    if (readers != int(live) || players > int(shown == Replaying))
        return QStringLiteral("%1 live readers and %2 replays in the state %3").arg(readers).arg(players).arg(state);
    if (shown == Replaying && !players && !display->notice().startsWith(QLatin1String("Finishing the recording")))
        return QStringLiteral("replaying nothing, and waiting for no recording");
    if (shown != Replaying && display->isReplayBarShown())
        return QStringLiteral("the position bar shows in the state %1").arg(state);
    if ((shown == RecordingOn) == display->recordingStatus().isEmpty())
        return QStringLiteral("the recording indicator says \"%1\" in the state %2").arg(display->recordingStatus(), state);
    if (sessions > 1)
        return QStringLiteral("%1 sessions at the camera at once").arg(sessions);
    // The replay's decoder has threads of its own, which take the replay's name.
    if (!QTest::qWaitFor([&] { return threadsNamed("camera reader") <= int(live) && threadsNamed("frame decoder") <= int(live)
                                      && (threadsNamed("replay") == 0 || shown == Replaying); }, 5000))
        return QStringLiteral("a worker's thread still runs in the state %1").arg(state);
    if ((shown == Idle || shown == IdleWithRecording) && !QTest::qWaitFor([this] { return camera->simulator.activeStreams() == 0; }, 10000))
        return QStringLiteral("a session is left at the camera in the state Idle");
    return QString();
}

void tst_RandomActions::run()
{
    std::fprintf(stderr, "seed %u, %d actions; MONKEY_SEED=%u makes the same choices\n", seed, count, seed);
    // The message boxes come when they come; the user reads each for a while.
    QRandomGenerator reading(seed + 1);
    std::unique_ptr<QTimer> answering(answerEveryMessageBox([&reading] { return int(reading.bounded(800)); },
                                                            [](const QMessageBox &box) { std::fprintf(stderr, "  OK to \"%s\"\n", qPrintable(box.text())); }));
    camera = std::make_unique<Camera>();
    QVERIFY(camera->start());
    port = camera->simulator.port();
    openWindow();

    int total = 0;
    for (const Action &action : Actions)
        total += action.weight;
    auto report = [&] { return QStringLiteral("seed %1, after %2: %3 (the actions so far are listed above)").arg(seed).arg(current, problem); };
    long heapAfterWarmUp = -1, heapAtEnd = -1;
    for (int n = 1; n <= count; ++n) {
        const Action *action = Actions;
        for (int pick = any(total); pick >= action->weight; ++action)
            pick -= action->weight;
        pauseMs = chance(20) ? any(1200) : any(150);
        current = QStringLiteral("#%1 %2").arg(n).arg(QLatin1String(action->name));
        action->act(*this);
        idle(pauseMs);
        if (problem.isEmpty())
            problem = broken();
        if (problem.isEmpty() && n == std::min(WarmUpActions, count / 2)) {
            problem = closeWindow(&heapAfterWarmUp);
            openWindow();
        }
        QVERIFY2(problem.isEmpty(), qPrintable(report()));
    }
    current = QStringLiteral("the end");
    problem = closeWindow(&heapAtEnd);
    QVERIFY2(problem.isEmpty(), qPrintable(report()));
    std::fprintf(stderr, "heap in use: %ld KiB after warm-up, %ld KiB at the end\n", heapAfterWarmUp, heapAtEnd);
    QVERIFY2(heapAtEnd <= heapAfterWarmUp + HeapMarginKiB, qPrintable(QStringLiteral("seed %1: %2 KiB of heap in use after warm-up, %3 KiB at the end")
                                                                          .arg(seed).arg(heapAfterWarmUp).arg(heapAtEnd)));
}

QTEST_MAIN(tst_RandomActions)
#include "tst_randomactions.moc"
