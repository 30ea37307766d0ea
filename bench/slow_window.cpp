// The real window with a GUI thread slower than the camera: every paint of the video
// widget takes PAINT_MS longer (default 50), as on a machine that cannot keep up. Not a
// test: scripts/bench latency runs it under Xvfb, clicks Start and reads the age of the
// pictures on screen, which must stay near one slow paint for as long as it runs.
//
//   slow_window URL [PAINT_MS]
//
// The window reads the camera at URL and otherwise behaves as the program does; closing
// it ends the run. The delay sits in an event filter of this program only: the program
// itself has no such seam.

#include "app/mainwindow.h"
#include "app/quitonsignals.h"
#include "display/videodisplaywidget.h"

#include <QApplication>
#include <QEvent>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

class SlowPaint : public QObject
{
public:
    explicit SlowPaint(std::chrono::milliseconds delay)
        : delay(delay)
    {
    }

    long paints = 0;

protected:
    // Before the widget paints: the picture shown is the one it had when the paint began,
    // and pictures that arrive meanwhile wait, as behind any slow paint.
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            std::this_thread::sleep_for(delay);
        }
        return false;
    }

private:
    std::chrono::milliseconds delay;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QuitOnSignals quitOnSignals;
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: slow_window URL [PAINT_MS]\n");
        return 2;
    }
    const int paintMs = argc > 2 ? std::atoi(argv[2]) : 50;
    MainWindow window(QString::fromLocal8Bit(argv[1]));
    auto *display = window.findChild<VideoDisplayWidget *>();
    if (!display || paintMs < 0) {
        std::fprintf(stderr, "slow_window: no video widget in the window, or a negative delay\n");
        return 2;
    }
    SlowPaint slow{std::chrono::milliseconds(paintMs)};
    display->installEventFilter(&slow);
    window.show();
    const int status = app.exec();
    std::printf("slow_window: %ld paints of the video widget, each %d ms longer\n", slow.paints, paintMs);
    return status;
}
