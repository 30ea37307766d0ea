#include "display/videodisplaywidget.h"

#include <QBitmap>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>

namespace {

QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED
// Qt 5.15 deprecates HighQualityAntialiasing and folds it into Antialiasing; earlier Qt 5
// releases still honour it, so the views ask for both.
const QPainter::RenderHints ViewHints = QPainter::Antialiasing | QPainter::HighQualityAntialiasing;
const QPainter::RenderHints MaskHints = QPainter::SmoothPixmapTransform | QPainter::HighQualityAntialiasing;
QT_WARNING_POP

} // namespace

VideoDisplayWidget::VideoDisplayWidget(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(640, 480);
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

void VideoDisplayWidget::showMessage(const QString &text, int msecs)
{
    messageText = text;
    messageTimer.start(msecs);
    update();
}

void VideoDisplayWidget::paintEvent(QPaintEvent *)
{
    if (!image.isNull()) {
        if (haveDegree)
            drawCircularView();
        else
            drawPlainView();
    }
    drawOverlays();
}

// What the user must know, drawn over the picture in white on dark: readable over any
// picture, which stays in sight around it. The notice across the middle of the visible
// picture, the recording's state in its top left corner, a passing message at its foot.
void VideoDisplayWidget::drawOverlays()
{
    if (noticeText.isEmpty() && recordingText.isEmpty() && messageText.isEmpty())
        return;
    QPainter painter(this);
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

// Cuts `region` out of the frame as the view shows it and scales it to the view's square.
//
// A mirrored view shows the frame turned half a turn. Turning the whole frame first costs
// a full-frame copy on every paint; instead this cuts the region's counterpart out of the
// unturned frame, and the caller's painter turns the small scaled result. Both give the
// same pixels, to within one source pixel of nearest-neighbour sampling, for frames of
// any size: parts of the region outside the frame are black either way.
QPixmap VideoDisplayWidget::scaledRegion(const QRect &region) const
{
    QRect source = region;
    if (mirror) {
        source.moveTo(image.width() - region.right() - 1, image.height() - region.bottom() - 1);
    }
    return QPixmap::fromImage(image.copy(source), Qt::AutoColor)
        .scaled(viewSize, viewSize, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

void VideoDisplayWidget::drawPlainView()
{
    QPainter painter(this);
    painter.setRenderHints(ViewHints);

    const QPixmap view = scaledRegion(QRect(0, 0, sourceWidth, sourceHeight));
    if (mirror) {
        painter.translate(viewSize, viewSize);
        painter.rotate(180);
    }
    painter.drawPixmap(QPointF(0.0, 0.0), view);
}

void VideoDisplayWidget::drawCircularView()
{
    QPainter painter(this);
    painter.setRenderHints(ViewHints);

    const QPointF centre(viewSize / 2, viewSize / 2);
    painter.translate(centre);
    // Turning against the camera keeps the picture upright; the half turn of a mirrored
    // view joins the same rotation about the disc's centre.
    painter.rotate(mirror ? 180 - degree : -degree);

    const int side = sourceHeight;
    QPixmap view = scaledRegion(QRect((sourceWidth - sourceHeight) / 2, 0, side, side));

    // In a bitmap white is clear and black is set: a filled disc touching all four sides.
    QBitmap mask(view.size());
    QPainter maskPainter(&mask);
    maskPainter.setRenderHints(MaskHints);
    maskPainter.fillRect(QRect(0, 0, viewSize, viewSize), QColor(Qt::white));
    QColor black;
    black.setRgb(0, 0, 0, 255);
    maskPainter.setBrush(QBrush(black, Qt::SolidPattern));
    maskPainter.drawEllipse(QRect(0, 0, viewSize, viewSize));
    maskPainter.end();
    view.setMask(mask);

    painter.translate(-centre);
    painter.drawPixmap(QPointF(0.0, 0.0), view);
}
