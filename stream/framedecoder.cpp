#include "stream/framedecoder.h"

#include "stream/recording.h"
#include "stream/recordingfinisher.h"

#include <QDebug>

FrameDecoder::FrameDecoder(FrameMailbox &mailbox, QObject *parent)
    : QThread(parent)
    , mailbox(mailbox)
    , picture(av_frame_alloc())
{
    setObjectName(QStringLiteral("frame decoder"));
}

FrameDecoder::~FrameDecoder()
{
    stop();
    // The owner ends a recording first; if not, the file is still completed.
    RecordingFinisher::finish(std::move(recording));
}

void FrameDecoder::push(AVPacket *packet, int degree, bool isHaveDegree, const std::shared_ptr<Session> &session)
{
    av::PacketPtr taken(av_packet_alloc());
    if (!taken)
        return;
    av_packet_move_ref(taken.get(), packet);
    QMutexLocker locker(&mutex);
    if (int(waiting.size()) >= MaxWaiting) {
        if (recording)
            recording->leaveOut(1);
        waiting.pop_front();
    }
    waiting.push_back({std::move(taken), degree, isHaveDegree, session});
    frameQueued.wakeOne();
}

void FrameDecoder::finishQueued()
{
    QMutexLocker locker(&mutex);
    while ((decoding || !waiting.empty()) && !stopping && isRunning())
        frameDone.wait(&mutex);
}

void FrameDecoder::stop()
{
    {
        QMutexLocker locker(&mutex);
        stopping = true;
        waiting.clear();
        frameQueued.wakeAll();
    }
    wait();
}

void FrameDecoder::setPictureSizes(const QSize &plain, const QSize &circular)
{
    QMutexLocker locker(&mutex);
    plainSize = plain;
    circularSize = circular;
}

void FrameDecoder::setMirrorFlags(bool isMirror, bool autoMirror)
{
    QMutexLocker locker(&mutex);
    this->isMirror = isMirror;
    this->autoMirror = autoMirror;
}

std::unique_ptr<Recording> FrameDecoder::replaceRecording(std::unique_ptr<Recording> next)
{
    QMutexLocker locker(&mutex);
    std::swap(recording, next);
    toldLeftOut = false;
    return next;
}

bool FrameDecoder::isRecording() const
{
    QMutexLocker locker(&mutex);
    return recording != nullptr;
}

void FrameDecoder::run()
{
    Frame next;
    bool forScreen = false;
    while (takeNext(next, forScreen)) {
        decode(next, forScreen);
        QMutexLocker locker(&mutex);
        decoding = false;
        frameDone.wakeAll();
    }
}

// Waits for a frame, and picks the one to decode: the oldest waiting while a recording has
// room for it, else the newest. Whether the window gets it is decided here too: only the
// newest frame is for the screen, and a picture that was newest when its decoding began
// goes to it, however many frames came meanwhile. False once stopped.
bool FrameDecoder::takeNext(Frame &next, bool &forScreen)
{
    QMutexLocker locker(&mutex);
    while (waiting.empty() && !stopping)
        frameQueued.wait(&mutex);
    if (stopping)
        return false;
    while (waiting.size() > 1 && !(recording && recording->hasRoom())) {
        if (recording)
            recording->leaveOut(1);
        waiting.pop_front();
    }
    next = std::move(waiting.front());
    waiting.pop_front();
    forScreen = waiting.empty();
    decoding = true;
    return true;
}

void FrameDecoder::decode(const Frame &frame, bool forScreen)
{
    if (frame.session != session) {
        session = frame.session;
        QMutexLocker locker(&mutex);
        if (recording)
            recording->restartClock();
    }
    // A Motion-JPEG frame is one picture: one packet in, at most one picture out.
    AVCodecContext *decoder = frame.session->decoder.get();
    int ret = avcodec_send_packet(decoder, frame.packet.get());
    if (ret < 0)
        qDebug() << "avcodec_send_packet error" << ret;
    ret = avcodec_receive_frame(decoder, picture.get());
    if (ret < 0) {
        // Nothing goes out: the window keeps the last picture, with its own angle.
        qDebug() << "avcodec_receive_frame" << ret;
        return;
    }

    if (forScreen) {
        QSize size;
        bool mirrorFlag, autoMirrorFlag;
        {
            QMutexLocker locker(&mutex);
            size = frame.isHaveDegree ? circularSize : plainSize;
            mirrorFlag = isMirror;
            autoMirrorFlag = autoMirror;
        }
        ImageConverter &converter = frame.isHaveDegree ? circularConverter : plainConverter;
        const QImage image = converter.convert(picture.get(), size);
        if (!image.isNull())
            mailbox.post(image, frame.degree, frame.isHaveDegree, mirrorFlag, autoMirrorFlag);
    }
    record(frame);
    av_frame_unref(picture.get());
}

void FrameDecoder::record(const Frame &frame)
{
    bool leftOutFirst = false, failed = false;
    {
        QMutexLocker locker(&mutex);
        if (!recording)
            return;
        switch (recording->offer(picture.get(), frame.session->timeBase)) {
        case Recording::Offer::Taken:
            break;
        case Recording::Offer::LeftOut:
            leftOutFirst = !toldLeftOut;
            toldLeftOut = true;
            break;
        case Recording::Offer::Failed:
            // The file cannot take more (a full disk, a file size limit): end it with what
            // it has.
            RecordingFinisher::finish(std::move(recording));
            failed = true;
            break;
        }
    }
    if (leftOutFirst)
        emit framesLeftOut();
    if (failed)
        emit recordingFailed();
}
