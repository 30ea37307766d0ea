#ifndef PROCESS_H
#define PROCESS_H

#include <QByteArray>
#include <QDir>
#include <QFile>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_ASAN 1
#endif
#endif
#ifdef VELMORA_ASAN
#include <sanitizer/allocator_interface.h>
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

// Heap memory in KiB that the program's own allocations hold right now: unlike resident
// memory, not what the allocator caches of freed blocks, nor what the address sanitizer keeps
// of them to catch use after free.
inline long heapInUseKiB()
{
#if defined(VELMORA_ASAN)
    return long(__sanitizer_get_current_allocated_bytes() / 1024);
#elif defined(__GLIBC__)
    const struct mallinfo2 heap = mallinfo2();
    return long((heap.uordblks + heap.hblkhd) / 1024);
#else
    return -1;
#endif
}

// Open file descriptors: files, sockets, pipes.
inline int openFiles()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return fds.exists() ? int(fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size()) : -1;
}

#endif // PROCESS_H
