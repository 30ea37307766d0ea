#ifndef VIDEODISPLAYWIDGET_H
#define VIDEODISPLAYWIDGET_H

#include <QImage>
#include <QRegion>
#include <QString>
#include <QTimer>
#include <QWidget>

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
// The widget owns the mirror state. The user flips it with toggleMirror(); the widget
// flips it by itself whenever the camera's angle moves from one half of the circle into
// the other (the band rule in setFrame()).
class VideoDisplayWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VideoDisplayWidget(QWidget *parent = nullptr);
    ~VideoDisplayWidget() override;

    // Keeps the frame (implicitly shared) and its angle, schedules a repaint and applies
    // the band rule.
    void setFrame(const QImage &image, int degree);
    // The size, in device pixels, at which the plain or the circular view draws the whole
    // camera picture without scaling it again.
    QSize pictureSize(bool circular) const;
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

    bool isMirrored() const { return mirror; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void drawPlainView(QPainter &painter) const;
    void drawCircularView(QPainter &painter);
    void drawOverlays(QPainter &painter) const;

    QImage image;
    int degree = 0;
    int viewSize = 600;
    QRegion disc; // the circular view's outline, made once for viewSize
    bool mirror = false;
    bool haveDegree = false;
    bool upperBand = true;   // band of the last angle that fell into one: 200..340 (true) or 20..160
    bool appliedBand = true; // band last folded into `mirror`
    QString noticeText;
    QString recordingText;
    QString messageText;
    QString linkText;
    QTimer messageTimer;
};

#endif // VIDEODISPLAYWIDGET_H
