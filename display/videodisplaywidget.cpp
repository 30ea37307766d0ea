#include "display/videodisplaywidget.h"

#include "media/picturesize.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
// Qt 5.15 deprecates HighQualityAntialiasing and folds it into Antialiasing; earlier Qt 5
// releases still honour it, so the views ask for both.
const QPainter::RenderHints ViewHints = QPainter::Antialiasing | QPainter::HighQualityAntialiasing;
QT_WARNING_POP

// The parts of the camera's picture that the views show unzoomed: the plain view all of it,
// the circular view its centred square, as tall as the picture.
const QRectF WholeRegion(QPointF(0, 0), QSizeF(CameraPictureSize));
const QRectF DiscRegion((CameraPictureSize.width() - CameraPictureSize.height()) / 2.0, 0, CameraPictureSize.height(),
                        CameraPictureSize.height());

// How long the zoom factor shows after a change.
const int ZoomShownMs = 1500;
// How long the replay's position bar stays after the user's last act.
const int ReplayBarShownMs = 3000;

// The boxes of text over the picture: white on a shade, kept off the picture's edge.
const QColor Shade(0, 0, 0, 170);
const int BoxMargin = 8;
const int BoxPadding = 6;

// A box for one line of `text` in a corner of `area`, with room for `leading` pixels of
// something else before the text.
QRect cornerBox(const QRect &area, Qt::Corner corner, const QFontMetrics &metrics, const QString &text, int leading = 0)
{
    const QSize size(BoxPadding + leading + metrics.horizontalAdvance(text) + BoxPadding, metrics.height() + 2 * BoxPadding);
    const bool left = corner == Qt::TopLeftCorner || corner == Qt::BottomLeftCorner;
    const bool top = corner == Qt::TopLeftCorner || corner == Qt::TopRightCorner;
    return QRect(QPoint(left ? area.left() + BoxMargin : area.right() + 1 - BoxMargin - size.width(),
                        top ? area.top() + BoxMargin : area.bottom() + 1 - BoxMargin - size.height()),
                 size);
}

void drawTextBox(QPainter &painter, const QRect &box, const QString &text, int flags = Qt::AlignCenter)
{
    painter.fillRect(box, Shade);
    painter.setPen(Qt::white);
    painter.drawText(box, flags, text);
}

// `region` of the camera's picture, in the pixels of `image`, which holds the whole picture
// at its own size.
QRectF inPixelsOf(const QImage &image, const QRectF &region)
{
    const qreal sx = qreal(image.width()) / CameraPictureSize.width();
    const qreal sy = qreal(image.height()) / CameraPictureSize.height();
    return QRectF(region.x() * sx, region.y() * sy, region.width() * sx, region.height() * sy);
}

} // namespace

VideoDisplayWidget::VideoDisplayWidget(QWidget *parent)
    : QWidget(parent)
    , zoomCentre(WholeRegion.center())
{
    setFixedSize(640, 480);
    // The widget paints every pixel itself, most of them with the picture: the window need
    // not paint its background under it first, 30 times a second.
    setAttribute(Qt::WA_OpaquePaintEvent);
    messageTimer.setSingleShot(true);
    connect(&messageTimer, &QTimer::timeout, this, [this] {
        messageText.clear();
        update();
    });
    replayBarTimer.setSingleShot(true);
    connect(&replayBarTimer, &QTimer::timeout, this, [this] {
        replayBarShown = replayPaused && replaying;
        update();
    });
    zoomTimer.setSingleShot(true);
    connect(&zoomTimer, &QTimer::timeout, this, [this] {
        zoomText.clear();
        update();
    });
    connect(&hintOpacity, &QVariantAnimation::valueChanged, this, [this] { update(); });
    connect(&hintOpacity, &QVariantAnimation::finished, this, [this] {
        hintText.clear();
        update();
    });
}

VideoDisplayWidget::~VideoDisplayWidget() = default;

void VideoDisplayWidget::setFrame(const QImage &image, int degree)
{
    this->image = image;
    this->degree = degree;
    update();

    recordedMirror.reset();
    mirrorRule.see(degree);
}

void VideoDisplayWidget::setRecordedFrame(const QImage &image, int degree, bool mirrored)
{
    this->image = image;
    this->degree = degree;
    update();
    recordedMirror = mirrored;
}

