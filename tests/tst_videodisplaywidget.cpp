#include "app/mainwindow.h"
#include "display/videodisplaywidget.h"
#include "media/picturesize.h"
#include "media/scaledjpegdecoder.h"

#include <QPainter>
#include <QtTest>

namespace {

const QRgb Sentinel = qRgb(255, 0, 255);
const QRgb Red = qRgb(255, 0, 0);
const QRgb Green = qRgb(0, 255, 0);
const QRgb Blue = qRgb(0, 0, 255);
const QRgb Yellow = qRgb(255, 255, 0);

// A frame in four flat quadrants, red and green on top, blue and yellow below.
QImage quadrantFrame(int width, int height)
{
    QImage frame(width, height, QImage::Format_RGB888);
    QPainter painter(&frame);
    const int w = width / 2, h = height / 2;
    painter.fillRect(0, 0, w, h, QColor(Red));
    painter.fillRect(w, 0, width - w, h, QColor(Green));
    painter.fillRect(0, h, w, height - h, QColor(Blue));
    painter.fillRect(w, h, width - w, height - h, QColor(Yellow));
    return frame;
}

// A frame whose every pixel names its own position, so that a rendered pixel tells
// exactly which source pixel it was sampled from.
QImage coordinateFrame(int width, int height)
{
    QImage frame(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar *line = frame.scanLine(y);
        for (int x = 0; x < width; ++x) {
            line[3 * x] = uchar(x & 0xff);
            line[3 * x + 1] = uchar(y & 0xff);
            line[3 * x + 2] = uchar(0x80 | (x >> 8) | ((y >> 8) << 4));
        }
    }
    return frame;
}

QPoint sourceOf(QRgb pixel)
{
    const int b = qBlue(pixel);
    return QPoint(qRed(pixel) | ((b & 0x0f) << 8), qGreen(pixel) | (((b >> 4) & 0x07) << 8));
}

// The window's background, which the widget shows where the picture leaves room.
QRgb background(const QWidget &widget)
{
    return widget.palette().color(widget.backgroundRole()).rgb();
}

QImage render(VideoDisplayWidget &widget)
{
    QImage target(widget.size(), QImage::Format_RGB32);
    target.fill(Sentinel);
    widget.render(&target, QPoint(), QRegion(), QWidget::RenderFlags());
    return target;
}

// What the view shows when the frame itself is turned half a turn before the region is
// cut out: the reference for the mirrored paints, built the direct way.
QImage renderMirroredReference(const QImage &frame, bool circular, int degree)
{
    VideoDisplayWidget widget;
    widget.setHaveDegree(circular);
    widget.setFrame(frame.mirrored(true, true), degree);
    widget.resetMirror(false);
    return render(widget);
}

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

} // namespace

class tst_VideoDisplayWidget : public QObject
{
    Q_OBJECT

private slots:
    void bandRule_data();
    void bandRule();
    void plainView_data();
    void plainView();
    void circularView_data();
    void circularView();
    void mirroredPaintMatchesHalfTurnedFrame_data();
    void mirroredPaintMatchesHalfTurnedFrame();
    void repeatedPaintsAreStable();
    void onlyBackgroundBeforeFirstFrame();
    void onlySetFrameSchedulesRepaint();
    void textsDrawnOverPicture_data();
    void textsDrawnOverPicture();
    void fullScreenViews_data();
    void fullScreenViews();
    void zoom_data();
    void zoom();
    void deviceResolution();
    void decodeScale_data();
    void decodeScale();
};

void tst_VideoDisplayWidget::bandRule_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("toggleFirst");
    QTest::addColumn<QVector<int>>("degrees");
    QTest::addColumn<QVector<bool>>("mirrorAfter");

    using D = QVector<int>;
    using M = QVector<bool>;
    QTest::newRow("fresh: 90 270 90") << false << false << D{90, 270, 90} << M{true, false, true};
    QTest::newRow("reset: 90 270 300 180 100")
        << true << false << D{90, 270, 300, 180, 100} << M{false, true, true, true, false};
    QTest::newRow("dead zone between: 90 10 90") << false << false << D{90, 10, 90} << M{true, true, true};
    QTest::newRow("toggle then lower band") << false << true << D{90} << M{false};
    QTest::newRow("lower band edges 20 and 160") << false << false << D{20, 200, 160} << M{true, false, true};
    QTest::newRow("upper band edges 200 and 340") << true << false << D{200, 20, 340} << M{true, false, true};
    QTest::newRow("just outside: 19 161 199 341")
        << false << false << D{19, 161, 199, 341} << M{false, false, false, false};
    QTest::newRow("outside 0..359 and negative") << true << false << D{-90, 450, 65535} << M{false, false, false};
    QTest::newRow("upper band repeated after reset") << true << false << D{250, 260, 359, 0} << M{true, true, true, true};
}

