#include "stream/framedecoder.h"

#include "record/recording.h"
#include "record/recordingfinisher.h"

#include <QDebug>

#include <algorithm>
#include <utility>

FrameDecoder::Step FrameDecoder::nextStep(const Waiting &waiting)
{
    if (waiting.frames == 0)
        return Step::Wait;
    // Without a recording only the newest frame matters, and only until it is shown.
    if (!waiting.recording)
        return waiting.frames > 1 || waiting.newestDecoded ? Step::DropOldest : Step::ShowNewest;
    // A picture in its turn costs the screen nothing.
    if (waiting.oldestDecoded)
        return Step::OfferOldest;
    // A new frame for the screen: frames older than a picture that waits had their time,
    // until this frame came, and a machine that had none for them must not take the
    // screen's to catch up.
    if (!waiting.newestDecoded)
        return waiting.pictureWaits ? Step::DropOldest : Step::ShowNewest;
    return waiting.recordingHasRoom ? Step::RecordOldest : Step::DropOldest;
}

FrameDecoder::FrameDecoder(FrameMailbox &mailbox, QObject *parent)
    : QThread(parent)
    , mailbox(mailbox)
    , scaledDecoding(qEnvironmentVariable("VELMORA_SCALED_DECODE") != QLatin1String("0"))
{
    setObjectName(QStringLiteral("frame decoder"));
}

FrameDecoder::~FrameDecoder()
{
    stop();
    // The owner ends a recording first; if not, the file is still completed.
    RecordingFinisher::finish(std::move(recording));
    RecordingFinisher::finish(std::move(failedRecording));
}

