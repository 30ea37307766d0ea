// Recording the live picture: each new decoded camera picture is scaled to the recording's
// size, converted to YUV 4:2:0, encoded as H.264 by libx264 and written to an MP4 file.

#include "record/recording.h"

#include "record/mp4output.h"
#include "record/recordingfinisher.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

namespace {

// The timeline's clock: RTP's video clock, fine enough to keep the camera's own spacing
// of the pictures, which a time base of one frame interval would round away.
const AVRational RecordingClock{1, 90000};
// What the encoder is told when nobody knows the camera's frame rate.
const AVRational DefaultFrameRate{20, 1};
// A fragment is written out once it holds this much: what a crash can cost.
const int64_t FragmentUs = 1000000;

// The H.264 encoder for pictures of `width` x `height` from `source`, opened; null after the
// line that says why. `globalHeader`: the container wants the stream's headers apart.
av::CodecContextPtr openEncoder(int width, int height, const Recording::Source &source, bool globalHeader)
{
    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!encoder) {
        qDebug() << "avcodec_find_encoder error";
        return nullptr;
    }
    av::CodecContextPtr encoding(avcodec_alloc_context3(encoder));
    if (!encoding) {
        qDebug() << "avcodec_alloc_context3 error";
        return nullptr;
    }
    encoding->width = width;
    encoding->height = height;
    encoding->pix_fmt = AV_PIX_FMT_YUV420P;
    encoding->sample_aspect_ratio = source.sampleAspectRatio;
    encoding->framerate = source.frameRate.num > 0 ? source.frameRate : DefaultFrameRate;
    encoding->time_base = RecordingClock;
    if (globalHeader)
        encoding->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // libx264's own options; another H.264 encoder records with its defaults.
    av_opt_set(encoding->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoding->priv_data, "tune", "zerolatency", 0);
    av_opt_set(encoding->priv_data, "profile", "baseline", 0);
    av_opt_set(encoding->priv_data, "x264-params", "crf=20", 0);
    // How the live view showed each picture goes with it into the file (ViewNote).
    av_opt_set_int(encoding->priv_data, "udu_sei", 1, 0);
    // A key picture every second, at which a replay that seeks starts decoding: it then
    // decodes at most a second of pictures to show any one of them.
    encoding->gop_size = std::max(1, int(std::lround(av_q2d(encoding->framerate))));

    const int ret = avcodec_open2(encoding.get(), encoder, nullptr);
    if (ret < 0) {
        qDebug() << "avcodec_open2 error" << ret;
        return nullptr;
    }
    return encoding;
}

} // namespace

std::unique_ptr<Recording> Recording::start(const QString &fileName, int width, int height, const Source &source)
{
    // FFmpeg takes file names as UTF-8 on every platform (on Windows it widens them
    // itself); a name in the local 8-bit code page would not open for a user whose
    // desktop path is not plain ASCII.
    const QByteArray name = fileName.toUtf8();
    qDebug().noquote() << fileName;

    std::unique_ptr<Recording> recording(new Recording);
    recording->path = fileName;
    AVStream *stream = nullptr;
    recording->outFormatCtx = mp4::create(name, nullptr, &stream);
    if (!recording->outFormatCtx)
        return nullptr;
    AVFormatContext *output = recording->outFormatCtx.get();
    recording->encoderCtx = openEncoder(width, height, source, output->oformat->flags & AVFMT_GLOBALHEADER);
    if (!recording->encoderCtx)
        return nullptr;
    const int ret = avcodec_parameters_from_context(stream->codecpar, recording->encoderCtx.get());
    if (ret < 0) {
        qDebug() << "avcodec_parameters_from_context error" << ret;
        return nullptr;
    }
    stream->time_base = recording->encoderCtx->time_base;
    recording->outStream = stream;

    // An index without pictures up front, then a fragment with its own small index for
    // every second of pictures, each flushed out of FFmpeg's buffer as it is written.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "movflags", "empty_moov+default_base_moof", 0);
    av_dict_set_int(&options, "frag_duration", FragmentUs, 0);
    output->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    if (!mp4::begin(output, name, options) || !recording->allocatePicture(width, height))
        return nullptr;

    Recording *self = recording.get();
    recording->encoderThread.reset(QThread::create([self] { self->encodeQueued(); }));
    recording->encoderThread->setObjectName(QStringLiteral("recording encoder"));
    recording->encoderThread->start();
    return recording;
}

