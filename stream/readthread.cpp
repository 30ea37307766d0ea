#include "stream/readthread.h"

#include "stream/recordingfinisher.h"

#include <QDebug>

extern "C" {
#include <libavutil/time.h>
}

namespace {

// While the camera is lost, a new attempt to reach it begins at least this often; an
// attempt that gets no RTSP answer within this time is given up for the next one.
const int64_t ReconnectIntervalUs = 1000000;

} // namespace

ReadThread::ReadThread(QObject *parent)
    : QThread(parent)
{
    connect(&mailbox, &FrameMailbox::delivered, this, &ReadThread::getImage);
}

ReadThread::~ReadThread()
{
    // The owner stops and waits for the thread first; this only guards against a reader
    // that is still blocked in the network when its owner goes away.
    if (isRunning()) {
        stopRead();
        wait();
    }
    // Likewise the owner ends a recording first; if not, the file is still completed.
    setRecord(false, QString());
    // A reader that was opened but never started still holds its session.
    connection.reset();
}

void ReadThread::stopRead()
{
    QMutexLocker locker(&stopMutex);
    interruptFlag = true;
    stopRequested.wakeAll();
}

bool ReadThread::openStream()
{
    std::unique_ptr<StreamConnection> opened =
        StreamConnection::open(url, interruptFlag, StreamConnection::CameraSilenceUs);
    if (!opened)
        return false;
    useConnection(std::move(opened));
    isMirror = true;
    autoMirror = true;
    return true;
}

void ReadThread::useConnection(std::unique_ptr<StreamConnection> next)
{
    connection = std::move(next);
    QMutexLocker locker(&mutex);
    source.frameRate = connection->frameRate();
    source.sampleAspectRatio = connection->videoStream()->codecpar->sample_aspect_ratio;
    hasSource = true;
}

void ReadThread::run()
{
    av::PacketPtr packet(av_packet_alloc());
    while (packet && !interruptFlag) {
        if (!connection && !reconnect())
            continue;
        const int ret = connection->read(packet.get());
        if (ret < 0) {
            if (!interruptFlag)
                loseConnection(ret);
            continue;
        }
        if (packet->stream_index == connection->videoStreamIndex())
            handlePacket(packet.get());
        av_packet_unref(packet.get());
    }
    // Tells the camera goodbye now, not when the object goes: a camera that serves one
    // client at a time is free for the next start at once.
    connection.reset();
}

// The camera has gone silent, or its session broke off: that session is over. The picture
// stays on screen, and a recording goes on when the camera is back.
void ReadThread::loseConnection(int error)
{
    qDebug() << "camera lost" << error;
    connection.reset();
    {
        QMutexLocker locker(&mutex);
        if (recording)
            recording->restartClock();
    }
    emit cameraLost();
}

// One attempt to reach the camera again. After a failed attempt, waits until the next one
// is due, or until the reader is stopped.
bool ReadThread::reconnect()
{
    const int64_t began = av_gettime_relative();
    std::unique_ptr<StreamConnection> opened = StreamConnection::open(url, interruptFlag, ReconnectIntervalUs);
    if (opened) {
        useConnection(std::move(opened));
        emit cameraFound();
        return true;
    }
    waitBeforeRetry(began + ReconnectIntervalUs);
    return false;
}

void ReadThread::waitBeforeRetry(int64_t untilUs)
{
    QMutexLocker locker(&stopMutex);
    const int64_t remainingUs = untilUs - av_gettime_relative();
    if (!interruptFlag && remainingUs > 0)
        stopRequested.wait(&stopMutex, QDeadlineTimer((remainingUs + 999) / 1000));
}

// One video packet: the sensor block out, decoding, conversion, the picture handed on,
// and the recording's step, all under the lock that switches recording.
void ReadThread::handlePacket(AVPacket *packet)
{
    QMutexLocker locker(&mutex);
    const int degree = getPacketDegree(packet);
    const bool decoded = connection->decode(packet);

    // Without a new picture the previous one goes out again with this packet's angle.
    const QImage picture = connection->picture();
    if (!picture.isNull())
        mailbox.post(picture, degree, isHaveDegree, isMirror, autoMirror);

    // Only a new picture is recorded: repeating the previous one would put a second
    // picture with its timestamp into the file.
    if (recording && decoded && !recording->write(connection->frame(), connection->videoStream()->time_base)) {
        // The file cannot take more (a full disk, a file size limit): end it with what it
        // has, and say so once.
        RecordingFinisher::finish(std::move(recording));
        emit recordingFailed();
    }
}

// The file is made and its encoder opened, and ended, away from the lock, which is held
// only to hand the recording over: the live loop never waits for either.
bool ReadThread::setRecord(bool on, const QString &fileName)
{
    if (!on) {
        std::unique_ptr<Recording> ended;
        {
            QMutexLocker locker(&mutex);
            ended = std::move(recording);
        }
        RecordingFinisher::finish(std::move(ended));
        return false;
    }

    Recording::Source from;
    {
        QMutexLocker locker(&mutex);
        if (recording)
            return true;
        if (!hasSource) {
            qDebug() << "setRecord without an open stream";
            return false;
        }
        from = source;
    }
    std::unique_ptr<Recording> started =
        Recording::start(fileName, StreamConnection::PictureWidth, StreamConnection::PictureHeight, from);
    if (!started)
        return false;
    QMutexLocker locker(&mutex);
    recording = std::move(started);
    return true;
}