QSize VideoDisplayWidget::pictureSize(bool circular) const
{
    // The whole picture at the size that puts the part the view shows onto its target pixel
    // for pixel. A side larger than both the camera's own and the target's holds no more
    // detail, so the picture is made smaller, as long as neither side then loses detail:
    // by one factor for both sides, or the view, turned, would be stretched one way. The
    // paint enlarges what is still too small.
    const QSizeF target = viewTarget(circular).size() * devicePixelRatioF();
    const QRectF shown = circular ? DiscRegion : WholeRegion;
    const QSizeF whole(target.width() * WholeRegion.width() / shown.width() * zoomFactor,
                       target.height() * WholeRegion.height() / shown.height() * zoomFactor);
    const qreal factor = std::min(1.0, std::max(std::max(target.width(), qreal(CameraPictureSize.width())) / whole.width(),
                                                std::max(target.height(), qreal(CameraPictureSize.height())) / whole.height()));
    return QSize(qRound(whole.width() * factor), qRound(whole.height() * factor));
}

void VideoDisplayWidget::setFullScreenView(bool on)
{
    if (on == fullScreenView)
        return;
    fullScreenView = on;
    if (on) {
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    } else {
        setFixedSize(640, 480);
        // What was said about full screen is over with it.
        hintOpacity.stop();
        hintText.clear();
    }
    update();
    emit pictureSizeChanged();
}

// Where a view draws what it shows: the window's 600x600 square at the top left, or in
// full screen the largest 4:3 rectangle, or square for the disc, in the middle.
QRectF VideoDisplayWidget::viewTarget(bool circular) const
{
    if (!fullScreenView)
        return QRectF(0, 0, viewSize, viewSize);
    const QSizeF shown = (circular ? DiscRegion : WholeRegion).size();
    const QSizeF fitted = shown.scaled(QSizeF(size()), Qt::KeepAspectRatio);
    return QRectF(QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

// The part of the camera's picture a view shows: all of its region unzoomed, else a part
// 1/zoom as large about the zoom's centre, kept within the region.
QRectF VideoDisplayWidget::shownRegion(bool circular) const
{
    const QRectF region = circular ? DiscRegion : WholeRegion;
    const QSizeF size = region.size() / zoomFactor;
    const QPointF centre(qBound(region.left() + size.width() / 2, zoomCentre.x(), region.right() - size.width() / 2),
                         qBound(region.top() + size.height() / 2, zoomCentre.y(), region.bottom() - size.height() / 2));
    return QRectF(centre - QPointF(size.width() / 2, size.height() / 2), size);
}

// How the view turns the picture about its middle, in degrees: against the camera in the
// circular view, and half a turn more when mirrored.
double VideoDisplayWidget::viewTurn() const
{
    if (haveDegree)
        return isMirrored() ? 180 - degree : -degree;
    return isMirrored() ? 180 : 0;
}

// From the camera's picture to the widget, as the current view paints it.
QTransform VideoDisplayWidget::viewTransform() const
{
    const QRectF target = viewTarget(haveDegree);
    const QRectF shown = shownRegion(haveDegree);
    QTransform transform;
    transform.translate(target.center().x(), target.center().y());
    transform.rotate(viewTurn());
    transform.scale(target.width() / shown.width(), target.height() / shown.height());
    transform.translate(-shown.center().x(), -shown.center().y());
    return transform;
}

void VideoDisplayWidget::zoomBy(double factor, const QPointF &widgetPoint)
{
    const double zoomed = qBound(1.0, zoomFactor * factor, MaxZoom);
    // The point of the picture under `widgetPoint` stays there: the view's middle moves
    // to where, at the new zoom, it puts that point under it.
    const QPointF fixed = viewTransform().inverted().map(widgetPoint);
    const QRectF target = viewTarget(haveDegree);
    QTransform unturn;
    unturn.rotate(-viewTurn());
    const QPointF offset = unturn.map(widgetPoint - target.center());
    zoomFactor = zoomed;
    const QSizeF shown = shownRegion(haveDegree).size();
    zoomCentre = fixed - QPointF(offset.x() * shown.width() / target.width(), offset.y() * shown.height() / target.height());
    // Near the picture's edge, as close as the picture allows.
    zoomCentre = shownRegion(haveDegree).center();
    zoomText = QStringLiteral("%1\u00d7").arg(zoomFactor, 0, 'f', 1);
    zoomTimer.start(ZoomShownMs);
    update();
    emit pictureSizeChanged();
}

void VideoDisplayWidget::zoomBy(double factor)
{
    zoomBy(factor, viewTarget(haveDegree).center());
}

void VideoDisplayWidget::resetZoom()
{
    zoomFactor = 1;
    zoomCentre = WholeRegion.center();
    zoomText = QStringLiteral("%1\u00d7").arg(zoomFactor, 0, 'f', 1);
    zoomTimer.start(ZoomShownMs);
    update();
    emit pictureSizeChanged();
}

// Moves the zoomed picture along with the pointer that drags it.
void VideoDisplayWidget::pan(const QPointF &widgetDelta)
{
    const QRectF target = viewTarget(haveDegree);
    const QSizeF shown = shownRegion(haveDegree).size();
    QTransform unturn;
    unturn.rotate(-viewTurn());
    const QPointF delta = unturn.map(widgetDelta);
    zoomCentre = shownRegion(haveDegree).center()
        - QPointF(delta.x() * shown.width() / target.width(), delta.y() * shown.height() / target.height());
    // No further than the picture's edge, so that dragging back moves it at once.
    zoomCentre = shownRegion(haveDegree).center();
    update();
}

void VideoDisplayWidget::resizeEvent(QResizeEvent *)
{
    emit pictureSizeChanged();
}

void VideoDisplayWidget::wheelEvent(QWheelEvent *event)
{
    // One notch of a mouse wheel (120) zooms by a quarter; a touchpad's smaller steps by as
    // much of it.
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0)
        zoomBy(std::pow(1.25, notches), event->position());
    event->accept();
}

void VideoDisplayWidget::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (replayBarShown && event->button() == Qt::LeftButton && replayBarRect().contains(event->pos())) {
        seekingOnBar = true;
        showReplayBar();
        emit seekRequested(replayTimeAt(event->pos().x()));
        return;
    }
    dragFrom = event->localPos();
}

void VideoDisplayWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (replaying)
        showReplayBar();
    if (seekingOnBar) {
        emit seekRequested(replayTimeAt(event->pos().x()));
        return;
    }
    if (!(event->buttons() & Qt::LeftButton) || zoomFactor <= 1)
        return;
    pan(event->localPos() - dragFrom);
    dragFrom = event->localPos();
}

void VideoDisplayWidget::mouseReleaseEvent(QMouseEvent *event)
{
    seekingOnBar = false;
    event->accept();
}

void VideoDisplayWidget::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    // Quick clicks on the position bar are seeks, each of them.
    if (replayBarShown && replayBarRect().contains(event->pos())) {
        mousePressEvent(event);
        return;
    }
    emit fullScreenRequested();
}

// The circular view's outline, made anew only when its target moves or changes its size.
const QRegion &VideoDisplayWidget::discClip()
{
    const QRect target = viewTarget(true).toAlignedRect();
    if (target != discFor) {
        disc = QRegion(target, QRegion::Ellipse);
        discFor = target;
    }
    return disc;
}

void VideoDisplayWidget::setHaveDegree(bool value)
{
    haveDegree = value;
}

void VideoDisplayWidget::resetMirror(bool value)
{
    mirrorRule.reset(value);
    recordedMirror.reset();
    flipRecorded = false;
}

void VideoDisplayWidget::toggleMirror()
{
    if (recordedMirror)
        flipRecorded = !flipRecorded;
    else
        mirrorRule.toggle();
}

void VideoDisplayWidget::setNotice(const QString &text)
{
    if (text == noticeText)
        return;
    noticeText = text;
    update();
}

void VideoDisplayWidget::setRecordingStatus(const QString &text)
{
    if (text == recordingText)
        return;
    recordingText = text;
    update();
}

void VideoDisplayWidget::setLinkInfo(const QString &text)
{
    if (text == linkText)
        return;
    linkText = text;
    update();
}

void VideoDisplayWidget::showMessage(const QString &text, int msecs)
{
    messageText = text;
    messageTimer.start(msecs);
    update();
}

void VideoDisplayWidget::setReplayPosition(qint64 us, qint64 durationUs, bool paused, double speed)
{
    if (!replaying) {
        replaying = true;
        setMouseTracking(true);
        showReplayBar();
    }
    replayUs = us;
    replayDurationUs = durationUs;
    if (paused != replayPaused || speed != replaySpeed)
        showReplayBar();
    replayPaused = paused;
    replaySpeed = speed;
    if (replayBarShown)
        update(replayBarRect());
}

