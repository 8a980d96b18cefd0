#pragma once

#include "devicenode.h"
#include "deviceresult.h"
#include "lockfiles.h"
#include "portusers.h"

#include <QSet>
#include <QStringList>

// Who may have a port. Another program's use leaves it alone: a claim fails with EBUSY, with a
// reason naming the program, when a live lock file claims the device (see LockFiles), when
// another process has it open (see PortUsers), or when another program holds it with flock or
// TIOCEXCL. Lock files are only honoured, never created: flock and TIOCEXCL are this program's
// claim, and they vanish with it, so no stale lock can be left behind.
//
// A claim goes with the device's open: mayOpen() before it, then take() on the opened
// descriptor (or openFailed() when the open failed), and release() when the port is let go.
class PortClaim
{
public:
    // Where distributions keep lock files; each one's "lockdev" subfolder is searched too.
    static QStringList defaultLockDirs();

    explicit PortClaim(QStringList lockDirs = defaultLockDirs());

    // Whether the device at `path` may be opened: another program's use that can be seen
    // before opening says no. Opening would already raise the modem lines of a port nobody
    // had open.
    DeviceResult mayOpen(const QString &path, const DeviceNode &node);
    // Opening the device failed with `error`.
    void openFailed(const DeviceNode &node, int error);
    // Takes the opened device `fd` for this program, with flock and TIOCEXCL.
    DeviceResult take(const QString &path, const DeviceNode &node, int fd);
    // Lets go of a device that take() took.
    static void release(int fd);

private:
    DeviceResult checkInUse(const QString &path, const DeviceNode &node);
    void noteExclusiveHold(quint64 device, bool held);

    LockFiles m_lockFiles;
    PortUsers m_portUsers;
    // Devices whose last open failed only because another program held them exclusively.
    QSet<quint64> m_heldExclusively;
};
