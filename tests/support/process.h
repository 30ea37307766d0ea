#ifndef PROCESS_H
#define PROCESS_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QSet>

#include <algorithm>
#include <unistd.h>

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

// The sanitizer build, whose own code runs at a fraction of the speed of the program's.
#ifdef VELMORA_ASAN
constexpr bool SlowBuild = true;
#else
constexpr bool SlowBuild = false;
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

// The threads of this process that bear `name`, as Linux keeps it: its first 15 bytes.
// QThread names its threads after their objectName().
inline int threadsNamed(const QByteArray &name)
{
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readLine().trimmed() == name.left(15))
            ++count;
    }
    return count;
}

// The local ports of this process's IPv4 UDP sockets, in order.
inline QList<quint16> udpPorts()
{
    QSet<QByteArray> inodes;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        char target[64] = {};
        if (readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target - 1) <= 0)
            continue;
        const QByteArray link(target);
        if (link.startsWith("socket:["))
            inodes << link.mid(8).chopped(1);
    }
    QList<quint16> ports;
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return ports;
    table.readLine(); // the heading
    for (QByteArray line = table.readLine(); !line.isEmpty(); line = table.readLine()) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && inodes.contains(fields[9]))
            ports << quint16(fields[1].mid(fields[1].indexOf(':') + 1).toUInt(nullptr, 16));
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

#endif // PROCESS_H
