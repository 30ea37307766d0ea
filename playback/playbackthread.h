#ifndef PLAYBACKTHREAD_H
#define PLAYBACKTHREAD_H

#include "media/avhelpers.h"
#include "media/framemailbox.h"
#include "media/pictureconverter.h"

#include <QImage>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

// Replays a recording in the window: decodes its first video stream and hands each
// picture, converted to RGB at the file's own size, to getImage() every 40 ms. The
// pace is fixed; the file's timestamps are not used. As with the live reader, only the
// newest picture waits for the window.
//
// Use: construct, openFile() on the caller's thread, then start(); stop with
// stopPlay(), quit() and wait(). An object replays one file once.
class PlayBackThread : public QThread
{
    Q_OBJECT

public:
    explicit PlayBackThread(QObject *parent = nullptr);
    ~PlayBackThread() override;

    bool openFile(const QString &fileName);
    // Ends the replay after the picture in hand and its pause. Returns at once.
    void stopPlay();

signals:
    // Emitted on the thread the object lives in.
    void getImage(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);

protected:
    void run() override;

private:
    av::InputContextPtr formatCtx;
    FrameMailbox mailbox;
    av::FramePtr frame;
    av::FramePtr frameRGB;
    av::BufferPtr rgbBuffer;
    std::unique_ptr<PictureConverter> swsCtx;
    av::CodecContextPtr codecCtx;
    int width = 0;
    int height = 0;
    int videoStreamIndex = -1;
    std::atomic<bool> running{false};
    // Set by stopPlay() and never cleared: a stop asked for just before the thread
    // begins must not be undone when run() sets `running`.
    std::atomic<bool> stopRequested{false};
};

#endif // PLAYBACKTHREAD_H
