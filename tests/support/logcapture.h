#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Collects the debug log of every thread while it lives; messages still reach stderr.
class LogCapture
{
public:
    LogCapture()
    {
        instance() = this;
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        instance() = nullptr;
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
        if (LogCapture *self = instance()) {
            {
                QMutexLocker locker(&self->mutex);
                self->collected << message;
            }
            if (self->previous)
                self->previous(type, context, message);
        }
    }

    mutable QMutex mutex;
    QStringList collected;
    QtMessageHandler previous = nullptr;
};

#endif // LOGCAPTURE_H
