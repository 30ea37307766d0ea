// The replay's figures, for the "replay" section of scripts/bench.
//
//   replay_probe make FILE MINUTES
//       Records MINUTES of 1280x960 pictures at 30 a second into FILE with the program's
//       own recorder, finished as the window finishes a recording (Recording, then
//       RecordingFinisher): H.264 with a key picture every second and the recorder's own
//       timestamps. The pictures are the simulated camera's detailed ones, painted rather
//       than sent through JPEG, with the picture's number in the clock strip; the picture
//       drifts about as a camera held by hand does, so that the pictures between the key
//       pictures carry motion and not only the counter. The file is made under another
//       name beside FILE and takes FILE's name once it is complete. Prints
//       "made pictures= keys= seconds= bytes= make_s=".
//   replay_probe seek FILE COUNT SEED
//       Replays FILE with a PlayBackThread that asks for the window's 600x600 picture,
//       pauses it, then seeks COUNT times to random times (SEED chooses them), each time
//       from the call of seekTo() until both the position of the picture sought and that
//       picture itself (its number read from its clock strip) have reached this thread.
//       Prints a table, then "seek_ms median= p90= max= count= failed= wrong=".
//   replay_probe shown WINDOW X Y W H SECONDS
//       Counts the pictures of such a file that X window WINDOW (an id, as xdotool gives it)
//       shows in SECONDS, the frame filling the rectangle X Y W H of the window: a few rows
//       through the middle of the clock strip are fetched every 4 ms, a picture lasts 33,
//       and each number counts the first time it shows. Prints "shown pictures= first=
//       last= skipped= unreadable= misread= grabs= seconds=": skipped are the numbers
//       between first and last that never showed.

#include "media/avhelpers.h"
#include "playback/playbackthread.h"
#include "record/recording.h"
#include "record/recordingfinisher.h"

#include "framepainter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

// After every Qt and simulator header: Xlib's macros (None, Status, ...) would clash.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const int Fps = 30;
const int Width = 1280;
const int Height = 960;
// What the window's plain view asks the replay for.
const QSize WindowPicture(600, 600);
// The seek's and the first picture's limit: far beyond any seek, short of a hung run.
const int WaitLimitMs = 20000;

double pictureUs(int64_t picture)
{
    return double(picture) * 1e6 / Fps;
}

// Where the drifting picture is at picture n, in pixels: a slow sweep across, with a sway
// up and down; never more than 6 pixels from one picture to the next.
void driftOf(int64_t n, int *dx, int *dy)
{
    const double pi = 3.14159265358979;
    const double x = 2.0 * double(n) + 90.0 * std::sin(2 * pi * double(n) / 240.0);
    const double y = 40.0 * std::sin(2 * pi * double(n) / 330.0);
    *dx = int(((int64_t(std::lround(x)) % Width) + Width) % Width);
    *dy = int(((int64_t(std::lround(y)) % Height) + Height) % Height);
}

// The painted picture moved by the drift, wrapping round its edges, into `picture`
// (RGB24); the clock strip's rows stay where they are, so that a reader finds them.
void drift(const std::vector<uint8_t> &painted, int64_t n, AVFrame *picture)
{
    int dx = 0, dy = 0, top = 0, bottom = 0;
    driftOf(n, &dx, &dy);
    camsim::clockStripRows(Height, &top, &bottom);
    const size_t row = size_t(Width) * 3;
    for (int y = 0; y < Height; ++y) {
        uint8_t *out = picture->data[0] + size_t(y) * size_t(picture->linesize[0]);
        if (y >= top && y < bottom) {
            std::memcpy(out, painted.data() + size_t(y) * row, row);
            continue;
        }
        const uint8_t *in = painted.data() + size_t((y + dy) % Height) * row;
        const size_t cut = size_t(dx) * 3;
        std::memcpy(out, in + cut, row - cut);
        std::memcpy(out + row - cut, in, cut);
    }
}

struct FileFigures
{
    int pictures = 0;
    int keys = 0;
    double seconds = 0;
};

