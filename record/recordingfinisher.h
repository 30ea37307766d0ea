#ifndef RECORDINGFINISHER_H
#define RECORDINGFINISHER_H

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class Recording;

// Ends recordings away from the live view and the window. While it is being written, a
// recording is a fragmented MP4 that stays readable whatever happens to the program;
// finishing it writes its end, then rewrites it as an ordinary MP4 with its index up
// front (a duration in its header, seekable at once), which replaces the fragmented file
// only once it is complete and on disk. If that cannot be done (a full disk, say), the
// fragmented file stays, readable as it is. A recording that holds no picture (the camera
// sent none while it ran) leaves no file: no player could open it.
class RecordingFinisher
{
public:
    static void finish(std::unique_ptr<Recording> recording);
    // Runs `job` on the finishing threads once no recording at `path` is being finished
    // any more: at once, or right after that finishing has put its file in place. Waited
    // for by waitForAll().
    static void whenDone(const QString &path, std::function<void()> job);
    // Makes sure that what has been written to `path` so far is on the disk, away from the
    // caller's thread; does nothing while such a job for `path` is still waiting.
    static void syncToDisk(const QString &path);
    // Waits until every recording handed over has been finished; false if `msecs` ran out.
    static bool waitForAll(int msecs = -1);
    // Whether recordings handed over are still being finished, and how far that has come:
    // the share of their files rewritten so far, 0 to 100.
    static bool isFinishing();
    static int percentDone();

    // The recording at `from`, as an ordinary MP4 with its index before the pictures, at
    // `to`. False, with a debug line, when `from` cannot be read to its end or `to` cannot
    // be written. `read`, if given, follows how far into `from` the rewrite has come.
    static bool rewriteWithIndexFirst(const QString &from, const QString &to, std::atomic<int64_t> *read = nullptr);
};

#endif // RECORDINGFINISHER_H
