// Cost of one paint of the display widget in each view: for the live picture as the reader
// delivers it (already at the size the view draws), and for the camera's 1280x960 picture
// (the replay, a snapshot's frame), which the paint scales; in full screen at 1920x1080;
// and zoomed 2x, where the paint enlarges part of the picture. Beside them, the paint the
// window did before, which cut, converted and scaled the full picture at every paint.
// Prints a table and, as its last line, "paint plain_ms=X circular_ms=Y" (the slower of
// the unmirrored and mirrored live picture in each view).

#include "display/videodisplaywidget.h"

#include <QApplication>
#include <QBitmap>
#include <QElapsedTimer>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// Something like a camera picture: four coloured quadrants under fine noise.
QImage cameraLikeFrame()
{
    QImage frame(1280, 960, QImage::Format_RGB888);
    QRandomGenerator random(7);
    const QRgb quadrants[] = {qRgb(200, 40, 40), qRgb(40, 200, 40), qRgb(40, 40, 200), qRgb(200, 200, 40)};
    for (int y = 0; y < frame.height(); ++y) {
        uchar *line = frame.scanLine(y);
        for (int x = 0; x < frame.width(); ++x) {
            const QRgb base = quadrants[(y >= 480) * 2 + (x >= 640)];
            const int noise = int(random.bounded(48)) - 24;
            line[3 * x] = uchar(qBound(0, qRed(base) + noise, 255));
            line[3 * x + 1] = uchar(qBound(0, qGreen(base) + noise, 255));
            line[3 * x + 2] = uchar(qBound(0, qBlue(base) + noise, 255));
        }
    }
    return frame;
}

// The paint as the window did it before: the view's region cut out of the full frame,
// converted to a pixmap, scaled, and for the circular view masked with a disc made anew.
void paintFromFullFrame(QImage &target, const QImage &frame, bool circular, int degree)
{
    QPainter painter(&target);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!circular) {
        painter.drawPixmap(QPointF(0, 0), QPixmap::fromImage(frame.copy(QRect(0, 0, 1280, 960)))
                                              .scaled(600, 600, Qt::IgnoreAspectRatio, Qt::FastTransformation));
        return;
    }
    painter.translate(300, 300);
    painter.rotate(-degree);
    QPixmap view = QPixmap::fromImage(frame.copy(QRect(160, 0, 960, 960)))
                       .scaled(600, 600, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QBitmap mask(view.size());
    QPainter maskPainter(&mask);
    maskPainter.fillRect(QRect(0, 0, 600, 600), QColor(Qt::white));
    maskPainter.setBrush(QBrush(Qt::black, Qt::SolidPattern));
    maskPainter.drawEllipse(QRect(0, 0, 600, 600));
    maskPainter.end();
    view.setMask(mask);
    painter.translate(-300, -300);
    painter.drawPixmap(QPointF(0, 0), view);
}

struct Timing
{
    double median;
    double best;
};

