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

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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

} // namespace

int main(int argc, char *argv[])
{
    const bool first = argc >= 7 && std::strcmp(argv[1], "first-picture") == 0;
    const bool close = argc == 3 && std::strcmp(argv[1], "close") == 0;
    const bool wait = argc >= 5 && std::strcmp(argv[1], "wait-picture") == 0;
    if (!first && !close && !wait) {
        std::fprintf(stderr, "usage: xprobe first-picture TITLE CLICK_X CLICK_Y PROBE_X PROBE_Y [TIMEOUT_MS]\n"
                             "       xprobe close TITLE\n"
                             "       xprobe wait-picture TITLE PROBE_X PROBE_Y [TIMEOUT_MS]\n");
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xprobe: no X display\n");
        return 2;
    }
    XSetErrorHandler(ignoreErrors);
    if (wait) {
        const int result = waitPicture(display, argv[2], argv + 3, argc - 3);
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
