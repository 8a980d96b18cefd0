#include "cpuclock.h"

#include <ctime>

namespace {

qint64 read(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

qint64 monotonicNs()
{
    return read(CLOCK_MONOTONIC);
}

qint64 processCpuNs()
{
    return read(CLOCK_PROCESS_CPUTIME_ID);
}

qint64 threadCpuNs()
{
    return read(CLOCK_THREAD_CPUTIME_ID);
}