void tst_VideoDisplayWidget::bandRule()
{
    QFETCH(bool, reset);
    QFETCH(bool, toggleFirst);
    QFETCH(QVector<int>, degrees);
    QFETCH(QVector<bool>, mirrorAfter);

    VideoDisplayWidget widget;
    if (reset)
        widget.resetMirror(false);
    if (toggleFirst)
        widget.toggleMirror();
    const QImage frame = quadrantFrame(64, 48);
    for (int i = 0; i < degrees.size(); ++i) {
        widget.setFrame(frame, degrees[i]);
        QVERIFY2(widget.isMirrored() == mirrorAfter[i],
                 qPrintable(QStringLiteral("after %1 (step %2)").arg(degrees[i]).arg(i)));
    }
}

// Every frame is the camera's whole picture, whatever its size: the camera's own 1280x960,
// the size the live reader converts to for the view, or any other.
void tst_VideoDisplayWidget::plainView_data()
{
    QTest::addColumn<QSize>("frameSize");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<QVector<QRgb>>("corners"); // at (150,150) (450,150) (150,400) (450,400)
    const QVector<QRgb> upright{Red, Green, Blue, Yellow}, halfTurn{Yellow, Blue, Green, Red};
    QTest::newRow("plain") << QSize(1280, 960) << false << upright;
    QTest::newRow("mirrored is a half-turn") << QSize(1280, 960) << true << halfTurn;
    QTest::newRow("the view's own size") << VideoDisplayWidget().pictureSize(false) << false << upright;
    QTest::newRow("the view's own size, mirrored") << VideoDisplayWidget().pictureSize(false) << true << halfTurn;
    QTest::newRow("640x480 fills the square") << QSize(640, 480) << false << upright;
    QTest::newRow("640x480 mirrored") << QSize(640, 480) << true << halfTurn;
}

void tst_VideoDisplayWidget::plainView()
{
    QFETCH(QSize, frameSize);
    QFETCH(bool, mirror);
    QFETCH(QVector<QRgb>, corners);

    VideoDisplayWidget widget;
    widget.setFrame(quadrantFrame(frameSize.width(), frameSize.height()), 0);
    if (mirror)
        widget.toggleMirror();
    const QImage shot = render(widget);

    // The 4:3 frame is squeezed into a 600x600 square: its top half fills rows 0..299.
    QCOMPARE(shot.pixel(150, 150), corners[0]);
    QCOMPARE(shot.pixel(450, 150), corners[1]);
    QCOMPARE(shot.pixel(150, 400), corners[2]);
    QCOMPARE(shot.pixel(450, 400), corners[3]);
    QCOMPARE(shot.pixel(295, 295), corners[0]);
    QCOMPARE(shot.pixel(305, 305), corners[3]);
    QCOMPARE(shot.pixel(0, 0), corners[0]);
    QCOMPARE(shot.pixel(599, 479), corners[3]);
    for (int y = 0; y < 480; y += 7) {
        for (int x = 600; x < 640; ++x)
            QCOMPARE(shot.pixel(x, y), background(widget));
    }
}