// The packets of the file's video stream, read back.
bool readBack(const QString &path, FileFigures &figures)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return false;
    const int video = av::findVideoStream(input.get());
    if (video < 0)
        return false;
    figures.seconds = input->duration > 0 ? input->duration / 1e6 : 0;
    av::PacketPtr packet(av_packet_alloc());
    while (packet && av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == video) {
            ++figures.pictures;
            if (packet->flags & AV_PKT_FLAG_KEY)
                ++figures.keys;
        }
        av_packet_unref(packet.get());
    }
    return true;
}

int make(const QString &path, double minutes)
{
    QElapsedTimer clock;
    clock.start();
    const QFileInfo info(path);
    // The container follows the extension.
    const QString making = info.dir().filePath(QLatin1Char('.') + info.completeBaseName()
                                               + QStringLiteral("-making.mp4"));
    QFile::remove(making);

    camsim::Options options;
    options.width = Width;
    options.height = Height;
    options.detailed = true;
    options.clockStamp = true;
    camsim::FramePainter painter(options);

    Recording::Source source;
    source.frameRate = {Fps, 1};
    source.sampleAspectRatio = {1, 1};
    std::unique_ptr<Recording> recording = Recording::start(making, Width, Height, source);
    if (!recording) {
        std::fprintf(stderr, "replay_probe: cannot record to %s\n", qPrintable(making));
        return 1;
    }
    const int64_t pictures = std::llround(minutes * 60 * Fps);
    for (int64_t n = 0; n < pictures; ++n) {
        av::FramePtr picture(av_frame_alloc());
        if (!picture)
            return 1;
        picture->format = AV_PIX_FMT_RGB24;
        picture->width = Width;
        picture->height = Height;
        if (av_frame_get_buffer(picture.get(), 0) < 0)
            return 1;
        drift(painter.paint(n, uint32_t(n)), n, picture.get());
        picture->pts = picture->best_effort_timestamp = n;
        // The recorder leaves out a picture that finds its queue full, as a camera's
        // would be; this one is made as fast as it is encoded, and none is left out.
        while (!recording->hasRoom())
            QThread::msleep(1);
        if (recording->offer(picture.get(), {1, Fps}, av_gettime_relative()) != Recording::Offer::Taken) {
            std::fprintf(stderr, "replay_probe: the recorder did not take picture %lld\n", static_cast<long long>(n));
            return 1;
        }
    }
    RecordingFinisher::finish(std::move(recording));
    RecordingFinisher::waitForAll();

    FileFigures figures;
    if (!readBack(making, figures) || figures.pictures != pictures) {
        std::fprintf(stderr, "replay_probe: %s holds %d pictures of %lld\n", qPrintable(making), figures.pictures,
                     static_cast<long long>(pictures));
        return 1;
    }
    QFile::remove(path);
    if (!QFile::rename(making, path)) {
        std::fprintf(stderr, "replay_probe: cannot rename %s to %s\n", qPrintable(making), qPrintable(path));
        return 1;
    }
    std::printf("made pictures=%d keys=%d seconds=%.3f bytes=%lld make_s=%.0f\n", figures.pictures, figures.keys,
                figures.seconds, static_cast<long long>(QFileInfo(path).size()), clock.elapsed() / 1000.0);
    return 0;
}

// The number in a picture's clock strip, -1 if none is readable.
int64_t numberIn(const QImage &image)
{
    int top = 0, bottom = 0;
    camsim::clockStripRows(image.height(), &top, &bottom);
    const QImage strip = image.copy(0, top, image.width(), bottom - top).convertToFormat(QImage::Format_RGB888);
    return camsim::readClockStrip(strip.constBits(), strip.width(), strip.height(), int(strip.bytesPerLine()));
}

