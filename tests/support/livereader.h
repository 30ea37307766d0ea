#ifndef LIVEREADER_H
#define LIVEREADER_H

#include "stream/readthread.h"
#include "framecollector.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

// Waits until `worker`, a reader or a player, has handed `count` more pictures on. The
// first picture to arrive may have been waiting in the worker already, so it does not count.
template <typename Worker>
bool waitForPictures(Worker *worker, int count, int timeoutMs = 30000)
{
    int seen = 0;
    const QMetaObject::Connection counting = QObject::connect(worker, &Worker::getImage, [&seen] { ++seen; });
    QElapsedTimer timer;
    timer.start();
    while (seen <= count && timer.elapsed() < timeoutMs)
        QTest::qWait(10);
    QObject::disconnect(counting);
    return seen > count;
}

// Starts recording to `path` and waits until the recording takes pictures; false if it
// was refused or could not start.
inline bool startRecording(ReadThread *reader, const QString &path, int timeoutMs = 30000)
{
    QSignalSpy started(reader, &ReadThread::recordingStarted);
    QSignalSpy failed(reader, &ReadThread::recordingFailed);
    if (!reader->setRecord(true, path))
        return false;
    return QTest::qWaitFor([&] { return !started.isEmpty() || !failed.isEmpty(); }, timeoutMs) && !started.isEmpty();
}

// A reader with its pictures collected, stopped and waited for when it goes.
struct LiveReader
{
    std::unique_ptr<ReadThread> reader = std::make_unique<ReadThread>();
    std::unique_ptr<FrameCollector> frames = std::make_unique<FrameCollector>(reader.get());

    bool open(const QString &url)
    {
        reader->url = url;
        return reader->openStream();
    }
    bool start(const QString &url)
    {
        if (!open(url))
            return false;
        reader->start();
        return true;
    }
    bool waitFrames(int count, int timeoutMs = 30000) { return waitForPictures(reader.get(), count, timeoutMs); }
    // Waits until `count` pictures have been collected in all.
    bool collect(int count, int timeoutMs = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (frames->frames.size() < count && timer.elapsed() < timeoutMs)
            QTest::qWait(10);
        return frames->frames.size() >= count;
    }
    ~LiveReader()
    {
        reader->stopRead();
        reader->wait(5000);
    }
};

#endif // LIVEREADER_H
