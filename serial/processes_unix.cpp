#include "processes.h"

#include "printabletext.h"

#include <QByteArray>

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

// The start of a file below /proc/<pid>; empty when it cannot be read.
QByteArray readProcFile(qint64 pid, const char *name)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + '/' + name;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[512];
    ssize_t got = 0;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    return got > 0 ? QByteArray(buffer, got) : QByteArray();
}

// /proc/<pid>/stat reads "pid (comm) S ...": the state follows the last ')', since the
// command name itself may hold parentheses.
bool isZombie(qint64 pid)
{
    const QByteArray stat = readProcFile(pid, "stat");
    const qsizetype end = stat.lastIndexOf(')');
    if (end < 0 || end + 2 >= stat.size())
        return false; // no /proc: nothing says it has ended
    const char state = stat.at(end + 2);
    return state == 'Z' || state == 'X';
}

} // namespace

bool isProcessRunning(qint64 pid)
{
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    return !isZombie(pid);
}

QString processName(qint64 pid)
{
    return printableText(readProcFile(pid, "comm").trimmed());
}

qint64 currentProcessId()
{
    return ::getpid();
}
