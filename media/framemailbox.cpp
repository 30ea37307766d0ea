#include "media/framemailbox.h"

#include <utility>

FrameMailbox::FrameMailbox(QObject *parent)
    : QObject(parent)
{
}

void FrameMailbox::post(const QImage &image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror)
{
    bool wasFull;
    {
        QMutexLocker locker(&mutex);
        waiting = {image, degree, isHaveDegree, isMirror, autoMirror};
        wasFull = full;
        full = true;
    }
    // One delivery is scheduled per empty-to-full change; until it runs, newer pictures
    // only replace the waiting one.
    if (!wasFull)
        QMetaObject::invokeMethod(this, &FrameMailbox::deliver, Qt::QueuedConnection);
}

void FrameMailbox::deliver()
{
    Frame frame;
    {
        QMutexLocker locker(&mutex);
        if (!full)
            return;
        frame = std::exchange(waiting, Frame());
        full = false;
    }
    emit delivered(frame.image, frame.degree, frame.isHaveDegree, frame.isMirror, frame.autoMirror);
}
