#include "display/videodisplaywidget.h"

#include "media/picturesize.h"

#include <QFontMetrics>
#include <QPainter>

namespace {

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
// Qt 5.15 deprecates HighQualityAntialiasing and folds it into Antialiasing; earlier Qt 5
// releases still honour it, so the views ask for both.
const QPainter::RenderHints ViewHints = QPainter::Antialiasing | QPainter::HighQualityAntialiasing;
QT_WARNING_POP

// The part of the camera's picture that the circular view shows: the centred square, as
// tall as the picture.
const QRect DiscRegion((CameraPictureSize.width() - CameraPictureSize.height()) / 2, 0, CameraPictureSize.height(),
                       CameraPictureSize.height());

// `region` of the camera's picture, in the pixels of `image`, which holds the whole picture
// at its own size.
QRectF inPixelsOf(const QImage &image, const QRect &region)
{
    const qreal sx = qreal(image.width()) / CameraPictureSize.width();
    const qreal sy = qreal(image.height()) / CameraPictureSize.height();
    return QRectF(region.x() * sx, region.y() * sy, region.width() * sx, region.height() * sy);
}

} // namespace

VideoDisplayWidget::VideoDisplayWidget(QWidget *parent)
    : QWidget(parent)
    , disc(QRect(0, 0, viewSize, viewSize), QRegion::Ellipse)
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
}

VideoDisplayWidget::~VideoDisplayWidget() = default;

void VideoDisplayWidget::setFrame(const QImage &image, int degree)
{
    this->image = image;
    this->degree = degree;
    update();

    // The two bands are the halves of the circle away from the horizon; an angle near
    // 0 or 180 degrees, or outside 0..359, belongs to neither and changes nothing.
    if (degree >= 20 && degree <= 160)
        upperBand = false;
    else if (degree >= 200 && degree <= 340)
        upperBand = true;

    if (upperBand != appliedBand) {
        mirror = !mirror;
        appliedBand = upperBand;
    }
}

QSize VideoDisplayWidget::pictureSize(bool circular) const
{
    const qreal scale = devicePixelRatioF();
    const int side = qRound(viewSize * scale);
    if (!circular)
        return QSize(side, side);
    // The whole picture, scaled so that its centred square fills the disc.
    return QSize(qRound(qreal(side) * CameraPictureSize.width() / CameraPictureSize.height()), side);
}

void VideoDisplayWidget::setHaveDegree(bool value)
{
    haveDegree = value;
}

void VideoDisplayWidget::resetMirror(bool value)
{
    mirror = value;
    appliedBand = value;
    upperBand = value;
}

void VideoDisplayWidget::toggleMirror()
{
    mirror = !mirror;
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

void VideoDisplayWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // What the picture leaves uncovered (the strip beside the square, the corners around
    // the disc, all of it before the first frame) shows the window's background, as it
    // would through a widget that painted nothing there.
    QRegion uncovered(rect());
    if (!image.isNull())
        uncovered -= haveDegree ? disc : QRegion(0, 0, viewSize, viewSize);
    for (const QRect &part : uncovered)
        painter.fillRect(part, palette().brush(backgroundRole()));
    if (!image.isNull()) {
        painter.save();
        if (haveDegree)
            drawCircularView(painter);
        else
            drawPlainView(painter);
        painter.restore();
    }
    drawOverlays(painter);
}

// What the user must know, drawn over the picture in white on dark: readable over any
// picture, which stays in sight around it. The notice across the middle of the visible
// picture, the recording's state in its top left corner, a passing message at its foot.
void VideoDisplayWidget::drawOverlays(QPainter &painter) const
{
    if (noticeText.isEmpty() && recordingText.isEmpty() && messageText.isEmpty() && linkText.isEmpty())
        return;
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setBold(true);
    const QFont small = font;
    font.setPointSizeF(font.pointSizeF() * 1.4);
    const int visibleHeight = qMin(viewSize, height());
    const QColor shade(0, 0, 0, 170);

    if (!noticeText.isEmpty()) {
        painter.setFont(font);
        const int bandHeight = QFontMetrics(font).height() * 2;
        const QRect band(0, (visibleHeight - bandHeight) / 2, viewSize, bandHeight);
        painter.fillRect(band, shade);
        painter.setPen(Qt::white);
        painter.drawText(band, Qt::AlignCenter | Qt::TextWordWrap, noticeText);
    }
    if (!messageText.isEmpty()) {
        painter.setFont(small);
        const int bandHeight = QFontMetrics(small).height() * 2;
        const QRect band(0, visibleHeight - bandHeight, viewSize, bandHeight);
        painter.fillRect(band, shade);
        painter.setPen(Qt::white);
        painter.drawText(band.adjusted(8, 0, -8, 0), Qt::AlignCenter, messageText);
    }
    if (!linkText.isEmpty()) {
        painter.setFont(small);
        const QFontMetrics metrics(small);
        const int margin = 8, padding = 6;
        const int width = metrics.horizontalAdvance(linkText) + 2 * padding;
        const QRect box(viewSize - margin - width, margin, width, metrics.height() + 2 * padding);
        painter.fillRect(box, shade);
        painter.setPen(Qt::white);
        painter.drawText(box, Qt::AlignCenter, linkText);
    }
    if (!recordingText.isEmpty()) {
        painter.setFont(small);
        const QFontMetrics metrics(small);
        const int dot = metrics.height() * 2 / 3;
        const int margin = 8, padding = 6;
        const QRect box(margin, margin, padding + dot + padding + metrics.horizontalAdvance(recordingText) + padding,
                        metrics.height() + 2 * padding);
        painter.fillRect(box, shade);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(230, 30, 30));
        painter.drawEllipse(QRect(box.left() + padding, box.center().y() - dot / 2, dot, dot));
        painter.setPen(Qt::white);
        painter.drawText(box.adjusted(padding + dot + padding, 0, -padding, 0), Qt::AlignLeft | Qt::AlignVCenter,
                         recordingText);
    }
}

// The whole frame in the square, turned half a turn about its centre when mirrored. A
// frame of the square's size in device pixels is copied as it is; any other is scaled with
// nearest-pixel sampling.
void VideoDisplayWidget::drawPlainView(QPainter &painter) const
{
    painter.setRenderHints(ViewHints);
    if (mirror) {
        painter.translate(viewSize, viewSize);
        painter.rotate(180);
    }
    painter.drawImage(QRectF(0, 0, viewSize, viewSize), image, QRectF(image.rect()));
}

// The frame's centred square on a disc, turned against the camera (and half a turn more
// when mirrored) about the disc's centre. A disc turned about its centre is the same disc,
// so it is cut as it stands, whatever the angle.
void VideoDisplayWidget::drawCircularView(QPainter &painter)
{
    painter.setRenderHints(ViewHints);
    painter.setClipRegion(disc);
    const QPointF centre(viewSize / 2, viewSize / 2);
    painter.translate(centre);
    painter.rotate(mirror ? 180 - degree : -degree);
    painter.translate(-centre);
    painter.drawImage(QRectF(0, 0, viewSize, viewSize), image, inPixelsOf(image, DiscRegion));
}
