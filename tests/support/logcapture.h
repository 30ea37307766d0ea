#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Collects the debug log of every thread while it lives; messages still reach stderr. One
// made while another lives collects the same lines as it does, for its own shorter time.
class LogCapture
{
public:
    LogCapture()
        : outer(instance())
    {
        instance() = this;
        if (!outer)
            previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        instance() = outer;
        if (!outer)
            qInstallMessageHandler(previous);
    }

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return collected;
    }
    int count(const QString &line) const { return lines().count(line); }
    bool contains(const QString &prefix) const
    {
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                return true;
        }
        return false;
    }
    // The numbers at the end of the lines that start with `prefix`, added up.
    int sum(const QString &prefix) const
    {
        int total = 0;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                total += line.mid(prefix.size()).toInt();
        }
        return total;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        collected.clear();
    }

private:
    static LogCapture *&instance()
    {
        static LogCapture *current = nullptr;
        return current;
    }
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        LogCapture *outermost = nullptr;
        for (LogCapture *capture = instance(); capture; capture = capture->outer) {
            QMutexLocker locker(&capture->mutex);
            capture->collected << message;
            outermost = capture;
        }
        if (outermost && outermost->previous)
            outermost->previous(type, context, message);
    }

    LogCapture *const outer;
    mutable QMutex mutex;
    QStringList collected;
    QtMessageHandler previous = nullptr;
};

#endif // LOGCAPTURE_H
