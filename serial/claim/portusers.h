#pragma once

#include "devicenode.h"

#include <QHash>
#include <QString>

#include <optional>

// Another process that has a device open.
struct PortUser
{
    qint64 pid = 0;
    QString name; // its command name
};

// Finds processes that have a device open, as fuser does: by looking through the open
// descriptors of every process (/proc/<pid>/fd) for one that leads to the device's number
// (for a pseudo-terminal, on the same devpts mount).
// Programs that take no lock (a login on a serial line, a logger) are seen this way. This
// process is left out, and so are processes whose descriptors we may not see (another user's,
// unless we are privileged), and the far end of a pseudo-terminal: a process that holds its
// master as well as the slave is the other end of the cable, not a user of the port.
//
// A port that was found in use tends to be asked about again (the window retries unavailable
// ports), so the process last found for a device is looked at first; the whole walk only runs
// when that one no longer has it.
class PortUsers
{
public:
    std::optional<PortUser> find(const DeviceNode &port);
    // Another process holding the device node with flock(), as terminal programs do: read
    // from the kernel's table of locks (/proc/locks), which costs far less than the walk.
    static std::optional<PortUser> findLockHolder(const DeviceNode &port);

private:
    QHash<quint64, qint64> m_lastUser; // device number -> PID
};
