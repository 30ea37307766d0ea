// Drives the program's window under X the way a user would, for scripts and benchmarks.
//
//   xprobe first-picture TITLE CLICK_X CLICK_Y PROBE_X PROBE_Y [TIMEOUT_MS]
//       Clicks at (CLICK_X, CLICK_Y) of the window through the XTest extension, then reads
//       the pixel at (PROBE_X, PROBE_Y) every millisecond until it differs from what it
//       showed before the click: the time from a click on Start to the first camera
//       picture on screen. Prints "first_picture_ms=N"; exits 1 if nothing changed.
//   xprobe close TITLE
//       Asks the window to close, as a window manager's close button does
//       (WM_DELETE_WINDOW), so the program shuts down the way it does for a user.
//   xprobe wait-picture TITLE PROBE_X PROBE_Y [TIMEOUT_MS]
//       Waits for a window titled TITLE to appear and show something other than black at
//       (PROBE_X, PROBE_Y): started together with a player, the time from its launch to
//       its first picture. Prints "first_picture_ms=N".
//   xprobe latency TITLE X Y W H SECONDS
//       The age of the pictures on screen, for SECONDS: the simulated camera's frames carry
//       the time they were sent (camera-sim --clock), and the window shows the frame in
//       the rectangle X Y W H (the whole frame, even where the window cuts it off). The
//       clock strip's rows are fetched from the X server over and over, a pause of a
//       millisecond between fetches, and each stamp, the first time it shows, counts with
//       the time of the fetch less the stamp. Prints a summary, then
//       "latency_ms median=.. p95=.. max=.. samples=.. first_p95=.. last_p95=.. window_s=..
//       grabs_per_s=.. oldest_ms=..", first_p95 and last_p95 over the first and last window_s
//       seconds (a minute once the run lasts two, else a third of it); oldest_ms the oldest a
//       picture on screen grew, its age when it first showed plus the time it stayed (until
//       the next one, or the end of the run): a window that stops changing shows there, not
//       in the others, which count each picture once. Exits 1 without samples.

// Before Xlib, whose None macro would clash with the simulator's Tilt::None.
#include "framepainter.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <time.h>
#include <vector>

namespace {

// Windows come and go while the tree is walked; a vanished one is simply not a match.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

Window findWindow(Display *display, Window parent, const char *title)
{
    char *name = nullptr;
    if (XFetchName(display, parent, &name) && name) {
        const bool match = std::strcmp(name, title) == 0;
        XFree(name);
        if (match)
            return parent;
    }
    Window root, up, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(display, parent, &root, &up, &children, &count)) {
        for (unsigned i = 0; i < count && !found; ++i)
            found = findWindow(display, children[i], title);
        XFree(children);
    }
    return found;
}

unsigned long pixelAt(Display *display, Window window, int x, int y)
{
    XImage *image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return ~0ul;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return pixel;
}

int closeWindow(Display *display, Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return 0;
}