void tst_VideoDisplayWidget::circularView_data()
{
    QTest::addColumn<QSize>("frameSize");
    QTest::addColumn<int>("degree");
    QTest::addColumn<bool>("mirror");
    // Expected colours at (200,200) (400,200) (200,400) (400,400), inside the disc.
    QTest::addColumn<QVector<QRgb>>("inside");
    const QSize camera(1280, 960);
    QTest::newRow("0") << camera << 0 << false << QVector<QRgb>{Red, Green, Blue, Yellow};
    // Turned a quarter counter-clockwise: the top-left quadrant goes to the bottom-left.
    QTest::newRow("90") << camera << 90 << false << QVector<QRgb>{Green, Yellow, Red, Blue};
    QTest::newRow("270") << camera << 270 << false << QVector<QRgb>{Blue, Red, Yellow, Green};
    QTest::newRow("0 mirrored") << camera << 0 << true << QVector<QRgb>{Yellow, Blue, Green, Red};
    QTest::newRow("90 mirrored") << camera << 90 << true << QVector<QRgb>{Blue, Red, Yellow, Green};
    const QSize own = VideoDisplayWidget().pictureSize(true);
    QTest::newRow("the view's own size, 90") << own << 90 << false << QVector<QRgb>{Green, Yellow, Red, Blue};
    QTest::newRow("the view's own size, 0 mirrored") << own << 0 << true << QVector<QRgb>{Yellow, Blue, Green, Red};
    QTest::newRow("640x480, 270") << QSize(640, 480) << 270 << false << QVector<QRgb>{Blue, Red, Yellow, Green};
}

void tst_VideoDisplayWidget::circularView()
{
    QFETCH(QSize, frameSize);
    QFETCH(int, degree);
    QFETCH(bool, mirror);
    QFETCH(QVector<QRgb>, inside);

    VideoDisplayWidget widget;
    widget.setHaveDegree(true);
    widget.resetMirror(mirror);
    // The band rule would flip the mirror on entering a band; start in the band the angle
    // falls in, so the state under test is the one chosen above.
    widget.setFrame(quadrantFrame(frameSize.width(), frameSize.height()), degree);
    if (widget.isMirrored() != mirror)
        widget.toggleMirror();
    const QImage shot = render(widget);

    QCOMPARE(shot.pixel(200, 200), inside[0]);
    QCOMPARE(shot.pixel(400, 200), inside[1]);
    QCOMPARE(shot.pixel(200, 400), inside[2]);
    QCOMPARE(shot.pixel(400, 400), inside[3]);

    // Everything outside the disc of radius 300 about (300,300) shows the window's
    // background, and everything well inside it the picture.
    for (int y = 0; y < 480; y += 3) {
        for (int x = 0; x < 640; x += 3) {
            const double r = std::hypot(x + 0.5 - 300, y + 0.5 - 300);
            const bool outside = shot.pixel(x, y) == background(widget);
            if ((r > 301.5 && !outside) || (r < 298.5 && outside))
                QFAIL(qPrintable(QStringLiteral("(%1,%2) %3").arg(x).arg(y).arg(outside ? "background" : "picture")));
        }
    }
}

void tst_VideoDisplayWidget::mirroredPaintMatchesHalfTurnedFrame_data()
{
    QTest::addColumn<QSize>("frameSize");
    QTest::addColumn<bool>("circular");
    QTest::addColumn<int>("degree");
    QTest::newRow("plain 1280x960") << QSize(1280, 960) << false << 0;
    QTest::newRow("plain 640x480") << QSize(640, 480) << false << 0;
    QTest::newRow("plain 1920x1080") << QSize(1920, 1080) << false << 0;
    QTest::newRow("circular 0") << QSize(1280, 960) << true << 0;
    QTest::newRow("circular 90") << QSize(1280, 960) << true << 90;
    QTest::newRow("circular 33") << QSize(1280, 960) << true << 33;
    QTest::newRow("circular 640x480") << QSize(640, 480) << true << 0;
    QTest::newRow("circular, the view's own size") << VideoDisplayWidget().pictureSize(true) << true << 33;
}