void VideoDisplayWidget::clearReplayPosition()
{
    replaying = replayBarShown = seekingOnBar = replayPaused = false;
    replayBarTimer.stop();
    setMouseTracking(false);
    update();
}

void VideoDisplayWidget::showReplayBar()
{
    if (!replaying)
        return;
    replayBarTimer.start(ReplayBarShownMs);
    if (!replayBarShown) {
        replayBarShown = true;
        update();
    }
}

QString VideoDisplayWidget::clockText(qint64 seconds)
{
    QString text = QStringLiteral("%1:%2").arg(seconds / 60 % 60, 2, 10, QLatin1Char('0')).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds >= 3600)
        text.prepend(QStringLiteral("%1:").arg(seconds / 3600));
    return text;
}

// What the bar says: "01:23 / 20:00", and the speed when it is not 1x.
QString VideoDisplayWidget::replayText() const
{
    if (!replaying)
        return QString();
    QString text = clockText(replayUs / 1000000);
    if (replayDurationUs > 0)
        text += QStringLiteral(" / ") + clockText((replayDurationUs + 500000) / 1000000);
    if (replaySpeed != 1)
        text += replaySpeed < 1 ? QStringLiteral("   \u00bd\u00d7") : QStringLiteral("   %1\u00d7").arg(replaySpeed);
    return text;
}

// The part of the view that can be seen: in the window, the square's part within the
// widget; in full screen, the view's own.
QRect VideoDisplayWidget::overlayArea() const
{
    return (fullScreenView ? viewTarget(haveDegree).toAlignedRect() : QRect(0, 0, viewSize, viewSize)) & rect();
}

QRect VideoDisplayWidget::replayBarRect() const
{
    const QRect area = overlayArea();
    const int height = QFontMetrics(font()).height() * 2 + 18;
    return QRect(area.left() + BoxMargin, area.bottom() + 1 - BoxMargin - height, area.width() - 2 * BoxMargin, height);
}

// The line of the bar that stands for the whole file.
QRect VideoDisplayWidget::replayTrackRect() const
{
    const QRect bar = replayBarRect();
    return QRect(bar.left() + 12, bar.top() + 10, bar.width() - 24, 6);
}

qint64 VideoDisplayWidget::replayTimeAt(int x) const
{
    const QRect track = replayTrackRect();
    const double fraction = std::clamp(double(x - track.left()) / std::max(1, track.width()), 0.0, 1.0);
    return qint64(fraction * replayDurationUs);
}

void VideoDisplayWidget::drawReplayBar(QPainter &painter) const
{
    const QRect bar = replayBarRect();
    const QRect track = replayTrackRect();
    painter.fillRect(bar, Shade);
    painter.fillRect(track, QColor(255, 255, 255, 90));
    const double played = replayDurationUs > 0 ? std::clamp(double(replayUs) / replayDurationUs, 0.0, 1.0) : 0;
    painter.fillRect(QRect(track.left(), track.top(), qRound(track.width() * played), track.height()), QColor(230, 30, 30));

    // Paused: two bars; playing: a triangle.
    const QRect text(track.left(), track.bottom() + 4, track.width(), bar.bottom() - track.bottom() - 6);
    const int glyph = QFontMetrics(font()).height() * 2 / 3;
    const QRect mark(text.left(), text.center().y() - glyph / 2, glyph, glyph);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    if (replayPaused) {
        painter.drawRect(mark.left(), mark.top(), glyph / 3, glyph);
        painter.drawRect(mark.right() + 1 - glyph / 3, mark.top(), glyph / 3, glyph);
    } else {
        const QPointF points[] = {mark.topLeft(), QPointF(mark.right() + 1, mark.center().y() + 0.5), mark.bottomLeft() + QPoint(0, 1)};
        painter.drawPolygon(points, 3);
    }
    painter.setPen(Qt::white);
    painter.drawText(text.adjusted(glyph + 8, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, replayText());
}

void VideoDisplayWidget::showHint(const QString &text, int msecs)
{
    hintText = text;
    // In over the first fifth of a second, out over the last.
    hintOpacity.stop();
    hintOpacity.setDuration(msecs);
    hintOpacity.setKeyValues({{0.0, 0.0}, {200.0 / msecs, 1.0}, {1.0 - 200.0 / msecs, 1.0}, {1.0, 0.0}});
    hintOpacity.start();
    update();
}

// The view in one pass: the part of the frame it shows, drawn through the view's transform
// (turned, mirrored, zoomed) onto its target; the circular view cut to its disc, which is
// the same disc whatever the angle. A frame already at the size the view asks for is
// copied onto the screen as it is, unzoomed; zoomed, it is enlarged smoothly; other
// frames are scaled with nearest-pixel sampling.
void VideoDisplayWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // What the picture leaves uncovered (the strip beside the square, the corners around
    // the disc, all of it before the first frame) shows the window's background, as it
    // would through a widget that painted nothing there.
    QRegion uncovered(rect());
    if (!image.isNull())
        uncovered -= haveDegree ? discClip() : QRegion(viewTarget(false).toAlignedRect());
    for (const QRect &part : uncovered)
        painter.fillRect(part, palette().brush(backgroundRole()));
    if (!image.isNull()) {
        painter.save();
        painter.setRenderHints(ViewHints);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, zoomFactor > 1);
        if (haveDegree)
            painter.setClipRegion(discClip());
        // The turn about the target's middle; the zoom is the source rectangle's, so that an
        // unturned frame of the target's size goes out as a plain copy.
        const QRectF target = viewTarget(haveDegree);
        painter.translate(target.center());
        painter.rotate(viewTurn());
        painter.translate(-target.center());
        painter.drawImage(target, image, inPixelsOf(image, shownRegion(haveDegree)));
        painter.restore();
    }
    drawOverlays(painter);
}

