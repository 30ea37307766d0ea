#ifndef LIVEWINDOW_H
#define LIVEWINDOW_H

#include "app/mainwindow.h"
#include "display/videodisplaywidget.h"
#include "stream/readthread.h"

#include "camera.h"
#include "picture.h"
#include "window.h"

#include <QVector>
#include <QtTest>

#include <memory>

// The program's window on a simulated camera of its own, read back from what it shows.

inline VideoDisplayWidget *displayOf(const QWidget &window)
{
    return window.findChild<VideoDisplayWidget *>();
}

// Where the plain view shows the camera's four quadrants, and where the circular view does.
inline const QVector<QPoint> PlainPoints{{150, 150}, {450, 150}, {150, 400}, {450, 400}};
inline const QVector<QPoint> DiscPoints{{200, 200}, {400, 200}, {200, 400}, {400, 400}};

// The quadrant colours the display shows at four points, left to right, top to bottom.
inline QString shownQuadrants(const QWidget &window, const QVector<QPoint> &points = PlainPoints)
{
    const QImage shot = displayOf(window)->grab().toImage();
    QString colours;
    for (const QPoint &point : points)
        colours += QLatin1Char(colourOf(shot.pixel(point)));
    return colours;
}

// Waits while a recording's file is made away from the window: until the recording takes
// pictures, or a warning has said why it cannot.
inline bool waitWhileRecordingStarts(const QWidget &window)
{
    return QTest::qWaitFor([&window] {
        return !displayOf(window)->recordingStatus().endsWith(QLatin1String("starting..."));
    }, 10000);
}

struct LiveWindow
{
    Camera camera;
    std::unique_ptr<MainWindow> window;

    explicit LiveWindow(const camsim::Options &options = loopbackCamera())
        : camera(options)
    {
    }
    // Shows the window, clicks Start and waits for the live view.
    bool start()
    {
        if (!camera.start())
            return false;
        window = std::make_unique<MainWindow>(camera.url());
        window->show();
        return QTest::qWaitForWindowExposed(window.get()) && startLive(*window);
    }
    // Started, and showing the camera's picture in the plain view.
    bool showsPicture()
    {
        return start() && QTest::qWaitFor([this] { return shownQuadrants(*window) == QLatin1String("RGBY"); }, 5000);
    }
    ReadThread *reader() const { return window->findChild<ReadThread *>(); }
};

#endif // LIVEWINDOW_H