// A mirrored paint must show the picture of the frame turned half a turn: each painted
// pixel comes from the same source pixel as in the reference, give or take one pixel of
// nearest-neighbour sampling, and the same pixels are left untouched.
void tst_VideoDisplayWidget::mirroredPaintMatchesHalfTurnedFrame()
{
    QFETCH(QSize, frameSize);
    QFETCH(bool, circular);
    QFETCH(int, degree);

    const QImage frame = coordinateFrame(frameSize.width(), frameSize.height());
    const QImage reference = renderMirroredReference(frame, circular, degree);

    VideoDisplayWidget widget;
    widget.setHaveDegree(circular);
    widget.setFrame(frame, degree);
    widget.resetMirror(true);
    const QImage shot = render(widget);

    // Sampling a rotation that is not a multiple of 90 degrees may pick a neighbour on
    // either axis, and the disc's edge may differ by a pixel.
    const int slack = (degree % 90) ? 2 : 1;
    int compared = 0;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            const QRgb want = reference.pixel(x, y);
            const QRgb got = shot.pixel(x, y);
            if (want == background(widget) || got == background(widget)) {
                if (circular && std::abs(std::hypot(x + 0.5 - 300, y + 0.5 - 300) - 300) < 2)
                    continue;
                if (want != got)
                    QFAIL(qPrintable(QStringLiteral("coverage differs at (%1,%2)").arg(x).arg(y)));
                continue;
            }
            const QPoint a = sourceOf(want), b = sourceOf(got);
            if (std::abs(a.x() - b.x()) > slack || std::abs(a.y() - b.y()) > slack) {
                QFAIL(qPrintable(QStringLiteral("(%1,%2): source (%3,%4), expected (%5,%6)")
                                     .arg(x).arg(y).arg(b.x()).arg(b.y()).arg(a.x()).arg(a.y())));
            }
            ++compared;
        }
    }
    QVERIFY(compared > 150000);
}

void tst_VideoDisplayWidget::repeatedPaintsAreStable()
{
    VideoDisplayWidget widget;
    widget.setFrame(coordinateFrame(1280, 960), 0);
    widget.toggleMirror();
    QCOMPARE(render(widget), render(widget));
    widget.setHaveDegree(true);
    QCOMPARE(render(widget), render(widget));
}

void tst_VideoDisplayWidget::onlyBackgroundBeforeFirstFrame()
{
    for (bool circular : {false, true}) {
        VideoDisplayWidget widget;
        widget.setHaveDegree(circular);
        widget.toggleMirror();
        const QImage shot = render(widget);
        QImage empty(shot.size(), shot.format());
        empty.fill(background(widget));
        QCOMPARE(shot, empty);
    }
}

void tst_VideoDisplayWidget::onlySetFrameSchedulesRepaint()
{
    VideoDisplayWidget widget;
    QCOMPARE(widget.size(), QSize(640, 480));
    QCOMPARE(widget.minimumSize(), widget.maximumSize());
    PaintCounter counter;
    widget.installEventFilter(&counter);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    QCoreApplication::processEvents();
    counter.paints = 0;

    widget.setHaveDegree(true);
    widget.toggleMirror();
    widget.resetMirror(false);
    QCoreApplication::processEvents();
    QTest::qWait(50);
    QCOMPARE(counter.paints, 0);

    widget.setFrame(quadrantFrame(1280, 960), 45);
    QTRY_COMPARE(counter.paints, 1);
}

void tst_VideoDisplayWidget::textsDrawnOverPicture_data()
{
    QTest::addColumn<bool>("withFrame");
    QTest::addColumn<bool>("circular");
    QTest::addColumn<int>("overlay");
    QTest::addColumn<QRect>("within");
    const QRect middle(0, 151, 600, 179), corner(0, 0, 300, 60), foot(0, 400, 600, 80);
    QTest::newRow("notice, plain view") << true << false << 0 << middle;
    QTest::newRow("notice, circular view") << true << true << 0 << middle;
    QTest::newRow("notice, no frame yet") << false << false << 0 << middle;
    QTest::newRow("recording, plain view") << true << false << 1 << corner;
    QTest::newRow("recording, circular view") << true << true << 1 << corner;
    QTest::newRow("message, plain view") << true << false << 2 << foot;
}

