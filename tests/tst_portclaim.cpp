#include "commevents.h"
#include "pty.h"
#include "recordingsink.h"
#include "termiosdevice.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Who may have a port: the device claims it only when no other program uses it, and leaves
// that program's settings alone.
namespace {

// Another program's hold on a port: its own descriptor with flock and/or TIOCEXCL.
class Holder
{
public:
    Holder(const QString &path, bool useFlock, bool exclusive)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (useFlock)
            ::flock(m_fd, LOCK_EX | LOCK_NB);
        if (exclusive)
            ::ioctl(m_fd, TIOCEXCL);
    }
    ~Holder()
    {
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
    }
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Another process with the port open and no lock on it, as a serial login or a logger has it.
class OtherProcess
{
public:
    explicit OtherProcess(const QString &path, bool locks = false)
    {
        const QByteArray name = QFile::encodeName(path);
        int exec[2];
        if (::pipe2(exec, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(name.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
            if (fd >= 0 && (!locks || ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                && ::dup2(fd, STDIN_FILENO) >= 0)
                ::execlp("sleep", "sleep", "30", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        // The pipe closes when the child has become "sleep" (or has failed to).
        ::close(exec[1]);
        char byte = 0;
        while (::read(exec[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(exec[0]);
    }
    ~OtherProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    qint64 pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// A pseudo-terminal whose both ends another process holds, as a tool that plays the far end
// of a virtual serial port does: it keeps the slave open so that its master never sees a
// hang-up when the port is closed.
class FarEndProcess
{
public:
    FarEndProcess()
    {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            int index = -1;
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
            if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0
                || ::ioctl(master, TIOCGPTN, &index) != 0
                || ::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY) < 0)
                index = -1;
            [[maybe_unused]] const ssize_t written = ::write(report[1], &index, sizeof index);
            ::pause();
            ::_exit(0);
        }
        ::close(report[1]);
        int index = -1;
        if (::read(report[0], &index, sizeof index) == sizeof index && index >= 0)
            m_slavePath = QStringLiteral("/dev/pts/%1").arg(index);
        ::close(report[0]);
    }
    ~FarEndProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    QString slavePath() const { return m_slavePath; }

private:
    pid_t m_pid = -1;
    QString m_slavePath;
};

// Whether nobody holds the port: a new descriptor gets the flock and no TIOCEXCL is set.
bool isFree(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    int exclusive = 0;
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0
                      && (::ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0);
    ::close(fd);
    return free;
}

pid_t deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

} // namespace

class TestPortClaim : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openAppliesAndReleaseRestoresSettings();
    void openFails_data();
    void openFails();
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
    void farEndOfVirtualPortIsNoUser();
    void exclusiveHolderGoneWhileAnotherHasItOpen();
    void lockFiles_data();
    void lockFiles();
};

void TestPortClaim::openAppliesAndReleaseRestoresSettings()
{
    Pty pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QVERIFY(pty.setSlaveSettings(oddSettings(pty.slaveSettings())));
    const termios before = pty.slaveSettings();

    TermiosDevice device;
    const DeviceResult opened = device.open(pty.slavePath());
    QVERIFY2(opened.ok(), qPrintable(opened.reason));
    QVERIFY(device.isOpen());

    const termios s = pty.slaveSettings();
    QCOMPARE(s.c_iflag, tcflag_t(INPCK | PARMRK));
    QCOMPARE(s.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(s.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(s.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
             tcflag_t(CS8 | CREAD | CLOCAL));
    QCOMPARE(cfgetispeed(&s), speed_t(B9600));
    QCOMPARE(cfgetospeed(&s), speed_t(B9600));
    QCOMPARE(s.c_cc[VMIN], cc_t(0));
    QCOMPARE(s.c_cc[VTIME], cc_t(0));

    QVERIFY(device.close().ok());
    QVERIFY(!device.isOpen());
    QVERIFY(sameSettings(pty.slaveSettings(), before));
    QVERIFY(isFree(pty.slavePath()));
    QCOMPARE(device.close().error, EBADF);
    RecordingSink sink;
    QCOMPARE(device.drain(sink, 1).error, EBADF);

    {
        TermiosDevice destroyedOpen;
        QVERIFY(destroyedOpen.open(pty.slavePath()).ok());
        QVERIFY(!isFree(pty.slavePath()));
    }
    QVERIFY(sameSettings(pty.slaveSettings(), before));
    QVERIFY(isFree(pty.slavePath()));
}

void TestPortClaim::openFails_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("error");
    QTest::addRow("absent") << QStringLiteral("absent") << ENOENT;
    QTest::addRow("regular file") << QStringLiteral("file") << ENOTTY;
    QTest::addRow("directory") << QStringLiteral("dir") << ENOTTY;
    QTest::addRow("FIFO, without blocking") << QStringLiteral("fifo") << ENOTTY;
}

void TestPortClaim::openFails()
{
    QFETCH(QString, name);
    QFETCH(int, error);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir")));
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("fifo"))).constData(), 0600),
             0);

    TermiosDevice device({dir.path()});
    const DeviceResult result = device.open(dir.filePath(name));
    QCOMPARE(result.error, error);
    QVERIFY(!result.reason.isEmpty());
    QVERIFY(!device.isOpen());
}

void TestPortClaim::portHeldByAnotherProgram_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addRow("flock") << "flock";
    QTest::addRow("TIOCEXCL") << "TIOCEXCL";
    QTest::addRow("flock and TIOCEXCL") << "both";
    QTest::addRow("open in another process, no lock") << "process";
    QTest::addRow("flock in another process") << "locking process";
}

void TestPortClaim::portHeldByAnotherProgram()
{
    QFETCH(QString, holder);
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(pty.setSlaveSettings(oddSettings(pty.slaveSettings())));
    const termios theirs = pty.slaveSettings();

    TermiosDevice device;
    {
        std::optional<Holder> lockHolder;
        std::optional<OtherProcess> process;
        if (holder.endsWith(u"process"))
            process.emplace(pty.slavePath(), holder.startsWith(u"locking"));
        else
            lockHolder.emplace(pty.slavePath(), holder != u"TIOCEXCL", holder != u"flock");
        QVERIFY(!lockHolder || lockHolder->isValid());
        QVERIFY(!process || process->pid() > 0);

        const DeviceResult result = device.open(pty.slavePath());
        QCOMPARE(result.error, EBUSY);
        if (process) {
            // The reason names the process, and a lock when it holds one.
            QVERIFY2(result.reason.contains(QString::number(process->pid()))
                         && result.reason.contains(u"sleep")
                         && result.reason.startsWith(holder.startsWith(u"locking") ? u"locked"
                                                                                   : u"in use"),
                     qPrintable(result.reason));
        }
        QVERIFY(!device.isOpen());
        QVERIFY(sameSettings(pty.slaveSettings(), theirs));
    }
    QVERIFY(device.open(pty.slavePath()).ok());

    TermiosDevice second;
    QCOMPARE(second.open(pty.slavePath()).error, EBUSY);
    QVERIFY(device.isOpen());
}

void TestPortClaim::farEndOfVirtualPortIsNoUser()
{
    FarEndProcess farEnd;
    QVERIFY(!farEnd.slavePath().isEmpty());
    TermiosDevice device;
    const DeviceResult result = device.open(farEnd.slavePath());
    QVERIFY2(result.ok(), qPrintable(result.reason));
}

void TestPortClaim::exclusiveHolderGoneWhileAnotherHasItOpen()
{
    // A port held with TIOCEXCL by a program no look can see (here: this process) is tried
    // again by opening it first. When that hold is gone, a program that has the port open
    // meanwhile is still found, and its settings stay as they are.
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(pty.setSlaveSettings(oddSettings(pty.slaveSettings())));
    const termios theirs = pty.slaveSettings();
    TermiosDevice device;
    std::optional<Holder> exclusive(std::in_place, pty.slavePath(), false, true);
    QCOMPARE(device.open(pty.slavePath()).error, EBUSY);
    QCOMPARE(device.open(pty.slavePath()).error, EBUSY);

    OtherProcess other(pty.slavePath());
    QVERIFY(other.pid() > 0);
    exclusive.reset();
    const DeviceResult result = device.open(pty.slavePath());
    QCOMPARE(result.error, EBUSY);
    QVERIFY2(result.reason.contains(QString::number(other.pid())), qPrintable(result.reason));
    QVERIFY(!device.isOpen());
    QVERIFY(sameSettings(pty.slaveSettings(), theirs));
}

void TestPortClaim::lockFiles_data()
{
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<bool>("busy");
    QTest::addRow("live") << qint64(::getppid()) << true;
    QTest::addRow("stale") << qint64(deadPid()) << false;
}

// How lock files are found and read is LockFiles' test; here, what the device does with one.
void TestPortClaim::lockFiles()
{
    QFETCH(qint64, pid);
    QFETCH(bool, busy);
    Pty pty;
    QVERIFY(pty.isValid());
    QTemporaryDir lockDir;
    QVERIFY(lockDir.isValid());
    // The slave is /dev/pts/N, locked as LCK..pts_N by programs that name it by its path.
    QFile lock(
        lockDir.filePath(QStringLiteral("LCK..") + pty.slavePath().mid(5).replace(u'/', u'_')));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(pid).rightJustified(10) + '\n');
    lock.close();
    const termios before = pty.slaveSettings();

    TermiosDevice device({QStringLiteral("/nonexistent-lock-dir"), lockDir.path()});
    const DeviceResult result = device.open(pty.slavePath());
    QCOMPARE(result.error, busy ? EBUSY : 0);
    QCOMPARE(device.isOpen(), !busy);
    if (busy) {
        // The window shows the reason: it names the lock file and its owner.
        QVERIFY2(result.reason.contains(lock.fileName())
                     && result.reason.contains(QString::number(pid)),
                 qPrintable(result.reason));
        QVERIFY(sameSettings(pty.slaveSettings(), before));
        QVERIFY(isFree(pty.slavePath()));
    }
    QVERIFY(lock.exists()); // never removed, stale or not
}

QTEST_GUILESS_MAIN(TestPortClaim)
#include "tst_portclaim.moc"
