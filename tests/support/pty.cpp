#include "pty.h"

#include <QFile>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

Pty::Pty()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    termios raw{};
    const char *name = nullptr;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || !(name = ::ptsname(master))
        || ::tcgetattr(master, &raw) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(master);
        return;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    m_slavePath = QFile::decodeName(name);
    m_master = master;
}

Pty::~Pty()
{
    hangUp();
}

qsizetype Pty::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return -1;
    const ssize_t written = ::write(m_master, bytes.constData(), size_t(bytes.size()));
    if (written < 0)
        return errno == EAGAIN ? 0 : -1;
    return written;
}

void Pty::hangUp()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

termios Pty::slaveSettings() const
{
    termios settings{};
    ::tcgetattr(m_master, &settings);
    return settings;
}

bool Pty::setSlaveSettings(const termios &settings)
{
    return ::tcsetattr(m_master, TCSANOW, &settings) == 0;
}

termios oddSettings(termios settings)
{
    settings.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | BRKINT;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    settings.c_cflag = (settings.c_cflag & ~(CSIZE | CLOCAL)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 5;
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    return settings;
}

bool sameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
           && a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)
           && cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}
