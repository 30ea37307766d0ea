// Soak run of the real window against a camera: live view for many minutes, with
// recordings and snapshots through the buttons and their save dialogs, as a user makes
// them. Not a test: scripts/soak runs it with the simulated camera as a process of its
// own, so that the memory figures are the program's alone.
//
//   soak URL FOLDER [--minutes 10] [--fps 30] [--record-every 20] [--snapshot-every 30]
//
// Recordings and snapshots go into FOLDER. Prints a row each minute and a verdict at the
// end; exits 1 when a check fails, 2 when the window cannot go live, 3 when its event loop
// hangs.

#include "app/mainwindow.h"
#include "media/avhelpers.h"
#include "stream/readthread.h"
#include "support/dialogs.h"

#include "framepainter.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
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
    int snapshotEvery = 30;
};

// Resident memory of this process in KiB, -1 if /proc does not say.
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

struct Pictures
{
    bool opened = false;
    int packets = 0;
    int decoded = 0;
    int width = 0;
    int height = 0;
};

// Demuxes and decodes the whole file: a picture that cannot be decoded is one a player
// would not show either.
Pictures countPictures(const QString &path)
{
    Pictures result;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return result;
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return result;
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0)
        return result;
    const AVCodecParameters *parameters = input->streams[index]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!codec || !decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
        return result;
    decoder->thread_count = 0;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return result;
    result.opened = true;

    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            ++result.decoded;
            result.width = frame->width;
            result.height = frame->height;
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) {
            ++result.packets;
            if (avcodec_send_packet(decoder.get(), packet.get()) >= 0)
                drain();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return result;
}

class Soak : public QObject
{
public:
    explicit Soak(const Settings &settings)
        : settings(settings)
    {
    }

    int run();

protected:
    // The window's slot is private; what reaches it from the reader's thread arrives as
    // queued calls, which pass through the window's event filters. In this run the reader
    // is the only source of such calls.
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == window.get() && event->type() == QEvent::MetaCall)
            ++received;
        return false;
    }

private:
    struct Recording
    {
        QString path;
        // Frames the reader emitted while recording was on, counted from both sides of
        // each click since frames go on arriving while the buttons are handled.
        long fewest = 0;
        long most = 0;
    };
    struct Snapshot
    {
        QString path;
        qint64 takenMs = 0;
        bool present = false;
        bool readable = false;
    };

    bool goLive();
    void tick();
    void guard();
    void onSecond(int second);
    void printRow(int minute);
    void toggleRecording();
    void takeSnapshot();
    void checkSnapshots(bool last);
    void analyse(const QImage &image);
    void click(const char *name);
    long emittedNow() const { return emitted + std::max(emittedBefore, 0L); }
    void failure(const QString &text);

    Settings settings;
    std::unique_ptr<MainWindow> window;
    ReadThread *reader = nullptr;
    QElapsedTimer clock;
    QTimer ticker;
    QTimer guardTimer;
    std::atomic<int> lastSecond{0};
    bool finished = false;

    std::atomic<long> emitted{0};
    long emittedBefore = -1; // by the reader before it could be watched
    long received = 0;
    long analysed = 0;
    long lost = 0;
    long repeated = 0;
    long unreadable = 0;
    int previousIndex = -1;

    struct Resident
    {
        int minute;
        long kib;
        bool recording;
    };
    QVector<Resident> residentRows;
    QVector<Recording> recordings;
    bool recording = false;
    long recordStartBefore = 0;
    long recordStartAfter = 0;
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
    window->installEventFilter(this);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) {
        std::printf("the window was not shown\n");
        return false;
    }
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
    click("pbStart");
    answer.stop();
    const QList<ReadThread *> readers = window->findChildren<ReadThread *>();
    if (warned || readers.isEmpty() || !readers.last()->isRunning()) {
        std::printf("the window did not go live on %s\n", qPrintable(settings.url));
        return false;
    }
    // Counted on the reader's own thread, at the moment of emission; what the window has
    // not yet taken from its queue is the difference to `received`. The window's own
    // connection is older, so each picture is queued for the window first and for the
    // analysis right after it.
    reader = readers.last();
    connect(reader, &ReadThread::getImage, this, [this](const QImage &image) {
        ++emitted;
        QMetaObject::invokeMethod(this, [this, image] { analyse(image); }, Qt::QueuedConnection);
    }, Qt::DirectConnection);
    connect(reader, &QThread::finished, this, [this] {
        if (!finished) {
            readerStopped = true;
            failure(QStringLiteral("the reader stopped at second %1").arg(clock.elapsed() / 1000));
        }
    });
    return true;
}

