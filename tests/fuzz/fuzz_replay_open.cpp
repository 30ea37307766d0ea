// libFuzzer target: a whole file through the replay, as "Open" and the player's controls
// take it: PlayBackThread::openFile() on this thread, then start() at four times the speed,
// with a few seeks, steps, pauses, stills and new picture sizes chosen from the input, until
// the replay has ended or a bound is reached (0.4 s or 120 positions), then stopPlay() and
// wait(). The input sits in a memfd that libavformat opens by its /proc/self/fd path.
//
// The sanitizers watch the memory (of this program; FFmpeg and Qt themselves are not
// instrumented). Beyond that, what the window relies on is checked, and a broken promise
// aborts:
//   - the reason for a failed open is true of the file as libavformat sees it (not a media
//     file, no video stream, or a video stream), and a file that opens has a video stream;
//   - the duration is not negative (0 when the file does not give it), and every position
//     lies in [0, duration] when it is known;
//   - a picture comes at the size asked for (the circular one for a picture with an angle);
//   - the thread ends within 10 s of stopPlay();
//   - the images emitted (pictures and stills) keep their pixels after the player is gone.
//
// The seeds in corpus/fuzz_replay_open/ were made with FFmpeg 5.1's command line:
//   V="-f lavfi -i testsrc=size=160x120:rate=25:duration=0.6"
//   X="-c:v libx264 -preset ultrafast -crf 35 -g 5 -pix_fmt yuv420p -fflags +bitexact -map_metadata -1"
//   ffmpeg $V $X -bf 0 h264.mp4
//   ffmpeg $V ${X/ultrafast/fast} -bf 2 h264-bframes.mp4
//   ffmpeg $V $X -movflags frag_keyframe+empty_moov h264-fragmented.mp4
//   ffmpeg $V -f lavfi -i sine=frequency=440:duration=0.6 $X -c:a aac -b:a 32k -ac 1 -ar 16000 h264-aac.mp4
//   ffmpeg $V $X -bsf:v "h264_metadata=sei_user_data=6c0e593a-9d41-4f27-b58e-2a71c403d65f+"$'\x01\x03\x5a\x01\x01' \
//       h264-viewnote.mp4     (the first picture carries a view note: an angle, mirrored)
//   ffmpeg $V $X -movflags +faststart fs.mp4
//   head -c 5000 fs.mp4 > h264-cut.mp4
//   cp fs.mp4 h264-damaged.mp4
//   for at in 2600 4100 6500; do printf '\xde\xad\xbe\xef' | dd of=h264-damaged.mp4 bs=1 seek=$at conv=notrunc; done
//   ffmpeg -f lavfi -i testsrc=size=128x96:rate=25:duration=0.32 -c:v mjpeg -q:v 31 -pix_fmt yuvj422p \
//       -fflags +bitexact -map_metadata -1 mjpeg.avi
//   ffmpeg -f lavfi -i sine=frequency=440:duration=0.5 -c:a aac -b:a 24k -ac 1 -ar 16000 \
//       -fflags +bitexact -map_metadata -1 audio-only.m4a

#include "media/avhelpers.h"
#include "playback/playbackthread.h"
#include "tests/support/fuzzcheck.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QSize>
#include <QString>
#include <QtGlobal>

extern "C" {
#include <libavutil/log.h>
}

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

extern const char FuzzTargetName[] = "fuzz_replay_open";

namespace {

using Clock = std::chrono::steady_clock;

const auto PlayFor = std::chrono::milliseconds(400);
const int MaxPositions = 120;
const unsigned long StopWithinMs = 10000;



// The player's log is dropped, so that the run is not slowed down by printing; Qt's own
// warnings still show.
void onMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// What the file is to libavformat, found without the player.
enum class Probe { NotMedia, NoVideo, Video };

Probe probe(const char *path)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path, nullptr, nullptr) < 0)
        return Probe::NotMedia;
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return Probe::NotMedia;
    return av::findVideoStream(input.get()) < 0 ? Probe::NoVideo : Probe::Video;
}

