#pragma once

#include <QtGlobal>

#include <ctime>

// Clocks in nanoseconds: monotonic wall time, and CPU time of this process and this thread.
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

inline qint64 processCpuNs()
{
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

inline qint64 threadCpuNs()
{
    return clockNs(CLOCK_THREAD_CPUTIME_ID);
}

// The process's CPU since this was made, without `excludedNs` (the feeder's thread).
struct CpuSince
{
    qint64 cpu = processCpuNs();
    qint64 wall = monotonicNs();

    double seconds(qint64 excludedNs = 0) const
    {
        return double(processCpuNs() - cpu - excludedNs) / 1e9;
    }
    // In percent of one core.
    double percent(qint64 excludedNs = 0) const
    {
        return 100 * seconds(excludedNs) * 1e9 / double(monotonicNs() - wall);
    }
};
