#pragma once

#include <QString>

#include <optional>

// What the file system says about a device entry, after following symbolic links: whether it
// is a character device, which one (its device number), and which node it is (inode and the
// time of its last status change), so that a node re-created under the same name tells apart
// from the one before.
struct DeviceNode
{
    bool isCharDevice = false;
    quint64 device = 0;     // st_rdev
    quint64 fileSystem = 0; // st_dev: which mount the node is on
    quint64 inode = 0;
    qint64 changeTimeNs = 0;
};

// The node `path` leads to; nullopt when it does not exist (a dangling link included).
std::optional<DeviceNode> statDeviceNode(const QString &path);
// The node an open descriptor refers to.
std::optional<DeviceNode> statDeviceNode(int fd);

quint64 deviceNumber(quint32 major, quint32 minor);
quint32 deviceMajor(quint64 device);
quint32 deviceMinor(quint64 device);
// Whether `device` is the slave of a pseudo-terminal. Their numbers are only unique within one
// devpts mount: a private /dev/pts (a container, a sandbox) has its own /dev/pts/0 as 136:0.
bool isPtySlave(quint64 device);
// The index N of a pseudo-terminal slave /dev/pts/N.
qint64 ptyIndex(quint64 device);
