#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// A lock file that claims a device for a running process.
struct DeviceLock
{
    QString file;
    qint64 pid = 0; // 0: the file is there but could not be read
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
// a zombie, or PID 1: a lock folder is world-writable and init holds no serial port. A file
// that is there but cannot be read is taken as live.
//
// Looking never blocks: only regular files are opened, symbolic links are not followed, and
// only the first bytes are read.
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