// The texts over the picture: each in its place, the picture untouched everywhere else,
// and whole again once the text is cleared (the message clears itself).
void tst_VideoDisplayWidget::textsDrawnOverPicture()
{
    QFETCH(bool, withFrame);
    QFETCH(bool, circular);
    QFETCH(int, overlay);
    QFETCH(QRect, within);

    VideoDisplayWidget widget;
    widget.setHaveDegree(circular);
    if (withFrame)
        widget.setFrame(quadrantFrame(1280, 960), 30);
    const QImage before = render(widget);
    const QString text = QStringLiteral("Camera lost, reconnecting...");
    if (overlay == 0)
        widget.setNotice(text);
    else if (overlay == 1)
        widget.setRecordingStatus(QStringLiteral("REC 01:23 · 14.2 MB"));
    else
        widget.showMessage(QStringLiteral("Saved velmora-2026-12-08_14-03-22.jpg"), 200);
    const QImage with = render(widget);

    QRect changed;
    int white = 0, red = 0;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 640; ++x) {
            const QRgb pixel = with.pixel(x, y);
            if (pixel == before.pixel(x, y))
                continue;
            changed |= QRect(x, y, 1, 1);
            white += qGray(pixel) > 200;
            red += qRed(pixel) > 200 && qGreen(pixel) < 80 && qBlue(pixel) < 80;
        }
    }
    QVERIFY2(!changed.isEmpty() && within.contains(changed),
             qPrintable(QStringLiteral("changed %1,%2 %3x%4").arg(changed.x()).arg(changed.y()).arg(changed.width()).arg(changed.height())));
    QVERIFY2(white > 50, qPrintable(QString::number(white)));
    if (overlay == 1)
        QVERIFY2(red > 20, qPrintable(QString::number(red))); // the dot

    if (overlay == 0)
        widget.setNotice(QString());
    else if (overlay == 1)
        widget.setRecordingStatus(QString());
    else
        QTRY_VERIFY(widget.message().isEmpty());
    QCOMPARE(render(widget), before);
}

void tst_VideoDisplayWidget::fullScreenViews_data()
{
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("circular");
    QTest::addColumn<QRect>("view"); // the whole picture's 4:3, or the disc's square
    QTest::addColumn<QSize>("picture"); // the size the view asks the camera's picture at
    QTest::newRow("plain, 1920x1080") << QSize(1920, 1080) << false << QRect(240, 0, 1440, 1080) << QSize(1440, 1080);
    QTest::newRow("circular, 1920x1080") << QSize(1920, 1080) << true << QRect(420, 0, 1080, 1080) << QSize(1440, 1080);
    QTest::newRow("plain, 1024x768") << QSize(1024, 768) << false << QRect(0, 0, 1024, 768) << QSize(1024, 768);
    QTest::newRow("circular, 1280x1024") << QSize(1280, 1024) << true << QRect(128, 0, 1024, 1024) << QSize(1365, 1024);
}

// In full screen the plain view shows the whole picture at 4:3, its lowest rows too, and
// the circular view a disc as tall as the screen; the rest is the window's background. The
// picture is asked for at the size that fills the view pixel for pixel, in the camera's
// shape: the disc, turned, would be stretched one way otherwise.
void tst_VideoDisplayWidget::fullScreenViews()
{
    QFETCH(QSize, screen);
    QFETCH(bool, circular);
    QFETCH(QRect, view);
    QFETCH(QSize, picture);

    VideoDisplayWidget widget;
    widget.setFullScreenView(true);
    widget.resize(screen);
    QCOMPARE(widget.pictureSize(circular), picture);
    widget.setHaveDegree(circular);
    widget.setFrame(quadrantFrame(1280, 960), 0);
    const QImage shot = render(widget);
    QCOMPARE(shot.size(), screen);

    const int w = view.width(), h = view.height();
    const QPoint at[] = {view.topLeft() + QPoint(w / 4, h / 4), view.topLeft() + QPoint(3 * w / 4, h / 4),
                         view.topLeft() + QPoint(w / 4, 3 * h / 4), view.topLeft() + QPoint(3 * w / 4, 3 * h / 4)};
    const QRgb colours[] = {Red, Green, Blue, Yellow};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(shot.pixel(at[i]), colours[i]);
    if (circular) {
        // All of the disc, its foot too; nothing of the picture beyond it.
        QCOMPARE(shot.pixel(view.center().x(), view.bottom() - 2), Blue);
        QCOMPARE(shot.pixel(view.left() + 4, view.top() + 4), background(widget));
        QCOMPARE(shot.pixel(view.right() - 4, view.bottom() - 4), background(widget));
    } else {
        QCOMPARE(shot.pixel(view.right() - 1, view.bottom() - 1), Yellow);
        QCOMPARE(shot.pixel(view.left(), view.bottom() - 1), Blue);
    }
    if (view.left() > 0) {
        QCOMPARE(shot.pixel(view.left() - 1, screen.height() / 2), background(widget));
        QCOMPARE(shot.pixel(view.right() + 1, screen.height() / 2), background(widget));
    }
}