void Soak::analyse(const QImage &image)
{
    // The reader starts inside the Start click, a moment before it can be watched; the
    // pictures it sent in that moment have all reached the window before the first one
    // seen here, which has reached it too.
    if (emittedBefore < 0)
        emittedBefore = received - 1;
    ++analysed;
    const int index = camsim::readFrameIndex(image.constBits(), image.width(), image.height(), image.bytesPerLine());
    if (index < 0) {
        ++unreadable;
        return;
    }
    if (previousIndex >= 0) {
        // The camera's frame numbers are 16 bits wide and wrap after half an hour at 30 fps.
        const int step = (index - previousIndex) & 0xffff;
        if (step == 0)
            ++repeated; // the reader sends its last picture again when a frame does not decode
        else
            lost += step - 1;
    }
    previousIndex = index;
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
    checkSnapshots(false);
    const int now = int(clock.elapsed() / 1000);
    while (!finished && lastSecond < now)
        onSecond(++lastSecond);
}

// Everything due at one second of the run, in a fixed order: the row shows the state
// just before the actions of the same second.
void Soak::onSecond(int second)
{
    if (second % 60 == 0)
        printRow(second / 60);
    if (second % settings.recordEvery == 0)
        toggleRecording();
    if (second % settings.snapshotEvery == 0)
        takeSnapshot();
    if (second >= settings.minutes * 60) {
        finished = true;
        ticker.stop();
        QCoreApplication::quit();
    }
}

void Soak::printRow(int minute)
{
    const long resident = residentKiB();
    residentRows.append({minute, resident, recording});
    const long sent = emittedNow();
    const int snapshotsMade = int(std::count_if(snapshots.cbegin(), snapshots.cend(),
                                                [](const Snapshot &s) { return s.present; }));
    const int recordingsMade = int(recordings.size()) - (recording ? 1 : 0);
    std::printf("%6d %10.1f %9ld %9ld %7ld %6ld %11d %10d %9s\n", minute, resident / 1024.0, sent, received,
                sent - received, lost, recordingsMade, snapshotsMade, recording ? "on" : "off");
}

void Soak::toggleRecording()
{
    const bool ending = lastSecond >= settings.minutes * 60;
    if (recording) {
        const long before = emitted;
        click("pbStartRecord");
        const long after = emitted;
        Recording &last = recordings.last();
        last.fewest = before - recordStartAfter;
        last.most = after - recordStartBefore;
        recording = false;
        return;
    }
    // A recording started as the run ends would hold a handful of pictures.
    if (ending)
        return;
    const QString path = QDir(settings.folder).filePath(QStringLiteral("rec-%1.mp4").arg(recordings.size() + 1, 3, 10, QLatin1Char('0')));
    recordStartBefore = emitted;
    answerSaveDialog(path);
    click("pbStartRecord");
    recordStartAfter = emitted;
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pbStartRecord"));
    if (button->text() != QLatin1String("StopRecord")) {
        failure(QStringLiteral("recording %1 did not start").arg(path));
        return;
    }
    recording = true;
    recordings.append({path, 0, 0});
}

void Soak::takeSnapshot()
{
    const QString path = QDir(settings.folder).filePath(QStringLiteral("snap-%1.jpg").arg(snapshots.size() + 1, 3, 10, QLatin1Char('0')));
    answerSaveDialog(path);
    click("pbSaveImage");
    snapshots.append({path, clock.elapsed(), false, false});
}

