#include "portusers.h"

#include "devicenode.h"
#include "processes.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const quint64 PtyMaster = deviceNumber(5, 2); // /dev/ptmx

// The pseudo-terminal a master descriptor belongs to, from its "tty-index:" line in
// /proc/<pid>/fdinfo/<fd>; -1 when that cannot be read.
qint64 masterIndex(qint64 pid, const char *fd)
{
    char path[320]; // room for any file name below fd/
    std::snprintf(path, sizeof path, "/proc/%lld/fdinfo/%s", static_cast<long long>(pid), fd);
    const int info = ::open(path, O_RDONLY | O_CLOEXEC);
    if (info < 0)
        return -1;
    char text[512];
    const ssize_t got = ::read(info, text, sizeof text - 1);
    ::close(info);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    const char *line = std::strstr(text, "tty-index:");
    return line ? std::strtoll(line + std::strlen("tty-index:"), nullptr, 10) : -1;
}

// What a process has open of a device: nothing, the device, or, for a pseudo-terminal, both
// of its ends. A process holding the master and the slave is the far end of a virtual serial
// port (a bridge, a simulator keeping the slave open so that it never sees a hang-up), not a
// program using the port.
enum class Holding { Nothing, Port, FarEnd };

Holding holding(qint64 pid, const DeviceNode &port)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%lld/fd", static_cast<long long>(pid));
    const int dirFd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return Holding::Nothing; // gone, or not ours to look at
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return Holding::Nothing;
    }
    const bool pty = isPtySlave(port.device);
    const qint64 index = pty ? ptyIndex(port.device) : -1;
    bool open = false;
    bool master = false;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        // stat() on /proc/<pid>/fd/<n> follows the descriptor to what it has open, without
        // opening anything.
        struct stat st = {};
        if (::fstatat(dirFd, entry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
            continue;
        if (quint64(st.st_rdev) == port.device && (!pty || quint64(st.st_dev) == port.fileSystem))
            open = true;
        else if (index >= 0 && quint64(st.st_rdev) == PtyMaster)
            master = master || masterIndex(pid, entry->d_name) == index;
        if (open && (!pty || master))
            break;
    }
    ::closedir(dir);
    if (!open)
        return Holding::Nothing;
    return master ? Holding::FarEnd : Holding::Port;
}

qint64 pidOf(const char *name)
{
    char *end = nullptr;
    const long long pid = std::strtoll(name, &end, 10);
    return (end != name && *end == '\0') ? pid : 0;
}

} // namespace

std::optional<PortUser> PortUsers::findLockHolder(const DeviceNode &port)
{
    const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    // A few lines per lock; a system with more than this many locks is not looked through.
    static constexpr size_t MaxTable = 256 * 1024;
    std::string table(MaxTable, '\0');
    size_t size = 0;
    for (ssize_t got;
         size < MaxTable && (got = ::read(fd, table.data() + size, MaxTable - size)) > 0;)
        size += size_t(got);
    ::close(fd);
    table.resize(size);

    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF": the holder's PID, then the locked file
    // as the major and minor number (hexadecimal) of its file system and its inode.
    const qint64 self = currentProcessId();
    size_t line = 0;
    while (line < table.size()) {
        const size_t end = std::min(table.find('\n', line), table.size());
        const std::string text = table.substr(line, end - line);
        line = end + 1;
        long long pid = 0;
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        char kind[16] = {};
        if (std::sscanf(text.c_str(), "%*[^:]: %15s %*s %*s %lld %x:%x:%llu", kind, &pid, &major,
                        &minor, &inode)
                != 5
            || std::strcmp(kind, "FLOCK") != 0)
            continue;
        if (pid > 0 && pid != self && inode == port.inode
            && deviceNumber(major, minor) == port.fileSystem)
            return PortUser{pid, processName(pid)};
    }
    return std::nullopt;
}

std::optional<PortUser> PortUsers::find(const DeviceNode &port)
{
    const qint64 self = currentProcessId();
    const auto found = [&](qint64 pid) {
        m_lastUser.insert(port.device, pid);
        return PortUser{pid, processName(pid)};
    };
    if (const qint64 last = m_lastUser.value(port.device);
        last != 0 && holding(last, port) == Holding::Port)
        return found(last);
    m_lastUser.remove(port.device);

    DIR *proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    std::optional<PortUser> user;
    while (const dirent *entry = ::readdir(proc)) {
        const qint64 pid = pidOf(entry->d_name);
        if (pid > 0 && pid != self && holding(pid, port) == Holding::Port) {
            user = found(pid);
            break;
        }
    }
    ::closedir(proc);
    return user;
}
