#include "record/recordingfinisher.h"

#include "media/avhelpers.h"
#include "record/mp4output.h"
#include "record/recording.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QRunnable>
#include <QSet>
#include <QTemporaryFile>
#include <QThreadPool>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <unistd.h>
#endif

namespace {

// Finishing, syncing and starting recordings happen here, never on the reader's or the
// window's thread. Three threads, so that starting and syncing a new recording need not
// wait for the rewrite of the last.
QThreadPool &pool()
{
    static QThreadPool threads;
    static const bool sized = [] {
        threads.setMaxThreadCount(3);
        return true;
    }();
    Q_UNUSED(sized);
    return threads;
}

QMutex syncMutex;
QSet<QString> syncsWaiting; // guarded by syncMutex

// Held while a recording's file is open for a sync, and while a finished recording takes
// its place: Windows moves no file over one that is open, so a sync that came between
// would leave the recording fragmented.
QMutex fileMutex;

// Puts what has been written to `path` on the disk. Only a file that is there: a recording
// that the user deleted meanwhile is not made anew.
bool syncFile(const QString &path)
{
    QMutexLocker locker(&fileMutex);
    QFile file(path);
#ifdef Q_OS_WIN
    // Windows flushes a file only through a handle that may write to it.
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return false;
    return _commit(file.handle()) == 0;
#else
    // POSIX syncs a file opened for reading as well.
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return fsync(file.handle()) == 0;
#endif
}

// Puts `from` in the place of `to` in one step: whoever looks finds one whole file or the
// other.
bool replaceFile(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()), reinterpret_cast<LPCWSTR>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

// The fragmented file at `path`, rewritten as an ordinary MP4 beside it and put in its
// place once the rewrite is on disk. `read` follows the rewrite through the file.
void makeOrdinary(const QString &path, std::atomic<int64_t> &read)
{
    const QFileInfo info(path);
    QString rewritten;
    {
        // A name of its own beside the recording. QTemporaryFile keeps its file open until
        // it is destroyed, even after close(), and Windows moves no file that is open
        // without delete sharing: the name is taken, and the file let go.
        QTemporaryFile reserved(info.dir().filePath(QLatin1Char('.') + info.fileName() + QStringLiteral(".XXXXXX")));
        if (!reserved.open()) {
            qDebug() << "cannot finish recording" << path;
            return;
        }
        reserved.setAutoRemove(false);
        rewritten = reserved.fileName();
    }
    // A temporary file is private to its owner; the recording keeps the access it had.
    bool done = RecordingFinisher::rewriteWithIndexFirst(path, rewritten, &read) && syncFile(rewritten)
        && QFile::setPermissions(rewritten, QFile::permissions(path));
    if (done) {
        QMutexLocker locker(&fileMutex);
        done = replaceFile(rewritten, path);
    }
    if (!done) {
        QFile::remove(rewritten);
        qDebug() << "cannot finish recording" << path;
    }
}

class FinishJob;
// The recordings handed over and not finished yet, for the progress of finishing them, and
// what waits for them to be done.
QMutex jobsMutex;
QList<const FinishJob *> jobs;                    // guarded by jobsMutex
QList<QPair<QString, std::function<void()>>> afterJobs; // guarded by jobsMutex

// The same file, however its name was written.
QString fileKey(const QString &path)
{
    return QFileInfo(path).absoluteFilePath();
}

class FinishJob : public QRunnable
{
public:
    explicit FinishJob(std::unique_ptr<Recording> recording)
        : path(fileKey(recording->fileName()))
        , recording(std::move(recording))
    {
        QMutexLocker locker(&jobsMutex);
        jobs << this;
    }
    ~FinishJob() override
    {
        // What waited for this file may go now, unless another finishing of it remains.
        QMutexLocker locker(&jobsMutex);
        jobs.removeOne(this);
        for (const FinishJob *job : qAsConst(jobs)) {
            if (job->path == path)
                return;
        }
        for (auto after = afterJobs.begin(); after != afterJobs.end();) {
            if (after->first == path) {
                pool().start(after->second);
                after = afterJobs.erase(after);
            } else {
                ++after;
            }
        }
    }
    void run() override
    {
        // A look at the file here, not in the caller's thread: it may be on a share that
        // has gone, and the caller may hold the live picture's lock.
        size = QFileInfo(path).size();
        const bool complete = recording->finish();
        const bool empty = recording->picturesWritten() == 0;
        recording.reset();
        if (empty) {
            qDebug() << "recording without pictures removed" << path;
            QFile::remove(path);
            return;
        }
        // A file that could not be written whole (a full disk) stays as it is: every
        // fragment it holds is readable, and a rewrite would need the room that is missing.
        if (complete)
            makeOrdinary(path, read);
    }

