#include "processes.h"

#include "printabletext.h"

#include <QByteArray>
#include <QList>

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

// The kernel's flag for its own threads (PF_KTHREAD in the kernel's sched.h).
constexpr quint64 KernelThreadFlag = 0x00200000;

// The fields of /proc/<pid>/stat after "pid (comm)": the state, the parent, ... The name is
// skipped up to the last ')', since the command name itself may hold parentheses. Empty when
// there is no such process or no /proc.
QList<QByteArray> statFields(qint64 pid)
{
    const QByteArray stat = readProcFile(pid, "stat");
    const qsizetype end = stat.lastIndexOf(')');
    if (end < 0)
        return {};
    return stat.mid(end + 1).simplified().split(' ');
}

bool isZombie(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    if (fields.isEmpty() || fields.first().isEmpty())
        return false; // no /proc: nothing says it has ended
    const char state = fields.first().at(0);
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

bool isKernelThread(qint64 pid)
{
    // The flags are the seventh field after the name: state, ppid, pgrp, session, tty_nr,
    // tpgid, flags.
    const QList<QByteArray> fields = statFields(pid);
    bool ok = false;
    const quint64 flags = fields.size() > 6 ? fields.at(6).toULongLong(&ok) : 0;
    return ok && (flags & KernelThreadFlag);
}

QString processName(qint64 pid)
{
    return printableText(readProcFile(pid, "comm").trimmed());
}

qint64 currentProcessId()
{
    return ::getpid();
}
