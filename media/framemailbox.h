#ifndef FRAMEMAILBOX_H
#define FRAMEMAILBOX_H

#include <QImage>
#include <QMutex>
#include <QObject>

// Hands pictures from a worker thread to the thread this object lives in, newest first:
// at most one picture waits, and a newer one takes its place. A receiver that falls
// behind (a long paint, a modal dialog, a slow machine) then costs neither memory nor
// delay, and when it catches up it gets the latest picture.
//
// The workers connect delivered() to their own frame signal.
class FrameMailbox : public QObject
{
    Q_OBJECT

public:
    explicit FrameMailbox(QObject *parent = nullptr);

    // Any thread. Replaces a picture that is still waiting.
    void post(const QImage &image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);

signals:
    void delivered(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);

private:
    void deliver();

    struct Frame
    {
        QImage image;
        int degree = 0;
        bool isHaveDegree = false;
        bool isMirror = false;
        bool autoMirror = false;
    };

    QMutex mutex;
    Frame waiting; // guarded by mutex
    bool full = false; // guarded by mutex; a delivery is scheduled while it is set
};

#endif // FRAMEMAILBOX_H
