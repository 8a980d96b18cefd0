#include "lockfiles.h"

#include "devicenode.h"
#include "printabletext.h"
#include "processes.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Enough for any PID with the extra fields some programs add after it.
constexpr qsizetype MaxLockFileRead = 128;

struct LockContent
{
    bool present = false;
    bool readable = false;
    QByteArray bytes;
    uid_t owner = 0;
};

// A lock file is a regular file; anything else under its name (a FIFO, a device, a link) was
// not left by a locking program, and opening it could block or act on a device.
LockContent readLockFile(const QString &file)
{
    const QByteArray name = QFile::encodeName(file);
    struct stat st = {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {errno == EACCES || errno == EPERM, false, {}, st.st_uid};
    LockContent content;
    // Checked again on the descriptor: the name may have been swapped since.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[MaxLockFileRead];
        ssize_t got = 0;
        do {
            got = ::read(fd, buffer, sizeof buffer);
        } while (got < 0 && errno == EINTR);
        content = {true, got >= 0, QByteArray(buffer, qMax<ssize_t>(got, 0)), st.st_uid};
    }
    ::close(fd);
    return content;
}

bool isText(const QByteArray &bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) {
        return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t';
    });
}

// The PID a lock file names; 0 when it names none. Binary PIDs are four bytes that are not
// text (any PID below 2^24 has a zero byte), so "123\n" is read as ASCII.
qint64 lockPid(const QByteArray &content)
{
    if (content.size() == 4 && !isText(content)) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return qMax<qint64>(binary, 0);
    }
    qsizetype i = 0;
    while (i < content.size() && (content.at(i) == ' ' || content.at(i) == '\t'))
        ++i;
    qint64 pid = 0;
    const qsizetype firstDigit = i;
    for (; i < content.size() && content.at(i) >= '0' && content.at(i) <= '9'; ++i) {
        pid = pid * 10 + (content.at(i) - '0');
        if (pid > std::numeric_limits<pid_t>::max())
            return 0;
    }
    return i > firstDigit ? pid : 0;
}

bool isStale(qint64 pid)
{
    return pid <= 1 || pid == currentProcessId() || !isProcessRunning(pid) || isKernelThread(pid);
}

QString userName(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return printableText(QByteArray(found->pw_name));
    return QStringLiteral("user %1").arg(uid);
}

// The mount points of FUSE file systems, from the mount table (which never blocks).
QStringList fuseMounts()
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    QStringList mounts;
    for (const QByteArray &line : table.readAll().split('\n')) {
        // "id parent major:minor root mountpoint options [tags] - type source options"
        const qsizetype dash = line.indexOf(" - ");
        const QList<QByteArray> fields = line.left(dash).split(' ');
        if (dash < 0 || fields.size() < 5)
            continue;
        const QByteArray type = line.mid(dash + 3).split(' ').value(0);
        if (type != "fuse" && type != "fuseblk" && !type.startsWith("fuse."))
            continue;
        // Spaces and the like in the path are written as octal escapes (\040).
        QByteArray point = fields.at(4);
        for (qsizetype i = point.indexOf('\\'); i >= 0 && i + 3 < point.size();
             i = point.indexOf('\\', i + 1))
            point.replace(i, 4, QByteArray(1, char(point.mid(i + 1, 3).toInt(nullptr, 8))));
        mounts.append(QFile::decodeName(point));
    }
    return mounts;
}

bool isOnOrBelow(const QString &path, const QStringList &mounts)
{
    return std::any_of(mounts.begin(), mounts.end(), [&path](const QString &mount) {
        return path == mount || path.startsWith(mount.endsWith(u'/') ? mount : mount + u'/');
    });
}

// Whether a lock folder may be looked into: not on FUSE (checked by name first, since even
// lstat of a FUSE mount point waits for its server), and not a symbolic link someone other
// than root made: the lock folders are world-writable.
bool mayLookInto(const QString &folder, const QStringList &fuse)
{
    if (isOnOrBelow(folder, fuse))
        return false;
    struct stat st = {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0)
        return false;
    return !S_ISLNK(st.st_mode) || st.st_uid == 0;
}

QStringList lockFileNames(const QString &path, quint64 device)
{
    QStringList paths{path};
    const QString target = QFileInfo(path).canonicalFilePath();
    if (!target.isEmpty())
        paths.append(target);
    QStringList names;
    for (const QString &candidate : std::as_const(paths)) {
        names.append(QStringLiteral("LCK..") + QFileInfo(candidate).fileName());
        if (candidate.startsWith(QLatin1String("/dev/")))
            names.append(QStringLiteral("LCK..") + candidate.mid(5).replace(u'/', u'_'));
    }
    if (device != 0)
        names.append(QStringLiteral("LCK.%1.%2").arg(deviceMajor(device)).arg(deviceMinor(device)));
    names.removeDuplicates();
    return names;
}

} // namespace

LockFiles::LockFiles(QStringList dirs)
    : m_dirs(std::move(dirs))
{}

std::optional<DeviceLock> LockFiles::find(const QString &path, quint64 device) const
{
    const QStringList names = lockFileNames(path, device);
    const QStringList fuse = fuseMounts();
    for (const QString &configured : m_dirs) {
        // By its real path, so that a FUSE mount below it is known by name (/var/lock is a
        // link to /run/lock).
        const QString dir = QFileInfo(configured).canonicalFilePath();
        if (dir.isEmpty())
            continue;
        for (const QString &folder : {dir, dir + QStringLiteral("/lockdev")}) {
            if (!mayLookInto(folder, fuse))
                continue;
            for (const QString &name : names) {
                const QString file = folder + u'/' + name;
                if (isOnOrBelow(file, fuse))
                    continue;
                const LockContent content = readLockFile(file);
                if (!content.present)
                    continue;
                if (!content.readable)
                    return DeviceLock{file, 0, userName(content.owner)};
                const qint64 pid = lockPid(content.bytes);
                if (!isStale(pid))
                    return DeviceLock{file, pid, userName(content.owner)};
            }
        }
    }
    return std::nullopt;
}
