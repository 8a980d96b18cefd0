#include "ptyfeeder.h"

#include <cerrno>

#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int StopPollMs = 100;

} // namespace

PtyFeeder::PtyFeeder() = default;

PtyFeeder::~PtyFeeder()
{
    stop();
}

void PtyFeeder::reset()
{
    wait();
    m_stop = false;
    m_firstWriteNs = 0;
    m_written = 0;
    m_writeError = 0;
    m_cpuNs = 0;
    m_pacedTimes.clear();
}

void PtyFeeder::startFlood(QByteArray bytes, qsizetype chunk)
{
    reset();
    m_thread = std::thread(&PtyFeeder::flood, this, std::move(bytes), chunk);
}

void PtyFeeder::startPaced(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk)
{
    reset();
    m_pacedTimes.reserve(size_t(bytes.size() / chunk + 1));
    m_thread = std::thread(&PtyFeeder::paced, this, std::move(bytes), interval, chunk);
}

void PtyFeeder::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

void PtyFeeder::stop()
{
    m_stop = true;
    wait();
}

void PtyFeeder::flood(QByteArray bytes, qsizetype chunk)
{
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        if (!writeAll(bytes.constData() + at, qMin(chunk, bytes.size() - at)))
            break;
    }
    m_cpuNs = threadCpuNs();
}

void PtyFeeder::paced(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk)
{
    // Absolute deadlines: a late wake-up does not push every later chunk back.
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (qsizetype at = 0; at < bytes.size() && !m_stop; at += chunk) {
        next.tv_nsec += long(interval.count());
        while (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        m_pacedTimes.push_back(monotonicNs());
        if (!writeAll(bytes.constData() + at, qMin(chunk, bytes.size() - at)))
            break;
    }
    m_cpuNs = threadCpuNs();
}

bool PtyFeeder::writeAll(const char *data, qsizetype size)
{
    while (size > 0) {
        if (m_stop)
            return false;
        const qint64 began = monotonicNs();
        const ssize_t written = ::write(m_pty.masterFd(), data, size_t(size));
        if (written > 0) {
            qint64 none = 0;
            m_firstWriteNs.compare_exchange_strong(none, began);
            m_written += written;
            data += written;
            size -= written;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            m_writeError = errno;
            return false;
        }
        // The slave's input is full: wait until the reader made room, looking out for stop().
        pollfd room{m_pty.masterFd(), POLLOUT, 0};
        ::poll(&room, 1, StopPollMs);
    }
    return true;
}