// The picture the encoder takes, and the packet it gives.
bool Recording::allocatePicture(int width, int height)
{
    frameYUV.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!frameYUV || !packet) {
        qDebug() << "av_frame_alloc error";
        return false;
    }
    frameYUV->format = AV_PIX_FMT_YUV420P;
    frameYUV->width = width;
    frameYUV->height = height;
    const int ret = av_frame_get_buffer(frameYUV.get(), 0);
    if (ret < 0) {
        qDebug() << "av_frame_get_buffer error" << ret;
        return false;
    }
    toYuv = std::make_unique<PictureConverter>(AV_PIX_FMT_YUV420P, width, height);
    return true;
}

Recording::~Recording()
{
    // finish() has stopped the encoder's thread; a recording dropped without it must not
    // leave the thread running on a recording that is gone.
    stopEncoding();
}

// Lets the encoder's thread encode what waits, and end.
void Recording::stopEncoding()
{
    if (!encoderThread)
        return;
    {
        QMutexLocker locker(&queueMutex);
        closing = true;
        pictureQueued.wakeAll();
    }
    encoderThread->wait();
    encoderThread.reset();
}

void Recording::restartClock()
{
    segmentOrigin = AV_NOPTS_VALUE;
}

// Where a picture lies on the file's timeline, or AV_NOPTS_VALUE when it has no place
// there: without a timestamp, or not after the last picture.
int64_t Recording::placeOnTimeline(const AVFrame *picture, AVRational timeBase, int64_t arrivedUs)
{
    const int64_t pts = picture->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE)
        return AV_NOPTS_VALUE;
    const bool segmentBegins = segmentOrigin == AV_NOPTS_VALUE;
    if (segmentBegins) {
        // The first picture of the file, or the first after the camera came back: the
        // time that passed since the last picture goes into the file as it passed.
        segmentOrigin = pts;
        segmentStart = lastPosition == AV_NOPTS_VALUE
            ? 0
            : lastPosition + av_rescale_q(arrivedUs - lastPictureUs, AV_TIME_BASE_Q, RecordingClock);
    }
    const int64_t position = segmentStart + av_rescale_q(pts - segmentOrigin, timeBase, RecordingClock);
    if (lastPosition != AV_NOPTS_VALUE && position <= lastPosition)
        return AV_NOPTS_VALUE;
    // The spacing of the camera's pictures, which the last picture's duration repeats; the
    // gap before a segment is not one.
    if (lastPosition != AV_NOPTS_VALUE && !segmentBegins)
        frameDuration = position - lastPosition;
    lastPosition = position;
    lastPictureUs = arrivedUs;
    return position;
}

Recording::Offer Recording::offer(const AVFrame *picture, AVRational timeBase, int64_t arrivedUs, const ViewNote &note)
{
    if (writeFailed)
        return Offer::Failed;
    if (!hasRoom()) {
        ++leftOut;
        return Offer::LeftOut;
    }
    const int64_t position = placeOnTimeline(picture, timeBase, arrivedUs);
    if (position == AV_NOPTS_VALUE) {
        qDebug() << "recordFrame: picture without a usable timestamp";
        return Offer::Taken;
    }
    // A reference, not a copy: the decoder gives every picture a buffer of its own.
    av::FramePtr reference(av_frame_alloc());
    if (!reference || av_frame_ref(reference.get(), picture) < 0) {
        qDebug() << "av_frame_ref error";
        ++leftOut;
        return Offer::LeftOut;
    }
    logLeftOut();
    QMutexLocker locker(&queueMutex);
    queue.push_back({std::move(reference), position, frameDuration, note});
    ++taken;
    pictureQueued.wakeOne();
    return Offer::Taken;
}

// The frames left out since the last line that said so, by whichever thread left them out.
void Recording::logLeftOut()
{
    const int frames = leftOut + encoderLeftOut.exchange(0);
    leftOut = 0;
    if (frames > 0)
        qDebug() << "recordFrame: frames left out" << frames;
}

bool Recording::hasRoom() const
{
    QMutexLocker locker(&queueMutex);
    return int(queue.size()) < QueueLength;
}

void Recording::leaveOut(int frames)
{
    leftOut += frames;
}

