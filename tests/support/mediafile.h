#ifndef MEDIAFILE_H
#define MEDIAFILE_H

#include "media/avhelpers.h"
#include "media/picturesize.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtEndian>
#include <QVector>

#include "framepainter.h"

#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
}

// What a test wants to know of a recording, read back with libavformat and libavcodec.
struct MediaFile
{
    bool opened = false;
    int streams = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int profile = -1;
    int width = 0;
    int height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int packets = 0;
    int keyPackets = 0;
    int discardedPackets = 0; // outside the edit list: players do not show them
    int decoded = 0;          // pictures the decoder gave back
    // Packets in decoding order and pictures in display order each carry a later time than
    // the one before: a timeline that never stands still nor goes back.
    bool timestampsIncrease = true;
    double startSeconds = -1;
    double durationSeconds = -1;
    QImage first; // the first and last pictures, decoded, as RGB888
    QImage last;
    QVector<int> indices; // the simulated camera's frame number of every picture, in order
    QVector<double> seconds; // and its time in the file
};

// `scaler` is made, or made anew, for the frame; the caller frees it.
inline QImage toImage(const AVFrame *frame, SwsContext *&scaler)
{
    QImage image(frame->width, frame->height, QImage::Format_RGB888);
    scaler = sws_getCachedContext(scaler, frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                  frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    uint8_t *planes[4] = {image.bits()};
    int strides[4] = {int(image.bytesPerLine())};
    sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    return image;
}

inline MediaFile readMediaFile(const QString &path)
{
    MediaFile file;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return file;
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return file;
    file.opened = true;
    file.streams = int(input->nb_streams);
    if (input->nb_streams < 1)
        return file;
    const AVStream *stream = input->streams[0];
    file.codec = stream->codecpar->codec_id;
    file.profile = stream->codecpar->profile;
    file.width = stream->codecpar->width;
    file.height = stream->codecpar->height;
    file.format = AVPixelFormat(stream->codecpar->format);
    if (input->start_time != AV_NOPTS_VALUE)
        file.startSeconds = input->start_time / double(AV_TIME_BASE);
    if (input->duration != AV_NOPTS_VALUE)
        file.durationSeconds = input->duration / double(AV_TIME_BASE);

    const AVCodec *codec = avcodec_find_decoder(file.codec);
    av::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return file;
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    av::SwsContextPtr scaler;
    int64_t lastDts = AV_NOPTS_VALUE, lastPts = AV_NOPTS_VALUE;
    auto later = [&file](int64_t time, int64_t *previous) {
        if (time == AV_NOPTS_VALUE || (*previous != AV_NOPTS_VALUE && time <= *previous))
            file.timestampsIncrease = false;
        *previous = time;
    };
    auto take = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            ++file.decoded;
            later(frame->best_effort_timestamp, &lastPts);
            SwsContext *context = scaler.release();
            file.last = toImage(frame.get(), context);
            scaler.reset(context);
            if (file.first.isNull())
                file.first = file.last;
            file.indices << camsim::readFrameIndex(file.last.constBits(), file.last.width(), file.last.height(),
                                                   int(file.last.bytesPerLine()));
            file.seconds << frame->best_effort_timestamp * av_q2d(stream->time_base);
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == 0) {
            ++file.packets;
            later(packet->dts, &lastDts);
            if (packet->flags & AV_PKT_FLAG_KEY)
                ++file.keyPackets;
            if (packet->flags & AV_PKT_FLAG_DISCARD)
                ++file.discardedPackets;
            avcodec_send_packet(decoder.get(), packet.get());
            take();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    take();
    return file;
}

// What is wrong with the files a user saved in `folder`, empty for nothing: every *.mp4 a
// recording that decodes, its timestamps increasing, every *.jpg the camera's whole
// picture, nothing left of a recording being finished. A recording without a picture is
// wrong too: nothing can replay it, FFmpeg cannot even tell its pixel format.
inline QString damagedFiles(const QString &folder)
{
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        if (file.fileName().startsWith(QLatin1Char('.')))
            return QStringLiteral("%1 is left of a recording being finished").arg(file.fileName());
        if (file.suffix() == QLatin1String("jpg") && QImage(file.filePath()).size() != CameraPictureSize)
            return QStringLiteral("the snapshot %1 is not the camera's whole picture").arg(file.fileName());
        if (file.suffix() != QLatin1String("mp4"))
            continue;
        const MediaFile recording = readMediaFile(file.filePath());
        if (!recording.opened || recording.decoded == 0 || recording.decoded < recording.packets - recording.discardedPackets
            || !recording.timestampsIncrease)
            return QStringLiteral("the recording %1 is broken: %2 packets, %3 pictures decoded, timestamps %4")
                .arg(file.fileName())
                .arg(recording.packets)
                .arg(recording.decoded)
                .arg(recording.timestampsIncrease ? QStringLiteral("increase") : QStringLiteral("do not increase"));
    }
    return QString();
}

