#ifndef VIDEODISPLAYWIDGET_H
#define VIDEODISPLAYWIDGET_H

#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

// Shows the latest camera or replay frame, either as a plain view (the 1280x960 region
// squeezed into a 600x600 square) or as a circular view (the centred 960x960 square cut
// to a disc and turned back against the camera's own rotation).
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

    bool isMirrored() const { return mirror; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void drawPlainView();
    void drawCircularView();
    void drawOverlays();
    QPixmap scaledRegion(const QRect &region) const;

    QImage image;
    int degree = 0;
    int sourceWidth = 1280;
    int sourceHeight = 960;
    int viewSize = 600;
    bool mirror = false;
    bool haveDegree = false;
    bool upperBand = true;   // band of the last angle that fell into one: 200..340 (true) or 20..160
    bool appliedBand = true; // band last folded into `mirror`
    QString noticeText;
    QString recordingText;
    QString messageText;
    QTimer messageTimer;
};

#endif // VIDEODISPLAYWIDGET_H
