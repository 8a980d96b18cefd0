#include "portclaim.h"

#include <cerrno>
#include <cstring>

#include <sys/file.h>
#include <sys/ioctl.h>

namespace {

DeviceResult osFailure(int error)
{
    return DeviceResult::failure(error, QString::fromLocal8Bit(std::strerror(error)));
}

// Whether a program holds the terminal with TIOCEXCL.
bool isExclusive(int fd)
{
    int exclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive;
}

// Takes the device with flock and TIOCEXCL; a failure takes nothing.
DeviceResult lock(int fd)
{
    // Privileged processes may open a device that another program holds with TIOCEXCL.
    if (isExclusive(fd))
        return osFailure(EBUSY);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return osFailure(errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        PortClaim::release(fd);
        return osFailure(error);
    }
    return DeviceResult::success();
}

} // namespace

QStringList PortClaim::defaultLockDirs()
{
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
}

PortClaim::PortClaim(QStringList lockDirs)
    : m_lockFiles(std::move(lockDirs))
{}

// A device another program held exclusively at the last try, though no lock and no user could
// be seen, is most likely still held: opening it then fails at once and changes nothing, so it
// is opened first and looked at only once that succeeds. The look (a walk through every
// process's descriptors) would otherwise run at every try.
DeviceResult PortClaim::mayOpen(const QString &path, const DeviceNode &node)
{
    if (m_heldExclusively.contains(node.device))
        return DeviceResult::success();
    return checkInUse(path, node);
}

void PortClaim::openFailed(const DeviceNode &node, int error)
{
    noteExclusiveHold(node.device, error == EBUSY);
}

DeviceResult PortClaim::take(const QString &path, const DeviceNode &node, int fd)
{
    // Still held (we are privileged, so the open passed the hold): lock() says so.
    const bool heldBefore = m_heldExclusively.contains(node.device);
    const DeviceResult inUse
        = heldBefore && !isExclusive(fd) ? checkInUse(path, node) : DeviceResult::success();
    const DeviceResult claimed = inUse.ok() ? lock(fd) : inUse;
    noteExclusiveHold(node.device, inUse.ok() && claimed.error == EBUSY);
    return claimed;
}

void PortClaim::release(int fd)
{
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
}

void PortClaim::noteExclusiveHold(quint64 device, bool held)
{
    if (held)
        m_heldExclusively.insert(device);
    else
        m_heldExclusively.remove(device);
}

// Another program's use that can be seen before opening: a live lock file, or a process with
// the device open.
DeviceResult PortClaim::checkInUse(const QString &path, const DeviceNode &node)
{
    if (const std::optional<DeviceLock> lock = m_lockFiles.find(path, node.device)) {
        return DeviceResult::failure(
            EBUSY, lock->pid > 0
                       ? QStringLiteral("locked by process %1 (lock file %2)")
                             .arg(lock->pid)
                             .arg(lock->file)
                       : QStringLiteral("locked (lock file %1, owned by %2, which Lumora may "
                                        "not read)")
                             .arg(lock->file, lock->owner));
    }
    if (const std::optional<PortUser> holder = PortUsers::findLockHolder(node)) {
        return DeviceResult::failure(
            EBUSY, QStringLiteral("locked by process %1 (%2)").arg(holder->pid).arg(holder->name));
    }
    if (const std::optional<PortUser> user = m_portUsers.find(node)) {
        return DeviceResult::failure(
            EBUSY, QStringLiteral("in use by process %1 (%2)").arg(user->pid).arg(user->name));
    }
    return DeviceResult::success();
}