// The controls are chosen from the whole input, so that every change to a file also
// replays it another way.
struct Random
{
    Random(const uint8_t *data, size_t size)
    {
        state = 14695981039346656037ull;
        for (size_t i = 0; i < size; ++i)
            state = (state ^ data[i]) * 1099511628211ull;
        state |= 1;
    }
    uint64_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    int below(int n) { return int(next() % uint64_t(n)); }

    uint64_t state;
};

enum class Control { SeekTo, SeekBy, Step, TogglePause, Still, Resize };

struct Action
{
    int atPosition; // sent once this many positions have come, or when the player rests
    Control control;
    int64_t value;
    QSize plain;
    QSize circular;
};

QSize randomSize(Random &random)
{
    return QSize(8 + random.below(200), 8 + random.below(160));
}

std::vector<Action> planFor(Random &random, int64_t durationUs)
{
    const int64_t spanUs = durationUs > 0 ? durationUs : 2000000;
    std::vector<Action> plan;
    int at = 0;
    for (int n = 1 + random.below(5); n > 0; --n) {
        Action a{};
        at += random.below(6);
        a.atPosition = at;
        a.control = Control(random.below(6));
        switch (a.control) {
        case Control::SeekTo:
            // Now and then past the end.
            a.value = int64_t(random.next() % uint64_t(spanUs + spanUs / 4 + 1));
            break;
        case Control::SeekBy:
            a.value = int64_t(random.next() % uint64_t(spanUs + 1)) - spanUs / 2;
            break;
        case Control::Step:
            a.value = random.below(7) - 3;
            break;
        case Control::Resize: {
            a.plain = randomSize(random);
            const int side = 8 + random.below(160);
            a.circular = QSize(side, side);
            break;
        }
        default:
            break;
        }
        plan.push_back(a);
    }
    return plan;
}

// Where touchPixels() leaves its sum, so that the reads are not optimised away.
volatile unsigned pixelSum;

// Reads every pixel, so that an image that shares a buffer the player has freed is an
// ASan report.
void touchPixels(const QImage &image)
{
    unsigned sum = 0;
    for (int y = 0; y < image.height(); ++y) {
        const uchar *line = image.constScanLine(y);
        for (int x = 0; x < image.width() * 4; ++x)
            sum += line[x];
    }
    pixelSum = sum;
}

struct Harness
{
    Harness()
    {
        // Without an application object, Qt delivers no posted events: the mailbox's
        // pictures would never reach getImage().
        static int argc = 1;
        static char name[] = "fuzz_replay_open";
        static char *argv[] = {name, nullptr};
        static QCoreApplication application(argc, argv);
        qInstallMessageHandler(onMessage);
        av_log_set_level(AV_LOG_QUIET);
        fd = memfd_create("fuzz_replay_open", 0);
        if (fd < 0)
            fail("memfd_create failed");
        path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    }

