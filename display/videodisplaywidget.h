#ifndef VIDEODISPLAYWIDGET_H
#define VIDEODISPLAYWIDGET_H

#include "media/mirrorrule.h"

#include <QImage>
#include <QPointF>
#include <QRegion>
#include <QString>
#include <QTimer>
#include <QTransform>
#include <QVariantAnimation>
#include <QWidget>

#include <optional>

class QPainter;

// Shows the latest camera or replay frame, either as a plain view (the whole picture
// squeezed into a 600x600 square) or as a circular view (the picture's centred square cut
// to a disc and turned back against the camera's own rotation).
//
// Every frame is taken as the camera's whole 4:3 picture, at whatever size it comes: the
// live reader sends it already scaled to the size the view asks for (pictureSize()),
// which is then drawn as it is, in one pass; a frame of any other size is scaled as it is
// drawn.
//
// In the window the widget has its fixed 640x480 and the views their 600x600 square at its
// top left, which cuts off the picture's lowest rows. In full screen the views fill the
// widget: the plain view shows the whole picture at 4:3, the circular view a disc as tall
// as the widget. Either view can be zoomed, 1x to 4x, and the zoomed picture dragged;
// zoom is the screen's alone, never the frames'.
//
// The widget owns the mirror state of the live view: the user flips it with toggleMirror(),
// and setFrame() applies the band rule of MirrorRule. A replay sets it with each picture.
class VideoDisplayWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VideoDisplayWidget(QWidget *parent = nullptr);
    ~VideoDisplayWidget() override;

    // Keeps the frame (implicitly shared) and its angle, schedules a repaint and applies
    // the band rule.
    void setFrame(const QImage &image, int degree);
    // A replayed frame, shown mirrored as the live view showed it, unless the user has
    // flipped the replay since.
    void setRecordedFrame(const QImage &image, int degree, bool mirrored);
    // The size, in device pixels, at which the plain or the circular view draws the whole
    // camera picture without scaling it again: more when zoomed, but no more than needed
    // to keep the camera's own detail, or the view's where that is larger.
    QSize pictureSize(bool circular) const;

    // Full screen: the views fill the widget, which may then take any size.
    void setFullScreenView(bool on);
    bool isFullScreenView() const { return fullScreenView; }

    static constexpr double MaxZoom = 4;
    // Zooms by `factor` about `widgetPoint` (which keeps showing the same point of the
    // picture), within 1x to MaxZoom; the factor shows briefly in a corner.
    void zoomBy(double factor, const QPointF &widgetPoint);
    // The same about the middle of the view.
    void zoomBy(double factor);
    void resetZoom();
    double zoom() const { return zoomFactor; }
    // Chooses the circular view (true) or the plain view for the following paints.
    void setHaveDegree(bool value);
    void resetMirror(bool value);
    void toggleMirror();
    // Texts drawn over the picture. They belong to the screen only, never to the frames,
    // so never to a snapshot or a recording. Each is cleared with an empty text.
    //
    // What the user must know about the picture, such as a lost camera: across its middle.
    void setNotice(const QString &text);
    QString notice() const { return noticeText; }
    // A running recording: in the top left corner, behind a red dot.
    void setRecordingStatus(const QString &text);
    QString recordingStatus() const { return recordingText; }
    // A passing word, such as a snapshot saved: at the foot of the picture, for `msecs`.
    void showMessage(const QString &text, int msecs = 2000);
    QString message() const { return messageText; }
    // The link's figures: in the top right corner.
    void setLinkInfo(const QString &text);
    QString linkInfo() const { return linkText; }
    // A word at the top that fades in and, after `msecs`, out again.
    void showHint(const QString &text, int msecs = 4000);
    QString hint() const { return hintText; }

    // The replay's position bar, over the foot of the picture: the time of the picture shown
    // out of the whole, the part played, and the speed when not 1x. It shows while the user
    // acts on the replay and for a few seconds after, and all the time while paused; a
    // click or a drag on it asks for a seek. clearReplayPosition() takes it away.
    void setReplayPosition(qint64 us, qint64 durationUs, bool paused, double speed);
    void clearReplayPosition();
    // The user acted on the replay: the bar shows for a few more seconds.
    void showReplayBar();
    bool isReplayBarShown() const { return replayBarShown; }
    QString replayText() const;
    // "mm:ss", or "h:mm:ss" from an hour on.
    static QString clockText(qint64 seconds);

    bool isMirrored() const { return recordedMirror ? *recordedMirror != flipRecorded : mirrorRule.mirrored(); }
    bool mirrorChoice() const { return mirrorRule.choice(); }

signals:
    // pictureSize() has changed: the view was resized, or zoomed.
    void pictureSizeChanged();
    // The picture was double-clicked: in or out of full screen.
    void fullScreenRequested();
    // A click or a drag on the replay's position bar.
    void seekRequested(qint64 us);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QRectF viewTarget(bool circular) const;
    QRectF shownRegion(bool circular) const;
    double viewTurn() const;
    QTransform viewTransform() const;
    void pan(const QPointF &widgetDelta);
    const QRegion &discClip();
    void drawOverlays(QPainter &painter) const;
    QRect overlayArea() const;
    QRect replayBarRect() const;
    QRect replayTrackRect() const;
    qint64 replayTimeAt(int x) const;
    void drawReplayBar(QPainter &painter) const;

    QImage image;
    int degree = 0;
    int viewSize = 600;
    bool fullScreenView = false;
    double zoomFactor = 1;
    QPointF zoomCentre; // in the camera's picture, which shows about it when zoomed
    QPointF dragFrom;
    QRegion disc;       // the circular view's outline, made once per size
    QRect discFor;      // the target it was made for
    MirrorRule mirrorRule;
    std::optional<bool> recordedMirror; // the last frame's, when replayed with it
    bool flipRecorded = false;          // the user's flips of a replay
    bool haveDegree = false;
    QString noticeText;
    QString recordingText;
    QString messageText;
    QString linkText;
    QTimer messageTimer;
    QString zoomText;
    QTimer zoomTimer;
    QString hintText;
    QVariantAnimation hintOpacity;
    bool replaying = false;
    qint64 replayUs = 0;
    qint64 replayDurationUs = 0;
    bool replayPaused = false;
    double replaySpeed = 1;
    bool replayBarShown = false;
    bool seekingOnBar = false;
    QTimer replayBarTimer;
};

#endif // VIDEODISPLAYWIDGET_H
