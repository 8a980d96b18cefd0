#include "ptyfeeder.h"

#include "proc.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

void PtyFeeder::start(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk)
{
    wait();
    m_stop = false;
    m_pacedTimes.clear();
    m_thread = std::thread([this, bytes = std::move(bytes), interval, chunk] {
        const bool paced = interval != interval.zero();
        const qsizetype step = paced ? chunk : bytes.size();
        // Absolute deadlines: a late wake-up does not push every later chunk back.
        auto next = std::chrono::steady_clock::now();
        for (qsizetype at = 0; at < bytes.size() && !m_stop; at += step) {
            if (paced) {
                std::this_thread::sleep_until(next += interval);
                m_pacedTimes.push_back(monotonicNs());
            }
            if (!writeAll(bytes.constData() + at, qMin(step, bytes.size() - at)))
                break;
        }
        m_cpuNs = clockNs(CLOCK_THREAD_CPUTIME_ID);
    });
}

bool PtyFeeder::writeAll(const char *data, qsizetype size)
{
    while (size > 0 && !m_stop) {
        const ssize_t written = ::write(m_master, data, size_t(size));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            // The slave's input is full: wait until the reader made room, looking out for
            // stop() every 100 ms.
            pollfd room{m_master, POLLOUT, 0};
            ::poll(&room, 1, 100);
        }
    }
    return size == 0;
}