Timing measure(const std::function<void()> &paint, int rounds)
{
    for (int i = 0; i < 5; ++i)
        paint();
    std::vector<double> ms;
    ms.reserve(size_t(rounds));
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        paint();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front()};
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 200;
    const QImage frame = cameraLikeFrame();
    // The window's backing store is premultiplied ARGB32; paint into the same kind of image.
    QImage target(640, 480, QImage::Format_ARGB32_Premultiplied);

    auto widgetPaint = [&](const QImage &picture, bool circular, bool mirror) {
        auto *widget = new VideoDisplayWidget;
        widget->setHaveDegree(circular);
        widget->setFrame(picture, 37);
        widget->resetMirror(mirror);
        return std::function<void()>([widget, &target] {
            widget->render(&target, QPoint(), QRegion(), QWidget::RenderFlags());
        });
    };
    // A widget in full screen, or zoomed, painting the live picture at the size it asks for.
    QImage screen(1920, 1080, QImage::Format_ARGB32_Premultiplied);
    auto viewPaint = [&](bool circular, bool fullScreen, double zoom) {
        auto *widget = new VideoDisplayWidget;
        QImage *into = &target;
        if (fullScreen) {
            widget->setFullScreenView(true);
            widget->resize(screen.size());
            into = &screen;
        }
        widget->setHaveDegree(circular);
        if (zoom > 1)
            widget->zoomBy(zoom, QPointF(200, 200));
        widget->setFrame(frame.scaled(widget->pictureSize(circular), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_RGB32),
                         37);
        return std::function<void()>([widget, into] {
            widget->render(into, QPoint(), QRegion(), QWidget::RenderFlags());
        });
    };
    // The live picture as the reader converts it for each view.
    const VideoDisplayWidget sizes;
    const QImage plainPicture = frame.scaled(sizes.pictureSize(false), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                    .convertToFormat(QImage::Format_RGB32);
    const QImage circularPicture = frame.scaled(sizes.pictureSize(true), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                       .convertToFormat(QImage::Format_RGB32);
    const QImage fullPicture = frame.convertToFormat(QImage::Format_RGB32);

    struct Row { const char *view; const char *mirror; Timing t; };
    std::vector<Row> rows;
    rows.push_back({"plain, live picture", "no", measure(widgetPaint(plainPicture, false, false), rounds)});
    rows.push_back({"plain, live picture", "yes", measure(widgetPaint(plainPicture, false, true), rounds)});
    rows.push_back({"circular, live picture", "no", measure(widgetPaint(circularPicture, true, false), rounds)});
    rows.push_back({"circular, live picture", "yes", measure(widgetPaint(circularPicture, true, true), rounds)});
    rows.push_back({"plain, 1280x960 picture", "no", measure(widgetPaint(fullPicture, false, false), rounds)});
    rows.push_back({"plain, 1280x960 picture", "yes", measure(widgetPaint(fullPicture, false, true), rounds)});
    rows.push_back({"circular, 1280x960 picture", "no", measure(widgetPaint(fullPicture, true, false), rounds)});
    rows.push_back({"circular, 1280x960 picture", "yes", measure(widgetPaint(fullPicture, true, true), rounds)});
    rows.push_back({"plain, full screen 1920x1080", "no", measure(viewPaint(false, true, 1), rounds)});
    rows.push_back({"circular, full screen 1920x1080", "no", measure(viewPaint(true, true, 1), rounds)});
    rows.push_back({"plain, zoomed 2x", "no", measure(viewPaint(false, false, 2), rounds)});
    rows.push_back({"circular, zoomed 2x", "no", measure(viewPaint(true, false, 2), rounds)});
    rows.push_back({"plain, full screen, zoomed 2x", "no", measure(viewPaint(false, true, 2), rounds)});
    rows.push_back({"circular, full screen, zoomed 2x", "no", measure(viewPaint(true, true, 2), rounds)});
    rows.push_back({"plain, as before", "no", measure([&] { paintFromFullFrame(target, frame, false, 37); }, rounds)});
    rows.push_back({"circular, as before", "no", measure([&] { paintFromFullFrame(target, frame, true, 37); }, rounds)});

    std::printf("%-34s %-8s %10s %10s\n", "view", "mirror", "median_ms", "best_ms");
    for (const Row &row : rows)
        std::printf("%-34s %-8s %10.2f %10.2f\n", row.view, row.mirror, row.t.median, row.t.best);
    const double plain = std::max(rows[0].t.median, rows[1].t.median);
    const double circular = std::max(rows[2].t.median, rows[3].t.median);
    double largest = 0;
    for (size_t i = 8; i < 14; ++i)
        largest = std::max(largest, rows[i].t.median);
    std::printf("paint plain_ms=%.2f circular_ms=%.2f full_screen_and_zoom_max_ms=%.2f\n", plain, circular, largest);
    return 0;
}