// What the user must know, drawn over the picture in white on dark: readable over any
// picture, which stays in sight around it. The notice across the middle of the visible
// picture, the recording's state in its top left corner, a passing message at its foot.
void VideoDisplayWidget::drawOverlays(QPainter &painter) const
{
    if (noticeText.isEmpty() && recordingText.isEmpty() && messageText.isEmpty() && linkText.isEmpty()
        && zoomText.isEmpty() && hintText.isEmpty() && !replayBarShown) {
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    QFont large = painter.font();
    large.setBold(true);
    const QFont small = large;
    large.setPointSizeF(large.pointSizeF() * 1.4);
    const QFontMetrics smallMetrics(small), largeMetrics(large);
    // What shows at the foot of the picture stands above the position bar.
    const QRect area = replayBarShown ? overlayArea().adjusted(0, 0, 0, -replayBarRect().height() - BoxMargin) : overlayArea();
    if (replayBarShown) {
        painter.save();
        drawReplayBar(painter);
        painter.restore();
    }

    if (!noticeText.isEmpty()) {
        painter.setFont(large);
        const int height = largeMetrics.height() * 2;
        drawTextBox(painter, QRect(area.left(), area.top() + (area.height() - height) / 2, area.width(), height), noticeText,
                    Qt::AlignCenter | Qt::TextWordWrap);
    }
    painter.setFont(small);
    if (!messageText.isEmpty()) {
        const int height = smallMetrics.height() * 2;
        drawTextBox(painter, QRect(area.left(), area.bottom() + 1 - height, area.width(), height), messageText);
    }
    if (!linkText.isEmpty())
        drawTextBox(painter, cornerBox(area, Qt::TopRightCorner, smallMetrics, linkText), linkText);
    if (!zoomText.isEmpty())
        drawTextBox(painter, cornerBox(area, Qt::BottomRightCorner, smallMetrics, zoomText), zoomText);
    if (!recordingText.isEmpty()) {
        // Behind a red dot.
        const int dot = smallMetrics.height() * 2 / 3;
        const QRect box = cornerBox(area, Qt::TopLeftCorner, smallMetrics, recordingText, dot + BoxPadding);
        drawTextBox(painter, box.adjusted(dot + BoxPadding, 0, 0, 0), recordingText);
        painter.fillRect(QRect(box.topLeft(), QSize(dot + BoxPadding, box.height())), Shade);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(230, 30, 30));
        painter.drawEllipse(QRect(box.left() + BoxPadding, box.center().y() - dot / 2, dot, dot));
    }
    if (!hintText.isEmpty()) {
        painter.save();
        painter.setOpacity(hintOpacity.currentValue().toDouble());
        painter.setFont(large);
        const int width = largeMetrics.horizontalAdvance(hintText) + 2 * largeMetrics.height();
        drawTextBox(painter, QRect(area.left() + (area.width() - width) / 2, area.top() + largeMetrics.height(), width,
                                   largeMetrics.height() * 2), hintText);
        painter.restore();
    }
}

