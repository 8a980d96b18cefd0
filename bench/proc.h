#pragma once

#include <QFile>
#include <QString>

#include <ctime>

// What the kernel tells of this process and machine: clocks in nanoseconds, memory, /proc.

inline qint64 clockNs(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline qint64 monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

// The process's CPU since this was made, without `excludedNs` (the feeder's thread): in seconds,
// or in percent of one core.
struct CpuSince
{
    qint64 cpuNs = clockNs(CLOCK_PROCESS_CPUTIME_ID), wallNs = monotonicNs();

    double seconds(qint64 excludedNs = 0) const
    {
        return double(clockNs(CLOCK_PROCESS_CPUTIME_ID) - cpuNs - excludedNs) / 1e9;
    }
    double percent(qint64 excludedNs = 0) const
    {
        return seconds(excludedNs) * 1e11 / double(monotonicNs() - wallNs);
    }
};

// The first line of the file at `path` that starts with `prefix`, without it.
inline QString procLine(const char *path, const QByteArray &prefix)
{
    QFile file(QString::fromLatin1(path));
    // Files in /proc have no size: read to the end, not line by line.
    const QList<QByteArray> lines
        = file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return QString::fromLatin1(line.mid(prefix.size()).trimmed());
    }
    return QStringLiteral("unknown");
}

// Resident memory now ("VmRSS") or at its peak ("VmHWM"), in bytes.
inline qint64 memoryBytes(const char *field)
{
    return procLine("/proc/self/status", QByteArray(field) + ':').section(u' ', 0, 0).toLongLong()
           * 1024;
}

// Makes the peak resident memory start again from what is resident now.
inline bool resetPeakMemory()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}