    void write(const uint8_t *data, size_t size)
    {
        if (ftruncate(fd, 0) < 0)
            fail("ftruncate failed");
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
            if (n <= 0)
                fail("pwrite failed");
            done += size_t(n);
        }
    }

    void run(const uint8_t *data, size_t size)
    {
        write(data, size);
        const Probe truth = probe(path.toUtf8().constData());

        auto *player = new PlayBackThread;
        if (!player->openFile(path)) {
            switch (player->failure()) {
            case PlayBackThread::Failure::CannotOpen:
                check(truth == Probe::NotMedia, "CannotOpen for a file that libavformat opens");
                break;
            case PlayBackThread::Failure::NoVideo:
                check(truth == Probe::NoVideo, "NoVideo for a file with a video stream, or none");
                break;
            case PlayBackThread::Failure::CannotDecode:
                check(truth == Probe::Video, "CannotDecode for a file without a video stream");
                break;
            }
            delete player;
            return;
        }
        check(truth == Probe::Video, "a file without a video stream opened");

        Random random(data, size);
        QSize plain = randomSize(random);
        QSize circular(plain.height(), plain.height());
        // A picture made before a new size is taken may still come at the old one.
        std::vector<QSize> plainSizes{plain}, circularSizes{circular};
        player->setPictureSizes(plain, circular);

        std::mutex mutex;
        std::condition_variable changed;
        PlayBackThread::Position last;
        int positions = 0;
        QImage still;
        int64_t durationUs = -1;

        QObject::connect(player, &PlayBackThread::positionChanged, player,
                         [&](PlayBackThread::Position p) {
                             std::lock_guard<std::mutex> lock(mutex);
                             if (p.durationUs < 0 || p.us < 0 || (p.durationUs > 0 && p.us > p.durationUs)) {
                                 std::fprintf(stderr, "fuzz_replay_open: position %lld us, duration %lld us\n",
                                              (long long)p.us, (long long)p.durationUs);
                                 fail(p.durationUs < 0 ? "a negative duration" : "a position outside [0, duration]");
                             }
                             durationUs = p.durationUs;
                             last = p;
                             ++positions;
                             changed.notify_all();
                         },
                         Qt::DirectConnection);
        QObject::connect(player, &PlayBackThread::still, player,
                         [&](QImage image) {
                             std::lock_guard<std::mutex> lock(mutex);
                             still = image;
                         },
                         Qt::DirectConnection);
        // Emitted on this thread, when the mailbox's delivery is sent below.
        QImage picture;
        QObject::connect(player, &PlayBackThread::getImage, player,
                         [&](QImage image, int, bool isHaveDegree, bool, bool) {
                             const std::vector<QSize> &sizes = isHaveDegree ? circularSizes : plainSizes;
                             bool known = false;
                             for (const QSize &s : sizes)
                                 known = known || image.size() == s;
                             check(known, "a picture at a size that was not asked for");
                             picture = image;
                         },
                         Qt::DirectConnection);

        player->setSpeed(4);
        player->start();

        const Clock::time_point deadline = Clock::now() + PlayFor;
        std::vector<Action> plan;
        size_t nextAction = 0;
        int resumes = 0;
        // Whether the player has answered the last control: one that moves or pauses the
        // replay answers with a position; a still or a new size need not.
        bool answered = false;
        int positionsSeen = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (Clock::now() >= deadline || positions >= MaxPositions)
                break;
            if (positions > positionsSeen) {
                positionsSeen = positions;
                answered = true;
            }
            // The first position comes as the speed is taken, with the duration.
            if (plan.empty() && positions > 0)
                plan = planFor(random, durationUs);
            const bool resting = (last.paused || last.ended) && answered;
            if (nextAction < plan.size() && (positions >= plan[nextAction].atPosition || resting)) {
                const Action a = plan[nextAction++];
                if (a.control != Control::Still && a.control != Control::Resize)
                    answered = false;
                lock.unlock();
                switch (a.control) {
                case Control::SeekTo: player->seekTo(a.value); break;
                case Control::SeekBy: player->seekBy(a.value); break;
                case Control::Step: player->step(int(a.value)); break;
                case Control::TogglePause: player->togglePause(); break;
                case Control::Still: player->requestStill(); break;
                case Control::Resize:
                    plainSizes.push_back(a.plain);
                    circularSizes.push_back(a.circular);
                    player->setPictureSizes(a.plain, a.circular);
                    break;
                }
                lock.lock();
                continue;
            }
            if (!plan.empty() && nextAction == plan.size() && resting) {
                // Played to the end; or left paused by the plan, and played on. A position
                // sent before the resume was taken may still say paused.
                if (!last.paused || resumes == 3)
                    break;
                ++resumes;
                answered = false;
                lock.unlock();
                player->togglePause();
                lock.lock();
                continue;
            }
            // The window's event loop: the picture waiting in the mailbox is delivered.
            lock.unlock();
            QCoreApplication::sendPostedEvents();
            lock.lock();
            changed.wait_until(lock, deadline, [&] { return positions > positionsSeen; });
        }
        lock.unlock();

        player->stopPlay();
        if (!player->wait(QDeadlineTimer(StopWithinMs)))
            fail("the replay did not end within 10 s of stopPlay()");
        QCoreApplication::sendPostedEvents();
        delete player;

        touchPixels(picture);
        touchPixels(still);
    }

    int fd = -1;
    QString path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 20)
        return -1;
    static Harness harness;
    harness.run(data, size);
    return 0;
}