// A snapshot is written by the window when the next frame arrives, on this thread, so a
// file that exists here is complete.
void Soak::checkSnapshots(bool last)
{
    const qint64 now = clock.elapsed();
    for (Snapshot &s : snapshots) {
        if (s.present || s.takenMs < 0)
            continue;
        if (QFileInfo::exists(s.path)) {
            s.present = true;
            const QImage image(s.path);
            const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
            s.readable = image.size() == QSize(1280, 960)
                && camsim::readFrameIndex(rgb.constBits(), rgb.width(), rgb.height(), rgb.bytesPerLine()) >= 0;
            if (!s.readable)
                failure(QStringLiteral("snapshot %1 is not a readable camera picture").arg(s.path));
        } else if (last || now - s.takenMs > 5000) {
            failure(QStringLiteral("snapshot %1 did not appear within 5 s").arg(s.path));
            s.takenMs = -1; // reported once
        }
    }
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
    // The schedule and the frame rate count from the first moment of live view.
    clock.start();
    std::printf("%6s %10s %9s %9s %7s %6s %11s %10s %9s\n", "minute", "rss_MiB", "emitted", "received", "queued",
                "lost", "recordings", "snapshots", "recording");
    connect(&ticker, &QTimer::timeout, this, &Soak::tick);
    ticker.start(100);
    connect(&guardTimer, &QTimer::timeout, this, &Soak::guard);
    guardTimer.start(100);
    QApplication::exec();

    phase = "finishing";
    if (recording)
        toggleRecording();
    QElapsedTimer wait;
    wait.start();
    auto pending = [this] {
        return std::any_of(snapshots.cbegin(), snapshots.cend(), [](const Snapshot &s) { return !s.present && s.takenMs >= 0; });
    };
    while (pending() && wait.elapsed() < 5000)
        QTest::qWait(20);
    checkSnapshots(true);

    phase = "stopping";
    const double seconds = clock.elapsed() / 1000.0;
    if (!readerStopped)
        click("pbStart");
    // The window's queue is empty once the reader has stopped and the posted calls ran.
    QCoreApplication::processEvents();
    const long finalEmitted = emittedNow();
    const long finalReceived = received;
    window.reset();
    QCoreApplication::processEvents();
    guardTimer.stop();
    endWatch();

    std::printf("frames: %ld emitted, %ld received, %ld analysed, %ld lost, %ld repeated, %ld unreadable; "
                "%.2f fps over %.0f s\n",
                finalEmitted, finalReceived, analysed, lost, repeated, unreadable, finalReceived / seconds, seconds);
    int recordingsReadable = 0;
    for (const Recording &r : recordings) {
        const Pictures p = countPictures(r.path);
        const bool ok = p.opened && p.packets > 0 && p.decoded == p.packets && p.width == 1280 && p.height == 960
            && p.decoded >= r.fewest && p.decoded <= r.most;
        std::printf("  %s: %d packets, %d pictures decoded, %dx%d, reader emitted %ld..%ld while recording  %s\n",
                    qPrintable(QFileInfo(r.path).fileName()), p.packets, p.decoded, p.width, p.height, r.fewest,
                    r.most, ok ? "ok" : "FAIL");
        if (ok)
            ++recordingsReadable;
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
            if (r.recording == state) {
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
    check(lost == 0 && unreadable == 0,
          QStringLiteral("lost frames: %1 (pictures without a readable frame number: %2)").arg(lost).arg(unreadable));
    check(finalReceived >= 0.95 * settings.fps * seconds,
          QStringLiteral("frame rate: %1 fps received, camera sends %2").arg(finalReceived / seconds, 0, 'f', 2).arg(settings.fps));
    const int snapshotsGood = int(std::count_if(snapshots.cbegin(), snapshots.cend(), [](const Snapshot &s) { return s.readable; }));
    check(!snapshots.isEmpty() && snapshotsGood == snapshots.size(),
          QStringLiteral("snapshots present and readable: %1 of %2").arg(snapshotsGood).arg(snapshots.size()));
    check(!recordings.isEmpty() && recordingsReadable == recordings.size(),
          QStringLiteral("recordings present and readable: %1 of %2").arg(recordingsReadable).arg(recordings.size()));
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
    const QCommandLineOption snapshotEvery(QStringLiteral("snapshot-every"), QStringLiteral("seconds between snapshots"), QStringLiteral("n"), QStringLiteral("30"));
    parser.addOptions({minutes, fps, recordEvery, snapshotEvery});
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
    settings.snapshotEvery = parser.value(snapshotEvery).toInt();
    if (settings.minutes < 1 || settings.fps <= 0 || settings.recordEvery < 1 || settings.snapshotEvery < 1)
        parser.showHelp(2);

    Soak soak(settings);
    return soak.run();
}