// The encoder's thread: each picture in turn, until finish() or the destructor closes the
// queue and nothing waits any more. After a failed write the pictures are only dropped.
// Whatever does not reach the file is counted as left out.
void Recording::encodeQueued()
{
    for (;;) {
        Queued next;
        {
            QMutexLocker locker(&queueMutex);
            while (queue.empty() && !closing)
                pictureQueued.wait(&queueMutex);
            if (queue.empty())
                return;
            next = std::move(queue.front());
            queue.pop_front();
        }
        const Encoded result = writeFailed ? Encoded::LeftOut : encode(next);
        if (result == Encoded::WriteFailed)
            writeFailed = true;
        if (result != Encoded::Done)
            ++encoderLeftOut;
    }
}

// Scales, converts and encodes one picture and writes what the encoder gives back.
Recording::Encoded Recording::encode(const Queued &next)
{
    // The encoder may still hold a reference to the previous picture's buffer.
    int ret = av_frame_make_writable(frameYUV.get());
    if (ret < 0) {
        qDebug() << "av_frame_make_writable error" << ret;
        return Encoded::LeftOut;
    }
    av_frame_copy_props(frameYUV.get(), next.picture.get());
    frameYUV->pts = next.position;
    if (!next.note.attachTo(frameYUV.get()))
        qDebug() << "recordFrame: view not noted"; // the picture replays in the plain view
    // The converted picture is limited-range BT.601, whatever the camera sent; and the
    // camera's JPEG frames are all intra pictures, which must not force every H.264
    // picture to be a key frame.
    frameYUV->color_range = AVCOL_RANGE_MPEG;
    frameYUV->colorspace = AVCOL_SPC_SMPTE170M;
    frameYUV->pict_type = AV_PICTURE_TYPE_NONE;
    if (!toYuv->convert(next.picture.get(), frameYUV->data, frameYUV->linesize)) {
        qDebug() << "recordFrame: picture not converted";
        return Encoded::LeftOut;
    }

    ret = avcodec_send_frame(encoderCtx.get(), frameYUV.get());
    if (ret < 0) {
        qDebug() << "avcodec_send_frame:" << ret;
        return Encoded::LeftOut;
    }
    packetDuration = next.duration;
    return writeEncodedPackets();
}

// Writes every packet the encoder has ready. A packet the encoder fails to give is a
// picture left out; a file that refuses a packet ends the recording.
Recording::Encoded Recording::writeEncodedPackets()
{
    for (;;) {
        int ret = avcodec_receive_packet(encoderCtx.get(), packet.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return Encoded::Done;
        if (ret < 0) {
            qDebug() << "avcodec_receive_packet:" << ret;
            return Encoded::LeftOut;
        }
        packet->stream_index = outStream->index;
        // Without a duration the file's last picture would get none, and players, this
        // program's replay among them, would drop it.
        if (packet->duration <= 0)
            packet->duration = packetDuration;
        av_packet_rescale_ts(packet.get(), encoderCtx->time_base, outStream->time_base);
        // Takes the packet's reference, and leaves the packet blank for the next one.
        ret = av_interleaved_write_frame(outFormatCtx.get(), packet.get());
        // The muxer writes through a buffer: a full disk shows in the I/O context's
        // error once the buffer goes out, not always in the muxer's result.
        if (ret == 0 && outFormatCtx->pb && outFormatCtx->pb->error < 0)
            ret = outFormatCtx->pb->error;
        if (ret != 0) {
            qDebug() << "av_interleaved_write_frame :" << ret;
            return Encoded::WriteFailed;
        }
        ++written;
        // A fragment has gone out: on to the disk with it, away from the live view.
        if (outFormatCtx->pb && avio_tell(outFormatCtx->pb) != bytesWritten) {
            bytesWritten = avio_tell(outFormatCtx->pb);
            RecordingFinisher::syncToDisk(path);
        }
    }
}

bool Recording::finish()
{
    stopEncoding();
    // With "zerolatency" the encoder holds nothing back; draining costs nothing and
    // keeps the last pictures should it ever do so.
    bool complete = !writeFailed
        && (avcodec_send_frame(encoderCtx.get(), nullptr) < 0 || writeEncodedPackets() != Encoded::WriteFailed);
    logLeftOut();
    int ret = av_write_trailer(outFormatCtx.get());
    if (ret == 0 && outFormatCtx->pb && outFormatCtx->pb->error < 0)
        ret = outFormatCtx->pb->error;
    if (ret < 0) {
        qDebug() << "av_write_trailer error" << ret;
        complete = false;
    }
    return complete;
}
