#include "ptyfeeder.h"

#include "clocks.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int StopPollMs = 100;

} // namespace

PtyFeeder::PtyFeeder()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    const char *name = nullptr;
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0
        || !(name = ::ptsname(master)) || ::tcgetattr(master, &raw) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (master >= 0)
            ::close(master);
        return;
    }
    // Raw, like an idle serial port: what is written arrives unchanged.
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    m_slavePath = QFile::decodeName(name);
    m_master = master;
}

PtyFeeder::~PtyFeeder()
{
    stop();
    if (m_master >= 0)
        ::close(m_master);
}

void PtyFeeder::startFlood(QByteArray bytes, qsizetype chunk)
{
    startPaced(std::move(bytes), std::chrono::nanoseconds::zero(), chunk);
}

void PtyFeeder::startPaced(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk)
{
    wait();
    m_stop = false;
    m_firstWriteNs = 0;
    m_cpuNs = 0;
    m_pacedTimes.clear();
    if (interval > interval.zero())
        m_pacedTimes.reserve(size_t(bytes.size() / chunk + 1));
    m_thread = std::thread(&PtyFeeder::write, this, std::move(bytes), interval, chunk);
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

void PtyFeeder::write(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk)
{
    const bool paced = interval > interval.zero();
    // Absolute deadlines: a late wake-up does not push every later chunk back.
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (qsizetype at = 0; at < bytes.size() && !m_stop; at += chunk) {
        if (paced) {
            next.tv_nsec += long(interval.count());
            next.tv_sec += next.tv_nsec / 1'000'000'000;
            next.tv_nsec %= 1'000'000'000;
            while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
            }
            m_pacedTimes.push_back(monotonicNs());
        }
        if (!writeAll(bytes.constData() + at, qMin(chunk, bytes.size() - at)))
            break;
    }
    m_cpuNs = threadCpuNs();
}

bool PtyFeeder::writeAll(const char *data, qsizetype size)
{
    while (size > 0 && !m_stop) {
        const qint64 began = monotonicNs();
        const ssize_t written = ::write(m_master, data, size_t(size));
        if (written > 0) {
            qint64 none = 0;
            m_firstWriteNs.compare_exchange_strong(none, began);
            data += written;
            size -= written;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // The slave's input is full: wait until the reader made room, looking out for stop().
        pollfd room{m_master, POLLOUT, 0};
        ::poll(&room, 1, StopPollMs);
    }
    return size == 0;
}
