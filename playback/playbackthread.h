#ifndef PLAYBACKTHREAD_H
#define PLAYBACKTHREAD_H

#include "media/avhelpers.h"
#include "media/framemailbox.h"
#include "media/pictureconverter.h"

#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>

// Replays a recording in the window: decodes its first video stream and hands each
// picture to getImage() every 40 ms, at the file's own size unless the window asks for
// another. The pace is fixed; the file's timestamps are not used. As with the live reader,
// only the newest picture waits for the window.
//
// Use: construct, openFile() on the caller's thread, then start(); stop with stopPlay()
// and wait(). An object replays one file once.
class PlayBackThread : public QThread
{
    Q_OBJECT

public:
    explicit PlayBackThread(QObject *parent = nullptr);
    ~PlayBackThread() override;

    bool openFile(const QString &fileName);
    // Ends the replay after the picture in hand and its pause. Returns at once.
    void stopPlay();
    // The size at which the receiver wants the whole picture. Any thread.
    void setPictureSize(const QSize &size);

signals:
    // Emitted on the thread the object lives in.
    void getImage(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);

protected:
    void run() override;

private:
    void show(const AVFrame *picture);

    av::InputContextPtr formatCtx;
    FrameMailbox mailbox;
    av::FramePtr frame;
    ImageConverter converter;
    av::CodecContextPtr codecCtx;
    int videoStreamIndex = -1;
    QMutex sizeMutex;
    QSize pictureSize; // guarded by sizeMutex
    // Set by stopPlay() and never cleared: a stop asked for before the thread begins
    // holds as well.
    std::atomic<bool> stopRequested{false};
};

#endif // PLAYBACKTHREAD_H