double percentileOf(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(p * double(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

int seek(const QString &path, int count, unsigned seed)
{
    PlayBackThread player;
    player.setPictureSizes(WindowPicture, WindowPicture);
    if (!player.openFile(path)) {
        std::fprintf(stderr, "replay_probe: cannot open %s\n", qPrintable(path));
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    std::function<bool()> awaited;

    // What has come from the player; during a seek, what came after seekTo().
    int images = 0, positions = 0;
    PlayBackThread::Position position;
    int64_t sought = -1;         // the picture's number
    qint64 seekNs = 0;           // when seekTo() was called
    qint64 imageNs = -1, positionNs = -1; // when the picture sought, and its position, came
    int wrongImages = 0, wrongPositions = 0;

    QObject::connect(&player, &PlayBackThread::getImage, &loop, [&](QImage image, int, bool, bool, bool) {
        const qint64 now = clock.nsecsElapsed();
        ++images;
        if (sought >= 0 && imageNs < 0) {
            if (numberIn(image) == sought)
                imageNs = now;
            else
                ++wrongImages;
        }
        if (awaited && awaited())
            loop.quit();
    });
    QObject::connect(&player, &PlayBackThread::positionChanged, &loop, [&](PlayBackThread::Position p) {
        const qint64 now = clock.nsecsElapsed();
        ++positions;
        position = p;
        if (sought >= 0 && positionNs < 0) {
            if (std::abs(double(p.us) - pictureUs(sought)) < 1000)
                positionNs = now;
            else
                ++wrongPositions;
        }
        if (awaited && awaited())
            loop.quit();
    });
    auto waitFor = [&](std::function<bool()> condition) {
        if (!condition()) {
            awaited = condition;
            limit.start(WaitLimitMs);
            loop.exec();
            limit.stop();
            awaited = nullptr;
        }
        return condition();
    };

    player.start();
    if (!waitFor([&] { return images > 0 && positions > 0; })) {
        std::fprintf(stderr, "replay_probe: no picture from %s\n", qPrintable(path));
        player.stopPlay();
        player.wait();
        return 1;
    }
    // Paused, only the seeks bring pictures.
    player.togglePause();
    waitFor([&] { return position.paused; });
    const int64_t pictures = std::llround(double(position.durationUs) * Fps / 1e6);
    const int imagesBefore = images;

    std::mt19937 random(seed);
    std::uniform_int_distribution<int64_t> pick(0, std::max<int64_t>(pictures - 1, 0));
    // Anywhere within the picture's 33.3 ms but the edges, where rounding would choose.
    std::uniform_int_distribution<int> within(1000, 32000);
    std::vector<double> latencies;
    // By the pictures decoded after the key picture before the one sought, in thirds of the
    // second between key pictures.
    std::vector<double> byDepth[3];
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const int64_t picture = pick(random);
        sought = picture;
        imageNs = positionNs = -1;
        seekNs = clock.nsecsElapsed();
        player.seekTo(int64_t(pictureUs(picture)) + within(random));
        if (!waitFor([&] { return imageNs >= 0 && positionNs >= 0; })) {
            ++failed;
            std::printf("seek %d to picture %lld: no %s within %d ms\n", i + 1, static_cast<long long>(picture),
                        imageNs < 0 ? "picture" : "position", WaitLimitMs);
            continue;
        }
        const double ms = (std::max(imageNs, positionNs) - seekNs) / 1e6;
        latencies.push_back(ms);
        byDepth[std::min<int64_t>(picture % Fps * 3 / Fps, 2)].push_back(ms);
    }
    sought = -1;
    // Every picture that came while paused, beyond one for each seek that succeeded.
    const int stray = images - imagesBefore - int(latencies.size());
    player.stopPlay();
    player.wait();

    std::printf("%-44s %8s %8s %8s %8s\n", "seeks in a paused replay, ms", "count", "median", "p90", "max");
    std::printf("%-44s %8zu %8.1f %8.1f %8.1f\n", "all", latencies.size(), percentileOf(latencies, 0.5),
                percentileOf(latencies, 0.9), percentileOf(latencies, 1));
    const char *depthNames[3] = {"picture 0-9 after its key picture", "picture 10-19 after its key picture",
                                 "picture 20-29 after its key picture"};
    for (int d = 0; d < 3; ++d)
        std::printf("%-44s %8zu %8.1f %8.1f %8.1f\n", depthNames[d], byDepth[d].size(), percentileOf(byDepth[d], 0.5),
                    percentileOf(byDepth[d], 0.9), percentileOf(byDepth[d], 1));
    std::printf("failed %d, pictures or positions other than the one sought %d, pictures beyond one a seek %d\n",
                failed, wrongImages + wrongPositions, stray);
    std::printf("seek_ms median=%.1f p90=%.1f max=%.1f count=%zu failed=%d wrong=%d stray=%d\n",
                percentileOf(latencies, 0.5), percentileOf(latencies, 0.9), percentileOf(latencies, 1),
                latencies.size(), failed, wrongImages + wrongPositions, stray);
    return failed == 0 ? 0 : 1;
}

// Position of the lowest set bit of a colour mask, and its width in bits.
void maskShape(unsigned long mask, int *shift, int *bits)
{
    *shift = *bits = 0;
    for (; mask && !(mask & 1ul); mask >>= 1)
        ++*shift;
    for (; mask & 1ul; mask >>= 1)
        ++*bits;
}

int shown(unsigned long window, int x, int y, int w, int h, double seconds)
{
    // A window that goes makes XGetImage fail with an X error, which by default ends the
    // program: the grab is counted as failed instead, and the count goes on.
    XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "replay_probe: no X display\n");
        return 2;
    }
    int top = 0, bottom = 0;
    camsim::clockStripRows(h, &top, &bottom);
    // Rows through the middle of the strip, where the reader looks.
    const int rows = 4;
    const int y0 = y + (top + bottom) / 2 - rows / 2;

    std::vector<uint8_t> rgb(size_t(w) * rows * 3);
    long grabs = 0, unreadable = 0, misread = 0, failed = 0, pictures = 0;
    int64_t first = -1, last = -1, skipped = 0;
    const auto started = std::chrono::steady_clock::now();
    auto lastGrab = started;
    double elapsed = 0;
    while ((elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()) < seconds) {
        ++grabs;
        XImage *image = XGetImage(display, Window(window), x, y0, unsigned(w), unsigned(rows), AllPlanes, ZPixmap);
        if (!image) {
            ++failed; // the window went, or was cut down
            if (std::chrono::steady_clock::now() - lastGrab > std::chrono::seconds(2))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        lastGrab = std::chrono::steady_clock::now();
        int shift[3], bits[3];
        maskShape(image->red_mask, &shift[0], &bits[0]);
        maskShape(image->green_mask, &shift[1], &bits[1]);
        maskShape(image->blue_mask, &shift[2], &bits[2]);
        uint8_t *out = rgb.data();
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < w; ++c, out += 3) {
                const unsigned long pixel = XGetPixel(image, c, r);
                for (int k = 0; k < 3; ++k) {
                    const unsigned long v = (pixel >> shift[k]) & ((1ul << bits[k]) - 1);
                    out[k] = uint8_t(bits[k] >= 8 ? v >> (bits[k] - 8) : v * 255 / ((1ul << bits[k]) - 1));
                }
            }
        }
        XDestroyImage(image);
        const int64_t value = camsim::readClockStrip(rgb.data(), w, rows, w * 3);
        if (value < 0) {
            ++unreadable;
        } else if (first < 0) {
            first = last = value;
            pictures = 1;
        } else if (value != last) {
            // The replay only goes forward, by less than ten seconds between two fetches;
            // anything else is a fetch that caught the strip half drawn.
            if (value > last && value - last <= 10 * Fps) {
                skipped += value - last - 1;
                last = value;
                ++pictures;
            } else {
                ++misread;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    XCloseDisplay(display);
    std::printf("shown pictures=%ld first=%lld last=%lld skipped=%lld unreadable=%ld misread=%ld grabs=%ld seconds=%.2f\n",
                pictures, static_cast<long long>(first), static_cast<long long>(last), static_cast<long long>(skipped),
                unreadable, misread, grabs, elapsed);
    return pictures > 0 ? 0 : 1;
}

int usage()
{
    std::fprintf(stderr, "usage: replay_probe make FILE MINUTES\n"
                         "       replay_probe seek FILE COUNT SEED\n"
                         "       replay_probe shown WINDOW X Y W H SECONDS\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage();
    const QByteArray command = argv[1];
    if (command == "shown") {
        if (argc != 8)
            return usage();
        return shown(std::strtoul(argv[2], nullptr, 0), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                     std::atoi(argv[6]), std::atof(argv[7]));
    }
    QCoreApplication app(argc, argv);
    if (command == "make" && argc == 4)
        return make(QString::fromLocal8Bit(argv[2]), std::atof(argv[3]));
    if (command == "seek" && argc == 5)
        return seek(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), unsigned(std::strtoul(argv[4], nullptr, 10)));
    return usage();
}
