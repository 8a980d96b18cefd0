#include "devicenode.h"
#include "lockfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray ascii(qint64 pid)
{
    return QByteArray::number(pid).rightJustified(10) + '\n';
}

QByteArray binary(qint64 pid)
{
    const qint32 value = qint32(pid);
    return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
}

} // namespace

// Which lock files claim a device: where they are looked for, under which names, in which
// forms, and which owners count as gone.
class LockFilesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void find_data();
    void find();
    void linkedFolder_data();
    void linkedFolder();
    void unreadableNamesItsOwner();

private:
    qint64 m_kernelThread = 0;
    qint64 m_live = 0;
    qint64 m_dead = 0;
    qint64 m_zombie = 0;
};

void LockFilesTest::initTestCase()
{
    m_live = ::getppid(); // the test runner: running, and not this process
    QVERIFY(m_live > 1);
    m_dead = ::fork();
    if (m_dead == 0)
        ::_exit(0);
    QVERIFY(::waitpid(pid_t(m_dead), nullptr, 0) == m_dead);
    // Ended but not waited for: a zombie until cleanupTestCase().
    m_zombie = ::fork();
    if (m_zombie == 0)
        ::_exit(0);
    siginfo_t info{};
    QCOMPARE(::waitid(P_PID, id_t(m_zombie), &info, WEXITED | WNOWAIT), 0);
    // The kernel's thread starter, where this runs in the machine's own PID namespace.
    QFile comm(QStringLiteral("/proc/2/comm"));
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "kthreadd")
        m_kernelThread = 2;
}

void LockFilesTest::cleanupTestCase()
{
    ::waitpid(pid_t(m_zombie), nullptr, 0);
}

void LockFilesTest::find_data()
{
    // The device is /dev/ttyUSB7, device number 188:7.
    QTest::addColumn<QString>("folder"); // below the lock folder
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind"); // file, fifo, or link (to a file elsewhere)
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("livePid"); // 0: the file does not lock the device

    const QString usb7 = QStringLiteral("LCK..ttyUSB7");
    const QString none;
    const QString file = QStringLiteral("file");
    QTest::addRow("ASCII, padded") << none << usb7 << file << ascii(m_live) << m_live;
    QTest::addRow("ASCII, program and user after the PID")
        << none << usb7 << file << QByteArray::number(m_live).rightJustified(10) + " prog user\n"
        << m_live;
    QTest::addRow("ASCII, unpadded, no newline")
        << none << usb7 << file << QByteArray::number(m_live) << m_live;
    QTest::addRow("binary") << none << usb7 << file << binary(m_live) << m_live;
    QTest::addRow("lockdev subfolder") << "lockdev" << usb7 << file << ascii(m_live) << m_live;
    QTest::addRow("device number name") << none << "LCK.188.7" << file << ascii(m_live) << m_live;

    QTest::addRow("another device's name")
        << none << "LCK..ttyUSB8" << file << ascii(m_live) << 0ll;
    QTest::addRow("another device's number") << none << "LCK.188.8" << file << ascii(m_live) << 0ll;
    QTest::addRow("ended process") << none << usb7 << file << ascii(m_dead) << 0ll;
    QTest::addRow("zombie") << none << usb7 << file << ascii(m_zombie) << 0ll;
    QTest::addRow("this process") << none << usb7 << file << ascii(::getpid()) << 0ll;
    QTest::addRow("PID 1") << none << usb7 << file << ascii(1) << 0ll;
    if (m_kernelThread != 0) // never ends, yet holds no port
        QTest::addRow("kernel thread") << none << usb7 << file << ascii(m_kernelThread) << 0ll;
    QTest::addRow("ended process, binary") << none << usb7 << file << binary(m_dead) << 0ll;
    QTest::addRow("no PID") << none << usb7 << file << QByteArray("locked\n") << 0ll;
    QTest::addRow("empty") << none << usb7 << file << QByteArray() << 0ll;
    QTest::addRow("PID out of range") << none << usb7 << file << QByteArray("99999999999\n") << 0ll;
    QTest::addRow("FIFO, without blocking") << none << usb7 << "fifo" << QByteArray() << 0ll;
    QTest::addRow("symbolic link") << none << usb7 << "link" << ascii(m_live) << 0ll;
}

