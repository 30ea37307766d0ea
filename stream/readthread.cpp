#include "stream/readthread.h"

#include "stream/cameranetwork.h"
#include "record/recordingfinisher.h"

#include <QUrl>

#include <QDeadlineTimer>
#include <QDebug>

extern "C" {
#include <libavutil/time.h>
}

namespace {

// While the camera is lost, a new attempt to reach it begins at least this often; an
// attempt that gets no RTSP answer within this time is given up for the next one.
const int64_t ReconnectIntervalUs = 1000000;
// How often the link's figures are told.
const int64_t LinkReportIntervalUs = 1000000;

} // namespace

ReadThread::ReadThread(QObject *parent)
    : QThread(parent)
{
    setObjectName(QStringLiteral("camera reader"));
    qRegisterMetaType<ReadThread::ConnectFailure>();
    connect(&mailbox, &FrameMailbox::delivered, this, &ReadThread::getImage);
    connect(&frameDecoder, &FrameDecoder::recordingFailed, this, &ReadThread::recordingFailed);
    connect(&frameDecoder, &FrameDecoder::framesLeftOut, this, &ReadThread::framesLeftOut);
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
    retryWake.wakeAll();
}

bool ReadThread::openStream()
{
    std::unique_ptr<StreamConnection> opened =
        StreamConnection::open(url, interruptFlag, StreamConnection::CameraSilenceUs);
    if (!opened)
        return false;
    useConnection(std::move(opened));
    return true;
}

// The first connection, made on the reader's own thread: the window goes on while the
// camera answers, or fails to. False when it could not be made, after saying why (not
// when stopped meanwhile).
bool ReadThread::connectFirst()
{
    StreamConnection::Failure failure;
    std::unique_ptr<StreamConnection> opened =
        StreamConnection::open(url, interruptFlag, StreamConnection::CameraSilenceUs, &failure);
    if (!opened) {
        if (interruptFlag)
            return false;
        // Not on the camera's network, a connection fails whatever the camera does: that
        // is what the user can put right. A decoder that is missing is missing anywhere.
        if (failure == StreamConnection::Failure::NoDecoder)
            emit connectFailed(ConnectFailure::CannotDecode);
        else if (!CameraNetwork::isJoined(QUrl(url).host()))
            emit connectFailed(ConnectFailure::NotOnCameraNetwork);
        else if (failure == StreamConnection::Failure::NoPicture)
            emit connectFailed(ConnectFailure::NoPicture);
        else
            emit connectFailed(ConnectFailure::NoAnswer);
        return false;
    }
    useConnection(std::move(opened));
    emit connected();
    return true;
}

void ReadThread::setPictureSizes(const QSize &plain, const QSize &circular)
{
    frameDecoder.setPictureSizes(plain, circular);
}

void ReadThread::resetMirror(bool mirrored)
{
    frameDecoder.resetMirror(mirrored);
}

void ReadThread::setMirrorChoice(bool choice)
{
    frameDecoder.setMirrorChoice(choice);
}

void ReadThread::useConnection(std::unique_ptr<StreamConnection> next)
{
    connection = std::move(next);
    session = std::make_shared<FrameDecoder::Session>();
    session->codecCtx = connection->takeDecoder();
    session->timeBase = connection->videoStream()->time_base;
    isMirror = true;
    autoMirror = true;
    frameDecoder.setMirrorFlags(isMirror, autoMirror);
    link.restart();
    QMutexLocker locker(&mutex);
    source.frameRate = connection->frameRate();
    source.sampleAspectRatio = connection->videoStream()->codecpar->sample_aspect_ratio;
    hasSource = true;
}

void ReadThread::run()
{
    if (!connection && !connectFirst())
        return;
    frameDecoder.start();
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
    frameDecoder.stop();
    // Tells the camera goodbye now, not when the object goes: a camera that serves one
    // client at a time is free for the next start at once.
    connection.reset();
    session.reset();
}

// The camera has gone silent, or its session broke off: that session is over. The picture
// stays on screen, and a recording goes on when the camera is back.
void ReadThread::loseConnection(int error)
{
    qDebug() << "camera lost" << error;
    connection.reset();
    session.reset();
    reportLink(av_gettime_relative());
    // The session's last pictures reach the window before the word that it is over.
    frameDecoder.finishQueued();
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
        retryWake.wait(&stopMutex, QDeadlineTimer((remainingUs + 999) / 1000));
}

// One video packet as it arrives: the sensor block out, and on to the decoder with the
// angle it carried. The decoder's thread does the rest.
void ReadThread::handlePacket(AVPacket *packet)
{
    const int64_t now = av_gettime_relative();
    link.frame(packet->pts, now);
    if (now - linkReportedUs >= LinkReportIntervalUs)
        reportLink(now);
    const int degree = getPacketDegree(packet);
    frameDecoder.push(packet, degree, isHaveDegree, session, now);
}

void ReadThread::reportLink(int64_t nowUs)
{
    linkReportedUs = nowUs;
    const LinkMeter::Counts counts = link.lastSeconds(nowUs);
    emit linkQuality(counts.received, counts.lost);
}

// A recording on its way: made on the finishing threads, then handed to the reader on its
// owner's thread. Whichever side lets go of it last finishes a recording that was called
// off, or whose reader has gone, so that its file is never left open.
struct ReadThread::RecordingStart
{
    QMutex mutex;
    ReadThread *reader = nullptr;        // guarded by mutex; null once called off
    std::unique_ptr<Recording> recording; // made, not yet taken over
    std::atomic<bool> calledOff{false};

    ~RecordingStart() { RecordingFinisher::finish(std::move(recording)); }
};

bool ReadThread::setRecord(bool on, const QString &fileName)
{
    if (!on) {
        callOffRecordingStart();
        RecordingFinisher::finish(frameDecoder.replaceRecording(nullptr));
        return false;
    }
    if (recordingStart || frameDecoder.isRecording()) {
        qDebug() << "setRecord: a recording runs already";
        return false;
    }
    Recording::Source from;
    {
        QMutexLocker locker(&mutex);
        if (!hasSource) {
            qDebug() << "setRecord without an open stream";
            return false;
        }
        from = source;
    }
    auto start = std::make_shared<RecordingStart>();
    start->reader = this;
    recordingStart = start;
    // A file still being finished from an earlier recording is complete, and in its place,
    // before a new one may take its name: it is never cut short under the finishing.
    RecordingFinisher::whenDone(fileName, [start, fileName, from] {
        if (!start->calledOff)
            start->recording = Recording::start(fileName, CameraPictureSize.width(), CameraPictureSize.height(), from);
        // Posted to the reader while it cannot go away; an event for a reader that goes
        // before it runs is dropped with it.
        QMutexLocker locker(&start->mutex);
        if (ReadThread *reader = start->reader)
            QMetaObject::invokeMethod(reader, [reader, start] { reader->startRecording(start); }, Qt::QueuedConnection);
    });
    return true;
}

// On the owner's thread: the recording asked for is made, or could not be.
void ReadThread::startRecording(const std::shared_ptr<RecordingStart> &start)
{
    if (start != recordingStart)
        return;
    recordingStart.reset();
    if (!start->recording) {
        emit recordingFailed();
        return;
    }
    RecordingFinisher::finish(frameDecoder.replaceRecording(std::move(start->recording)));
    emit recordingStarted();
}

void ReadThread::callOffRecordingStart()
{
    if (!recordingStart)
        return;
    QMutexLocker locker(&recordingStart->mutex);
    recordingStart->reader = nullptr;
    recordingStart->calledOff = true;
    locker.unlock();
    recordingStart.reset();
}