void tst_VideoDisplayWidget::zoom_data()
{
    QTest::addColumn<bool>("circular");
    QTest::addColumn<QVector<double>>("steps");
    QTest::addColumn<QPoint>("about");
    QTest::addColumn<double>("zoomed");
    // The size the view then asks the camera's picture at, which dragging does not change:
    // no larger than its detail needs, and where one side needs all of the camera's, the
    // other side keeps the shape the view squeezes the picture into.
    QTest::addColumn<QSize>("picture");
    const QPoint middle(300, 300);
    QTest::newRow("in, to its limit") << false << QVector<double>{1.25, 1.25, 1.25, 1.25, 1.25, 1.25, 1.25} << middle
                                      << 4.0 << QSize(1280, 1280);
    QTest::newRow("out, no further than the whole picture") << false << QVector<double>{2, 0.25} << middle << 1.0
                                                            << QSize(600, 600);
    QTest::newRow("about a point near the corner") << false << QVector<double>{1.25, 1.25, 1.25} << QPoint(100, 420)
                                                    << 1.953125 << QSize(1172, 1172);
    QTest::newRow("circular, about a point") << true << QVector<double>{2} << QPoint(380, 200) << 2.0 << QSize(1280, 960);
}

// Zoom keeps to 1x..4x, about a point that keeps showing the same spot of the picture, and
// 0 (resetZoom) shows the whole picture again.
void tst_VideoDisplayWidget::zoom()
{
    QFETCH(bool, circular);
    QFETCH(QVector<double>, steps);
    QFETCH(QPoint, about);
    QFETCH(double, zoomed);
    QFETCH(QSize, picture);

    VideoDisplayWidget widget;
    widget.setHaveDegree(circular);
    widget.setFrame(coordinateFrame(1280, 960), 33);
    const QImage whole = render(widget);
    const QPoint before = sourceOf(whole.pixel(about));
    for (double step : steps)
        widget.zoomBy(step, about);
    QCOMPARE(widget.zoom(), zoomed);
    const QImage shot = render(widget);
    const QPoint after = sourceOf(shot.pixel(about));
    // Where the picture's edge lets it: near a corner the zoom stops short of the edge.
    if (zoomed > 1 && about == QPoint(300, 300)) {
        QVERIFY2((after - before).manhattanLength() <= 3, qPrintable(QStringLiteral("(%1,%2) became (%3,%4)")
                                                                         .arg(before.x()).arg(before.y()).arg(after.x()).arg(after.y())));
    } else if (zoomed > 1) {
        QVERIFY2((after - before).manhattanLength() <= 3 * zoomed, qPrintable(QStringLiteral("(%1,%2) became (%3,%4)")
                                                                                  .arg(before.x()).arg(before.y()).arg(after.x()).arg(after.y())));
    }
    // Zoomed, neighbouring screen pixels are closer in the picture.
    if (zoomed > 1)
        QVERIFY(std::abs(sourceOf(shot.pixel(about + QPoint(40, 0))).x() - after.x()) < 40 * 1280 / 600);
    QCOMPARE(widget.pictureSize(circular), picture);
    // Dragged, the zoomed picture moves with the pointer; what it is asked at does not.
    QTest::mousePress(&widget, Qt::LeftButton, Qt::NoModifier, about);
    QMouseEvent move(QEvent::MouseMove, about - QPoint(30, 20), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &move);
    QTest::mouseRelease(&widget, Qt::LeftButton, Qt::NoModifier, about - QPoint(30, 20));
    QCOMPARE(widget.pictureSize(circular), picture);
    if (zoomed > 1 && about == QPoint(300, 300))
        QVERIFY(sourceOf(render(widget).pixel(about - QPoint(30, 20))) != sourceOf(shot.pixel(about - QPoint(30, 20))));
    widget.resetZoom();
    QCOMPARE(widget.zoom(), 1.0);
    // All but the corner where the factor shows for a moment.
    const QRect clear(0, 0, 500, 400);
    QCOMPARE(render(widget).copy(clear), whole.copy(clear));
}