void LockFilesTest::find()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(qint64, livePid);

    QTemporaryDir root;
    const QString lockDir = root.filePath(QStringLiteral("lock"));
    const QString dir = folder.isEmpty() ? lockDir : lockDir + u'/' + folder;
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + u'/' + name;
    if (kind == u"fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else {
        const QString written = kind == u"link" ? root.filePath(QStringLiteral("elsewhere")) : path;
        QFile lock(written);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(content);
        lock.close();
        if (kind == u"link")
            QVERIFY(QFile::link(written, path));
    }

    const LockFiles locks({root.filePath(QStringLiteral("missing")), lockDir});
    const std::optional<DeviceLock> lock
        = locks.find(QStringLiteral("/dev/ttyUSB7"), deviceNumber(188, 7));
    QCOMPARE(lock.has_value(), livePid != 0);
    if (lock) {
        QCOMPARE(lock->file, path);
        QCOMPARE(lock->pid, livePid);
    }
}

// The lock folders are world-writable: a folder there that is a link counts only when root
// made it (as /var/lock leads to /run/lock), never when another user did.
void LockFilesTest::linkedFolder_data()
{
    QTest::addColumn<bool>("rootsLink");
    QTest::addRow("another user's link") << false;
    QTest::addRow("root's link") << true;
}

void LockFilesTest::linkedFolder()
{
    QFETCH(bool, rootsLink);
    const bool root = ::geteuid() == 0;
    if (rootsLink && !root)
        QSKIP("only root can make a link that root owns");
    QTemporaryDir scratch;
    const QString real = scratch.filePath(QStringLiteral("real"));
    const QString lockDir = scratch.filePath(QStringLiteral("lock"));
    QVERIFY(QDir().mkpath(real + QStringLiteral("/lockdev")));
    QFile lock(real + QStringLiteral("/lockdev/LCK..ttyUSB7"));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(ascii(m_live));
    lock.close();
    // lock/lockdev is the link; lock itself is an ordinary folder.
    QVERIFY(QDir().mkpath(lockDir));
    const QString link = lockDir + QStringLiteral("/lockdev");
    QVERIFY(QFile::link(real + QStringLiteral("/lockdev"), link));
    if (root && !rootsLink)
        QCOMPARE(::lchown(QFile::encodeName(link).constData(), 65534, 65534), 0);

    const std::optional<DeviceLock> found
        = LockFiles({lockDir}).find(QStringLiteral("/dev/ttyUSB7"), 0);
    QCOMPARE(found.has_value(), rootsLink);
}

// A lock file Lumora may not read may be a real lock: the port stays unavailable, and the
// reason names the file's owner, whom the user can ask.
void LockFilesTest::unreadableNamesItsOwner()
{
    QTemporaryDir scratch;
    QVERIFY(QFile::setPermissions(scratch.path(), QFile::ReadOwner | QFile::WriteOwner
                                                      | QFile::ExeOwner | QFile::ReadOther
                                                      | QFile::ExeOther));
    QFile lock(scratch.filePath(QStringLiteral("LCK..ttyUSB7")));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(ascii(m_live));
    lock.close();
    QVERIFY(lock.setPermissions({}));
    const auto look = [&] {
        const std::optional<DeviceLock> found
            = LockFiles({scratch.path()}).find(QStringLiteral("/dev/ttyUSB7"), 0);
        return found ? QStringLiteral("%1 %2").arg(found->pid).arg(found->owner)
                     : QStringLiteral("none");
    };
    if (::geteuid() != 0) {
        QCOMPARE(look().section(u' ', 0, 0), QStringLiteral("0"));
        QVERIFY(!look().section(u' ', 1).isEmpty());
        return;
    }
    // Root reads any file: look as an ordinary user (nobody) in a child, for the root's file.
    int pipe[2];
    QCOMPARE(::pipe(pipe), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        const QByteArray seen = look().toUtf8();
        ::_exit(::write(pipe[1], seen.constData(), size_t(seen.size())) == seen.size() ? 0 : 3);
    }
    ::close(pipe[1]);
    char buffer[256];
    const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
    ::close(pipe[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QCOMPARE(WEXITSTATUS(status), 0);
    QCOMPARE(QByteArray(buffer, qMax<ssize_t>(got, 0)), QByteArray("0 root"));
}

QTEST_GUILESS_MAIN(LockFilesTest)
#include "tst_lockfiles.moc"
