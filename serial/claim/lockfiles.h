#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// A lock file that claims a device for a running process.
struct DeviceLock
{
    QString file;
    qint64 pid = 0; // 0: the file is there but could not be read
    QString owner;  // the file's owner, by name where the system knows one
};

// The UUCP-style lock files that other programs leave for a serial device they use. They are
// only honoured, never written.
//
// Each lock folder is searched, and its "lockdev" subfolder, for the names programs give them:
// "LCK..<file name>" and "LCK..<path below /dev with '/' as '_'>", for the path as given and
// for the device a symbolic link leads to, and "LCK.<major>.<minor>" from the device number.
//
// A lock file holds its owner's PID, in ASCII (leading blanks allowed; whatever follows the
// number is ignored, as some programs write "      1234 prog user") or as a 4-byte binary
// number. It is live while that process runs. It is stale when it names no PID, this process,
// a zombie, PID 1 or a kernel thread: a lock folder is world-writable, and neither init nor the
// kernel's threads hold a serial port. A file that is there but cannot be read is taken as live.
//
// Looking never blocks: only regular files are opened, symbolic links to lock files are not
// followed, and only the first bytes are read. A lock folder that is a symbolic link is
// followed only when root owns the link, and nothing on a FUSE file system is looked at: its
// server, any user's program, may never answer.
class LockFiles
{
public:
    explicit LockFiles(QStringList dirs);

    // The first live lock file for the device at `path`, whose device number is `device` (0
    // when unknown: the number form is then not looked for).
    std::optional<DeviceLock> find(const QString &path, quint64 device) const;

private:
    QStringList m_dirs;
};
