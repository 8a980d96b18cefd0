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

private:
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

QTEST_GUILESS_MAIN(LockFilesTest)
#include "tst_lockfiles.moc"