// How an MP4 file is laid out: its top-level boxes in order, as far as the file holds them
// whole, and the pictures in the fragments that it holds whole.
struct Mp4Layout
{
    QStringList boxes;
    int fragmentPictures = 0;
    bool truncated = false; // a box goes on past the end of the file

    // An ordinary MP4, as a finished recording is: its index before the pictures, no
    // fragments.
    bool indexFirst() const
    {
        return boxes.contains(QStringLiteral("moov")) && !boxes.contains(QStringLiteral("moof"))
            && boxes.indexOf(QStringLiteral("moov")) < boxes.indexOf(QStringLiteral("mdat"));
    }
};

inline Mp4Layout readLayout(const QString &path)
{
    Mp4Layout layout;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return layout;
    const QByteArray data = file.readAll();
    auto be32 = [&data](qint64 at) { return qFromBigEndian<quint32>(data.constData() + at); };
    // The number of pictures a fragment's index describes: moof > traf > trun.sample_count.
    auto picturesIn = [&](qint64 begin, qint64 end, auto &&self) -> int {
        int pictures = 0;
        for (qint64 at = begin; at + 8 <= end && be32(at) >= 8;) {
            const QByteArray type = data.mid(int(at) + 4, 4);
            if (type == "traf")
                pictures += self(at + 8, at + be32(at), self);
            else if (type == "trun" && at + 16 <= end)
                pictures += int(be32(at + 12));
            at += be32(at);
        }
        return pictures;
    };
    int waiting = 0; // pictures of a fragment whose data has not come yet
    for (qint64 at = 0; at + 8 <= data.size();) {
        qint64 size = be32(at);
        if (size == 1 && at + 16 <= data.size())
            size = qint64(qFromBigEndian<quint64>(data.constData() + at + 8));
        else if (size == 0)
            size = data.size() - at;
        if (size < 8 || at + size > data.size()) {
            layout.truncated = true;
            break;
        }
        const QString type = QString::fromLatin1(data.mid(int(at) + 4, 4));
        layout.boxes << type;
        if (type == QLatin1String("moof"))
            waiting = picturesIn(at + 8, at + size, picturesIn);
        else if (type == QLatin1String("mdat"))
            layout.fragmentPictures += std::exchange(waiting, 0);
        at += size;
    }
    return layout;
}

// What an FFmpeg command-line tool said about a file.
struct ToolRun
{
    int exitCode = -1; // -1 when it crashed or did not end in time
    QString output;
    QString errors;
};

inline ToolRun runTool(const QString &program, const QStringList &arguments, int timeoutMs = 60000)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("SDL_VIDEODRIVER"), QStringLiteral("offscreen")); // ffplay shows nothing
    tool.setProcessEnvironment(environment);
    tool.start(program, arguments);
    ToolRun run;
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return run;
    }
    if (tool.exitStatus() == QProcess::NormalExit)
        run.exitCode = tool.exitCode();
    run.output = QString::fromUtf8(tool.readAllStandardOutput());
    run.errors = QString::fromUtf8(tool.readAllStandardError());
    return run;
}

#endif // MEDIAFILE_H
