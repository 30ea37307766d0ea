#ifndef PROCESS_H
#define PROCESS_H

#include <QByteArray>
#include <QDir>
#include <QFile>

#ifdef __GLIBC__
#include <malloc.h>
#endif

// What this process holds, as Linux's /proc tells it: -1 where it does not.

// Resident memory in KiB that the process holds: what the allocator keeps of freed memory
// for later (more of it where more threads ran at once, on a busy machine) is given back first.
inline long residentKiB()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Open file descriptors: files, sockets, pipes.
inline int openFiles()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return fds.exists() ? int(fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size()) : -1;
}

#endif // PROCESS_H