int firstPicture(Display *display, Window window, char *argv[], int argc)
{
    const int clickX = std::atoi(argv[0]), clickY = std::atoi(argv[1]);
    const int probeX = std::atoi(argv[2]), probeY = std::atoi(argv[3]);
    const int timeoutMs = argc > 4 ? std::atoi(argv[4]) : 5000;

    int rootX = 0, rootY = 0;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), clickX, clickY, &rootX, &rootY, &child);

    const unsigned long before = pixelAt(display, window, probeX, probeY);
    XTestFakeMotionEvent(display, -1, rootX, rootY, CurrentTime);
    XSync(display, False);
    const auto clicked = std::chrono::steady_clock::now();
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);

    for (;;) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - clicked).count();
        if (pixelAt(display, window, probeX, probeY) != before) {
            std::printf("first_picture_ms=%.1f\n", elapsed / 1000.0);
            break;
        }
        if (elapsed > timeoutMs * 1000LL) {
            std::printf("first_picture_ms=timeout\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}

int waitPicture(Display *display, const char *title, char *argv[], int argc)
{
    const auto started = std::chrono::steady_clock::now();
    const int probeX = std::atoi(argv[0]), probeY = std::atoi(argv[1]);
    const int timeoutMs = argc > 2 ? std::atoi(argv[2]) : 10000;
    for (;;) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
        if (elapsed > timeoutMs * 1000LL) {
            std::printf("first_picture_ms=timeout\n");
            return 1;
        }
        const Window window = findWindow(display, DefaultRootWindow(display), title);
        XWindowAttributes attributes{};
        if (window && XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable
            && probeX < attributes.width && probeY < attributes.height) {
            const unsigned long pixel = pixelAt(display, window, probeX, probeY);
            if (pixel != 0 && pixel != ~0ul) {
                std::printf("first_picture_ms=%.1f\n", elapsed / 1000.0);
                return 0;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// CLOCK_REALTIME in milliseconds, with the fraction: the clock the camera stamps with.
double realtimeMs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

// Position of the lowest set bit of a colour mask, and its width in bits.
void maskShape(unsigned long mask, int *shift, int *bits)
{
    *shift = 0;
    *bits = 0;
    if (!mask)
        return;
    while (!(mask & 1ul)) {
        mask >>= 1;
        ++*shift;
    }
    while (mask & 1ul) {
        mask >>= 1;
        ++*bits;
    }
}

// The image as RGB24 rows of 3 * width bytes, for any true-colour visual.
void toRgb(XImage *image, std::vector<uint8_t> &rgb)
{
    rgb.resize(size_t(image->width) * image->height * 3);
    int shift[3], bits[3];
    maskShape(image->red_mask, &shift[0], &bits[0]);
    maskShape(image->green_mask, &shift[1], &bits[1]);
    maskShape(image->blue_mask, &shift[2], &bits[2]);
    const bool direct = image->bits_per_pixel == 32 && bits[0] == 8 && bits[1] == 8 && bits[2] == 8;
    uint8_t *out = rgb.data();
    for (int y = 0; y < image->height; ++y) {
        const auto *row = reinterpret_cast<const uint32_t *>(image->data + size_t(y) * image->bytes_per_line);
        for (int x = 0; x < image->width; ++x, out += 3) {
            const unsigned long pixel = direct ? row[x] : XGetPixel(image, x, y);
            for (int c = 0; c < 3; ++c) {
                const unsigned long v = (pixel >> shift[c]) & ((1ul << bits[c]) - 1);
                out[c] = uint8_t(bits[c] >= 8 ? v >> (bits[c] - 8) : v * 255 / ((1ul << bits[c]) - 1));
            }
        }
    }
}

// Fetches one rectangle of a window again and again. Through a segment of shared memory
// where the server offers one (a local server does): the pixels then do not travel
// through the socket, which keeps the probe's own load on the machine small.
class Grabber
{
public:
    Grabber(Display *display, Window window, int width, int height)
        : display(display), window(window), width(width), height(height)
    {
        XWindowAttributes attributes{};
        if (!XShmQueryExtension(display) || !XGetWindowAttributes(display, window, &attributes))
            return;
        image = XShmCreateImage(display, attributes.visual, unsigned(attributes.depth), ZPixmap, nullptr,
                                &segment, unsigned(width), unsigned(height));
        if (!image)
            return;
        segment.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * image->height, IPC_CREAT | 0600);
        if (segment.shmid < 0) {
            XDestroyImage(image);
            image = nullptr;
            return;
        }
        segment.shmaddr = image->data = static_cast<char *>(shmat(segment.shmid, nullptr, 0));
        segment.readOnly = False;
        attached = segment.shmaddr != reinterpret_cast<char *>(-1) && XShmAttach(display, &segment);
        XSync(display, False);
        // Gone from the system once both sides let go, however this process ends.
        shmctl(segment.shmid, IPC_RMID, nullptr);
        if (!attached) {
            XDestroyImage(image);
            image = nullptr;
        }
    }

    ~Grabber()
    {
        if (image) {
            XShmDetach(display, &segment);
            XSync(display, False);
            XDestroyImage(image);
            shmdt(segment.shmaddr);
        }
    }

    Grabber(const Grabber &) = delete;
    Grabber &operator=(const Grabber &) = delete;

    bool shared() const { return image != nullptr; }

    // The rectangle at (x, y) as RGB24; false if the window is gone or too small.
    bool grab(int x, int y, std::vector<uint8_t> &rgb)
    {
        if (image) {
            if (!XShmGetImage(display, window, image, x, y, AllPlanes))
                return false;
            toRgb(image, rgb);
            return true;
        }
        XImage *copy = XGetImage(display, window, x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
        if (!copy)
            return false;
        toRgb(copy, rgb);
        XDestroyImage(copy);
        return true;
    }

private:
    Display *display;
    Window window;
    int width;
    int height;
    XShmSegmentInfo segment{};
    XImage *image = nullptr;
    bool attached = false;
};

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

double p95Of(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return percentile(values, 0.95);
}

int latency(Display *display, const char *title, char *argv[])
{
    const int x = std::atoi(argv[0]), y = std::atoi(argv[1]);
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    if (w < 40 || h < 20 || !(seconds > 0)) {
        std::fprintf(stderr, "xprobe: latency needs a rectangle of at least 40x20 and SECONDS > 0\n");
        return 2;
    }
    int top = 0, bottom = 0;
    camsim::clockStripRows(h, &top, &bottom);

    Window window = 0;
    const auto waitingSince = std::chrono::steady_clock::now();
    while (!(window = findWindow(display, DefaultRootWindow(display), title))) {
        if (std::chrono::steady_clock::now() - waitingSince > std::chrono::seconds(10)) {
            std::fprintf(stderr, "xprobe: no window titled \"%s\"\n", title);
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    struct Sample {
        double atS; // since the start of the run
        double ageMs;
    };
    std::vector<Sample> samples;
    std::vector<uint8_t> rgb;
    Grabber grabber(display, window, w, bottom - top);
    long grabs = 0, unreadable = 0, misread = 0, failed = 0;
    bool haveStamp = false;
    uint32_t lastStamp = 0;
    const auto started = std::chrono::steady_clock::now();
    auto lastImage = started;
    double elapsed = 0;
    while ((elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count())
           < seconds) {
        // Taken before the request: the server shows what is on screen when it serves it,
        // so the age is never overstated, and at most a fetch's spacing understated.
        const double now = realtimeMs();
        ++grabs;
        if (!grabber.grab(x, y + top, rgb)) {
            ++failed; // the window went, or was cut down
            if (std::chrono::steady_clock::now() - lastImage > std::chrono::seconds(2))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        lastImage = std::chrono::steady_clock::now();
        const int64_t value = camsim::readClockStrip(rgb.data(), w, bottom - top, 3 * w);
        if (value < 0) {
            ++unreadable;
        } else if (!haveStamp || uint32_t(value) != lastStamp) {
            const uint32_t stamp = uint32_t(value);
            const uint32_t nowMs = uint32_t(uint64_t(now));
            const double age = double(int32_t(nowMs - stamp)) + (now - std::floor(now));
            // Stamps only grow; an older one, or one from the future or from long ago, is a
            // fetch that caught the strip half drawn.
            if (age < 0 || age > 60000 || (haveStamp && int32_t(stamp - lastStamp) < 0)) {
                ++misread;
            } else {
                samples.push_back({elapsed, age});
                lastStamp = stamp;
                haveStamp = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    const double ran = std::max(elapsed, 1e-3);
    const double window_s = ran >= 120 ? 60 : ran / 3;
    std::vector<double> all, first, last;
    for (const Sample &s : samples) {
        all.push_back(s.ageMs);
        if (s.atS < window_s)
            first.push_back(s.ageMs);
        if (s.atS >= ran - window_s)
            last.push_back(s.ageMs);
    }
    std::sort(all.begin(), all.end());
    double oldest = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double until = i + 1 < samples.size() ? samples[i + 1].atS : ran;
        oldest = std::max(oldest, samples[i].ageMs + (until - samples[i].atS) * 1000);
    }
    std::printf("%zu pictures over %.1f s; %ld fetches (%.0f a second%s), %ld without a readable stamp,"
                " %ld misread, %ld failed\n",
                samples.size(), ran, grabs, double(grabs) / ran, grabber.shared() ? ", shared memory" : "",
                unreadable, misread, failed);
    std::printf("latency_ms median=%.1f p95=%.1f max=%.1f samples=%zu first_p95=%.1f last_p95=%.1f window_s=%.0f"
                " grabs_per_s=%.0f oldest_ms=%.1f\n",
                percentile(all, 0.5), percentile(all, 0.95), all.empty() ? 0.0 : all.back(), all.size(),
                p95Of(first), p95Of(last), window_s, double(grabs) / ran, oldest);
    return samples.empty() ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool first = argc >= 7 && std::strcmp(argv[1], "first-picture") == 0;
    const bool close = argc == 3 && std::strcmp(argv[1], "close") == 0;
    const bool wait = argc >= 5 && std::strcmp(argv[1], "wait-picture") == 0;
    const bool age = argc == 8 && std::strcmp(argv[1], "latency") == 0;
    if (!first && !close && !wait && !age) {
        std::fprintf(stderr, "usage: xprobe first-picture TITLE CLICK_X CLICK_Y PROBE_X PROBE_Y [TIMEOUT_MS]\n"
                             "       xprobe close TITLE\n"
                             "       xprobe wait-picture TITLE PROBE_X PROBE_Y [TIMEOUT_MS]\n"
                             "       xprobe latency TITLE X Y W H SECONDS\n");
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xprobe: no X display\n");
        return 2;
    }
    XSetErrorHandler(ignoreErrors);
    if (wait || age) {
        const int result = wait ? waitPicture(display, argv[2], argv + 3, argc - 3) : latency(display, argv[2], argv + 3);
        XCloseDisplay(display);
        return result;
    }
    const Window window = findWindow(display, DefaultRootWindow(display), argv[2]);
    if (!window) {
        std::fprintf(stderr, "xprobe: no window titled \"%s\"\n", argv[2]);
        XCloseDisplay(display);
        return 2;
    }
    const int result = first ? firstPicture(display, window, argv + 3, argc - 3) : closeWindow(display, window);
    XCloseDisplay(display);
    return result;
}