    const QString path;
    std::atomic<int64_t> size{0}; // of the file, as the finishing found it
    std::atomic<int64_t> read{0}; // of it, by the rewrite

private:
    std::unique_ptr<Recording> recording;
};

} // namespace

void RecordingFinisher::finish(std::unique_ptr<Recording> recording)
{
    if (recording)
        pool().start(new FinishJob(std::move(recording)));
}

void RecordingFinisher::whenDone(const QString &path, std::function<void()> job)
{
    const QString key = fileKey(path);
    QMutexLocker locker(&jobsMutex);
    for (const FinishJob *finishing : qAsConst(jobs)) {
        if (finishing->path == key) {
            afterJobs.append({key, std::move(job)});
            return;
        }
    }
    pool().start(std::move(job));
}

void RecordingFinisher::syncToDisk(const QString &path)
{
    {
        QMutexLocker locker(&syncMutex);
        if (syncsWaiting.contains(path))
            return;
        syncsWaiting.insert(path);
    }
    pool().start([path] {
        {
            QMutexLocker locker(&syncMutex);
            syncsWaiting.remove(path);
        }
        syncFile(path);
    });
}

bool RecordingFinisher::waitForAll(int msecs)
{
    return pool().waitForDone(msecs);
}

bool RecordingFinisher::isFinishing()
{
    QMutexLocker locker(&jobsMutex);
    return !jobs.isEmpty();
}

int RecordingFinisher::percentDone()
{
    QMutexLocker locker(&jobsMutex);
    int64_t size = 0, read = 0;
    for (const FinishJob *job : qAsConst(jobs)) {
        size += job->size;
        read += job->read;
    }
    return size > 0 ? int(qBound<int64_t>(0, read * 100 / size, 100)) : 0;
}

bool RecordingFinisher::rewriteWithIndexFirst(const QString &from, const QString &to, std::atomic<int64_t> *read)
{
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, from.toUtf8().constData(), nullptr, nullptr) < 0) {
        qDebug() << "cannot read recording" << from;
        return false;
    }
    av::InputContextPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0 || input->nb_streams != 1) {
        qDebug() << "cannot read recording" << from;
        return false;
    }
    AVStream *source = input->streams[0];

    const QByteArray name = to.toUtf8();
    AVStream *stream = nullptr;
    av::OutputContextPtr muxer = mp4::create(name, "mp4", &stream);
    if (!muxer)
        return false;
    AVFormatContext *output = muxer.get();
    if (avcodec_parameters_copy(stream->codecpar, source->codecpar) < 0) {
        qDebug() << "avcodec_parameters_copy error";
        return false;
    }
    stream->codecpar->codec_tag = 0;
    stream->time_base = source->time_base;
    // The index goes in front of the pictures: the muxer moves it there at the end.
    AVDictionary *options = nullptr;
    av_dict_set(&options, "movflags", "faststart", 0);
    if (!mp4::begin(output, name, options))
        return false;

    av::PacketPtr packet(av_packet_alloc());
    int ret = 0;
    for (;;) {
        ret = av_read_frame(input.get(), packet.get());
        if (ret == AVERROR_EOF)
            break;
        if (ret < 0) {
            qDebug() << "av_read_frame" << ret;
            return false;
        }
        if (read)
            *read = avio_tell(input->pb);
        av_packet_rescale_ts(packet.get(), source->time_base, stream->time_base);
        packet->stream_index = stream->index;
        packet->pos = -1;
        ret = av_interleaved_write_frame(output, packet.get());
        if (ret < 0) {
            qDebug() << "av_interleaved_write_frame :" << ret;
            return false;
        }
    }
    ret = av_write_trailer(output);
    if (ret < 0 || output->pb->error < 0) {
        qDebug() << "av_write_trailer error" << ret;
        return false;
    }
    return true;
}