void FrameDecoder::push(AVPacket *packet, int degree, bool isHaveDegree, const std::shared_ptr<Session> &session,
                        int64_t arrivedUs)
{
    av::PacketPtr taken(av_packet_alloc());
    if (!taken)
        return;
    av_packet_move_ref(taken.get(), packet);
    QMutexLocker locker(&mutex);
    if (int(waiting.size()) >= MaxWaiting) {
        // The oldest frame not decoded yet goes, before a picture that has cost its
        // decoding already.
        auto oldestFrame = std::find_if(waiting.begin(), waiting.end(), [](const Frame &f) { return !f.picture; });
        leaveOut(1);
        waiting.erase(oldestFrame != waiting.end() ? oldestFrame : waiting.begin());
    }
    // As the window will show it, if it does: the recording keeps that with the picture.
    mirrorRule.see(degree);
    waiting.push_back({std::move(taken), degree, isHaveDegree, mirrorRule.mirrored(), session, arrivedUs, nextSequence++, nullptr});
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

void FrameDecoder::resetMirror(bool mirrored)
{
    QMutexLocker locker(&mutex);
    mirrorRule.reset(mirrored);
}

void FrameDecoder::setMirrorChoice(bool choice)
{
    QMutexLocker locker(&mutex);
    mirrorRule.setChoice(choice);
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
    takeWaitingFrames();
    std::swap(recording, next);
    recordedSession.reset();
    leftOutSinceTold = toldLeftOut = false;
    return next;
}

// Under the lock, as a recording ends: the frames that came while it ran and still wait go
// into it, those decoded already, or are counted as left out. Decoding the others now would
// hold up the caller, the window, on a machine that is behind with its decoding.
void FrameDecoder::takeWaitingFrames()
{
    if (recording && decoding)
        leaveOut(1);
    for (auto frame = waiting.begin(); frame != waiting.end() && recording;) {
        if (!frame->picture) {
            leaveOut(1);
            ++frame;
            continue;
        }
        offer(*frame);
        // Decoded for the recording or shown already: nobody else wants it.
        frame = waiting.erase(frame);
    }
}

bool FrameDecoder::isRecording() const
{
    QMutexLocker locker(&mutex);
    return recording != nullptr;
}

int64_t FrameDecoder::recordingSize() const
{
    QMutexLocker locker(&mutex);
    return recording ? recording->size() : 0;
}

int FrameDecoder::recordingPictures() const
{
    QMutexLocker locker(&mutex);
    return recording ? recording->picturesTaken() : 0;
}

void FrameDecoder::run()
{
    Frame next;
    Step step;
    QSize screenSize;
    while (takeNext(next, step, screenSize)) {
        const bool decoded = decode(next, screenSize);
        if (decoded && step == Step::ShowNewest)
            show(next);
        // What becomes of the frame in a recording is settled under the lock, at once: a
        // recording that ends meanwhile counts the frame being decoded as left out.
        QMutexLocker locker(&mutex);
        decoding = false;
        if (!decoded)
            continue;
        if (step == Step::ShowNewest) {
            keepForRecording(std::move(next));
        } else {
            offer(next);
            endFailedRecording(locker);
        }
    }
}

FrameDecoder::Waiting FrameDecoder::describeWaiting() const
{
    Waiting described;
    described.frames = int(waiting.size());
    described.oldestDecoded = !waiting.empty() && waiting.front().picture;
    described.newestDecoded = !waiting.empty() && waiting.back().picture;
    described.pictureWaits = std::any_of(waiting.begin(), waiting.end(), [](const Frame &f) { return f.picture != nullptr; });
    described.recording = recording != nullptr;
    described.recordingHasRoom = recording && recording->hasRoom();
    return described;
}

// Waits for work and takes the next frame to decode out of the queue, doing on the way
// what needs no decoding: pictures handed to the recording, frames dropped. A frame for
// the screen alone, with no recording to take it, comes with the size the screen needs
// (`screenSize`; otherwise it is empty). False once stopped.
bool FrameDecoder::takeNext(Frame &next, Step &step, QSize &screenSize)
{
    QMutexLocker locker(&mutex);
    decoding = false;
    for (;;) {
        tellLeftOut(locker);
        if (stopping)
            return false;
        step = nextStep(describeWaiting());
        switch (step) {
        case Step::Wait:
            frameDone.wakeAll();
            frameQueued.wait(&mutex);
            break;
        case Step::DropOldest:
            leaveOut(1);
            waiting.pop_front();
            break;
        case Step::OfferOldest:
            offer(waiting.front());
            waiting.pop_front();
            endFailedRecording(locker);
            break;
        case Step::ShowNewest:
            next = std::move(waiting.back());
            waiting.pop_back();
            decoding = true;
            screenSize = recording || !scaledDecoding ? QSize() : next.isHaveDegree ? circularSize : plainSize;
            return true;
        case Step::RecordOldest:
            next = std::move(waiting.front());
            waiting.pop_front();
            decoding = true;
            screenSize = QSize();
            return true;
        }
    }
}

// A picture that has been shown goes back in its place among the frames that wait, for a
// recording to take once the older ones have been decoded or left out.
// Under the lock.
void FrameDecoder::keepForRecording(Frame frame)
{
    // A picture decoded smaller was taken before a recording began, which starts with the
    // frames after it.
    if (!recording || stopping || frame.scaled)
        return;
    const auto place = std::upper_bound(waiting.begin(), waiting.end(), frame.sequence,
                                        [](int64_t sequence, const Frame &f) { return sequence < f.sequence; });
    waiting.insert(place, std::move(frame));
}

// Under the lock: one decoded picture for the recording, in its turn.
void FrameDecoder::offer(const Frame &frame)
{
    if (!recording)
        return;
    // A new session with the camera brings a clock of its own.
    if (frame.session != recordedSession) {
        if (recordedSession)
            recording->restartClock();
        recordedSession = frame.session;
    }
    const ViewNote note{frame.degree, frame.isHaveDegree, frame.mirrored};
    switch (recording->offer(frame.picture.get(), frame.session->timeBase, frame.arrivedUs, note)) {
    case Recording::Offer::Taken:
        break;
    case Recording::Offer::LeftOut:
        leftOutSinceTold = true;
        break;
    case Recording::Offer::Failed:
        // The file cannot take more (a full disk, a file size limit): it ends with what it
        // has, away from this lock.
        failedRecording = std::move(recording);
        break;
    }
}

// Under the lock: frames that the recording, if one runs, will not get.
void FrameDecoder::leaveOut(int frames)
{
    if (!recording)
        return;
    recording->leaveOut(frames);
    leftOutSinceTold = true;
}

// A recording that failed is finished, and the user told, without holding the lock, which
// the reading thread needs for every frame: finishing begins with a look at the file, and
// the file may be on a share that has gone.
void FrameDecoder::endFailedRecording(QMutexLocker &locker)
{
    if (!failedRecording)
        return;
    std::unique_ptr<Recording> failed = std::move(failedRecording);
    locker.unlock();
    RecordingFinisher::finish(std::move(failed));
    emit recordingFailed();
    locker.relock();
}

void FrameDecoder::tellLeftOut(QMutexLocker &locker)
{
    if (!leftOutSinceTold || toldLeftOut)
        return;
    toldLeftOut = true;
    locker.unlock();
    emit framesLeftOut();
    locker.relock();
}

// A Motion-JPEG frame is one picture: one packet in, at most one picture out. For the
// screen alone (`screenSize` not empty) it is decoded no larger than the screen needs.
bool FrameDecoder::decode(Frame &frame, const QSize &screenSize)
{
    if (!screenSize.isEmpty() && decodeScaled(frame, screenSize))
        return true;
    AVCodecContext *decoder = frame.session->codecCtx.get();
    int ret = avcodec_send_packet(decoder, frame.packet.get());
    if (ret < 0)
        qDebug() << "avcodec_send_packet error" << ret;
    frame.packet.reset();
    frame.picture.reset(av_frame_alloc());
    ret = frame.picture ? avcodec_receive_frame(decoder, frame.picture.get()) : AVERROR(ENOMEM);
    if (ret < 0) {
        // Nothing goes out: the window keeps the last picture, with its own angle.
        qDebug() << "avcodec_receive_frame" << ret;
        frame.picture.reset();
        return false;
    }
    return true;
}

// False when the frame is to be decoded whole instead: the screen needs all of it, or
// TurboJPEG refuses it, which the log is told once.
bool FrameDecoder::decodeScaled(Frame &frame, const QSize &screenSize)
{
    av::FramePtr picture(av_frame_alloc());
    if (!picture)
        return false;
    switch (scaledDecoder.decode(frame.packet->data, frame.packet->size, screenSize, picture.get())) {
    case ScaledJpegDecoder::Result::Decoded:
        frame.packet.reset();
        frame.picture = std::move(picture);
        frame.scaled = true;
        return true;
    case ScaledJpegDecoder::Result::Whole:
        return false;
    case ScaledJpegDecoder::Result::Refused:
        if (!std::exchange(toldRefused, true))
            qDebug() << "scaled decode: TurboJPEG refuses the camera's frames, which are decoded whole:"
                     << scaledDecoder.lastError();
        return false;
    }
    return false;
}

void FrameDecoder::show(const Frame &frame)
{
    QSize size;
    bool mirrorFlag, autoMirrorFlag;
    {
        QMutexLocker locker(&mutex);
        size = frame.isHaveDegree ? circularSize : plainSize;
        mirrorFlag = isMirror;
        autoMirrorFlag = autoMirror;
    }
    ImageConverter &converter = frame.isHaveDegree ? circularConverter : plainConverter;
    const QImage image = converter.convert(frame.picture.get(), size);
    if (!image.isNull())
        mailbox.post(image, frame.degree, frame.isHaveDegree, mirrorFlag, autoMirrorFlag);
}
