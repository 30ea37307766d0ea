#ifndef FFMPEGLOG_H
#define FFMPEGLOG_H

extern "C" {
#include <libavutil/log.h>
}

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <vector>

// Counts, while it lives, the lines that FFmpeg logs from any thread: errors, and lines
// with one of the texts to watch for. The lines still reach stderr.
class FfmpegLog
{
public:
    explicit FfmpegLog(std::initializer_list<const char *> watched = {})
    {
        watchedTexts.assign(watched.begin(), watched.end());
        errorLines = 0;
        watchedLines = 0;
        av_log_set_callback(&FfmpegLog::count);
    }
    ~FfmpegLog() { av_log_set_callback(av_log_default_callback); }
    FfmpegLog(const FfmpegLog &) = delete;
    FfmpegLog &operator=(const FfmpegLog &) = delete;

    // Error lines, but for the "overread" that the empty outer scan of every camera
    // packet causes.
    int errors() const { return errorLines; }
    int watched() const { return watchedLines; }

private:
    static void count(void *object, int level, const char *format, va_list arguments)
    {
        if (level <= AV_LOG_ERROR || !watchedTexts.empty()) {
            char line[1024];
            int prefix = 1;
            va_list copy;
            va_copy(copy, arguments);
            av_log_format_line(object, level, format, copy, line, sizeof line, &prefix);
            va_end(copy);
            if (level <= AV_LOG_ERROR && !std::strstr(line, "overread"))
                ++errorLines;
            for (const char *text : watchedTexts) {
                if (std::strstr(line, text))
                    ++watchedLines;
            }
        }
        av_log_default_callback(object, level, format, arguments);
    }

    static inline std::vector<const char *> watchedTexts;
    static inline std::atomic<int> errorLines{0};
    static inline std::atomic<int> watchedLines{0};
};

#endif // FFMPEGLOG_H