// On a screen scaled by a fraction (QT_SCALE_FACTOR=1.5 in the test run that sets it), the
// window keeps its size in logical pixels, and the picture the reader converts for the
// view lands on the screen's own pixels one for one: a one-pixel checkerboard comes
// through as it is.
void tst_VideoDisplayWidget::deviceResolution()
{
    const qreal ratio = qApp->devicePixelRatio();
    MainWindow window(QStringLiteral("rtsp://127.0.0.1:9/webcam"));
    QCOMPARE(window.size(), QSize(800, 500));

    VideoDisplayWidget widget;
    const QSize device = widget.pictureSize(false);
    QCOMPARE(device, QSize(qRound(600 * ratio), qRound(600 * ratio)));
    // 900 rows at 150 %: 7/8 of the camera's 960 would be too few.
    QCOMPARE(ScaledJpegDecoder::eighthsFor(CameraPictureSize, device), ratio > 1.25 ? 8 : 5);
    QImage picture = quadrantFrame(device.width(), device.height()).convertToFormat(QImage::Format_RGB32);
    const QRect checker(100, 100, 64, 64);
    for (int y = checker.top(); y <= checker.bottom(); ++y) {
        for (int x = checker.left(); x <= checker.right(); ++x)
            picture.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    }
    widget.setFrame(picture, 0);
    const QImage shot = widget.grab().toImage();
    QCOMPARE(shot.size(), QSize(qRound(640 * ratio), qRound(480 * ratio)));
    for (int y = checker.top(); y <= checker.bottom(); ++y) {
        for (int x = checker.left(); x <= checker.right(); ++x)
            QCOMPARE(shot.pixel(x, y), picture.pixel(x, y));
    }
}

void tst_VideoDisplayWidget::decodeScale_data()
{
    QTest::addColumn<QSize>("screen"); // full screen; the window when empty
    QTest::addColumn<bool>("circular");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<int>("eighths"); // of the camera's picture that are decoded for the view
    QTest::newRow("window") << QSize() << false << 1.0 << 5;
    QTest::newRow("window, circular") << QSize() << true << 1.0 << 5;
    QTest::newRow("window, zoomed 1.25x") << QSize() << false << 1.25 << 7;
    QTest::newRow("window, zoomed 2x") << QSize() << false << 2.0 << 8;
    QTest::newRow("window, zoomed 4x") << QSize() << false << 4.0 << 8;
    QTest::newRow("full screen 1920x1080") << QSize(1920, 1080) << false << 1.0 << 8;
    QTest::newRow("full screen 1920x1080, circular") << QSize(1920, 1080) << true << 1.0 << 8;
    QTest::newRow("full screen 1024x768") << QSize(1024, 768) << false << 1.0 << 7;
}

// The camera's picture is decoded at the smallest scale that still gives the view all the
// pixels it shows (the window at 150 % is a row of deviceResolution).
void tst_VideoDisplayWidget::decodeScale()
{
    QFETCH(QSize, screen);
    QFETCH(bool, circular);
    QFETCH(double, zoom);
    QFETCH(int, eighths);

    VideoDisplayWidget widget;
    if (!screen.isEmpty()) {
        widget.setFullScreenView(true);
        widget.resize(screen);
    }
    widget.setHaveDegree(circular);
    if (zoom > 1)
        widget.zoomBy(zoom);
    const QSize needed = widget.pictureSize(circular);
    QCOMPARE(ScaledJpegDecoder::eighthsFor(CameraPictureSize, needed), eighths);
    // Smaller still would leave the view short of pixels one way.
    const QSize smaller = CameraPictureSize * (eighths - 1) / 8;
    QVERIFY(smaller.width() < needed.width() || smaller.height() < needed.height());
}

QTEST_MAIN(tst_VideoDisplayWidget)
#include "tst_videodisplaywidget.moc"
