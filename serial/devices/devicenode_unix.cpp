#include "devicenode.h"

#include <QFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

constexpr quint32 FirstPtySlaveMajor = 136;
constexpr quint32 PtySlaveMajors = 8;

DeviceNode node(const struct stat &st)
{
    DeviceNode node;
    node.isCharDevice = S_ISCHR(st.st_mode);
    node.device = node.isCharDevice ? quint64(st.st_rdev) : 0;
    node.fileSystem = quint64(st.st_dev);
    node.inode = quint64(st.st_ino);
    node.changeTimeNs = qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return node;
}

} // namespace

std::optional<DeviceNode> statDeviceNode(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return node(st);
}

std::optional<DeviceNode> statDeviceNode(int fd)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return node(st);
}

quint64 deviceNumber(quint32 major, quint32 minor)
{
    return quint64(makedev(major, minor));
}

quint32 deviceMajor(quint64 device)
{
    return quint32(major(dev_t(device)));
}

quint32 deviceMinor(quint64 device)
{
    return quint32(minor(dev_t(device)));
}

bool isPtySlave(quint64 device)
{
    const quint32 major = deviceMajor(device);
    return major >= FirstPtySlaveMajor && major < FirstPtySlaveMajor + PtySlaveMajors;
}

qint64 ptyIndex(quint64 device)
{
    return (qint64(deviceMajor(device) - FirstPtySlaveMajor) << 20) | deviceMinor(device);
}
