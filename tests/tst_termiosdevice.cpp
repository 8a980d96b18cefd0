#include "commevents.h"
#include "pty.h"
#include "termiosdevice.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Records data and events in arrival order: each event with the number of bytes before it.
struct RecordingSink : ReceiveSink
{
    void receiveBytes(const char *bytes, qsizetype size) override { data.append(bytes, size); }
    void receiveEvent(qint16 code) override { events.append({data.size(), code}); }

    QByteArray data;
    QList<std::pair<qsizetype, qint16>> events;
};

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

// Settings no device would choose, to tell them from 9600 8N1 raw.
termios oddSettings(termios settings)
{
    settings.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | BRKINT;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    settings.c_cflag = (settings.c_cflag & ~(CSIZE | CLOCAL)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 5;
    cfsetispeed(&settings, B19200);
    cfsetospeed(&settings, B19200);
    return settings;
}

bool sameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
           && a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc)
           && cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

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

qint64 cpuTimeNs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
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

class TestTermiosDevice : public QObject
{
    Q_OBJECT

private:
    // Connects the device like the control does: every readyRead drains into `sink`.
    void drainOnReadyRead(TermiosDevice &device, RecordingSink &sink)
    {
        connect(&device, &SerialDevice::readyRead, this,
                [&device, &sink] { QVERIFY(device.drain(sink, 1 << 16).ok()); });
    }

private Q_SLOTS:
    void openAppliesAndReleaseRestoresSettings();
    void openFails_data();
    void openFails();
    void portHeldByAnotherProgram_data();
    void portHeldByAnotherProgram();
    void lockFiles_data();
    void lockFiles();
    void bytesArriveExactly_data();
    void bytesArriveExactly();
    void drainStaysWithinRoom_data();
    void drainStaysWithinRoom();
    void marksBecomeEventsInPlace_data();
    void marksBecomeEventsInPlace();
    void hangUpLosesDevice_data();
    void hangUpLosesDevice();
    void changedSettingsReportedAndRestored();
};

void TestTermiosDevice::openAppliesAndReleaseRestoresSettings()
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

void TestTermiosDevice::openFails_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("error");
    QTest::addRow("absent") << QStringLiteral("absent") << ENOENT;
    QTest::addRow("regular file") << QStringLiteral("file") << ENOTTY;
    QTest::addRow("directory") << QStringLiteral("dir") << EISDIR;
}

void TestTermiosDevice::openFails()
{
    QFETCH(QString, name);
    QFETCH(int, error);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir")));
    QFile file(dir.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    TermiosDevice device({dir.path()});
    const DeviceResult result = device.open(dir.filePath(name));
    QCOMPARE(result.error, error);
    QCOMPARE(result.reason, QString::fromLocal8Bit(std::strerror(error)));
    QVERIFY(!device.isOpen());
    if (name == QLatin1String("file"))
        QVERIFY(isFree(file.fileName())); // flock and TIOCEXCL were taken, then let go
}

void TestTermiosDevice::portHeldByAnotherProgram_data()
{
    QTest::addColumn<bool>("useFlock");
    QTest::addColumn<bool>("exclusive");
    QTest::addRow("flock") << true << false;
    QTest::addRow("TIOCEXCL") << false << true;
    QTest::addRow("flock and TIOCEXCL") << true << true;
}

void TestTermiosDevice::portHeldByAnotherProgram()
{
    QFETCH(bool, useFlock);
    QFETCH(bool, exclusive);
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(pty.setSlaveSettings(oddSettings(pty.slaveSettings())));
    const termios theirs = pty.slaveSettings();

    TermiosDevice device;
    {
        Holder holder(pty.slavePath(), useFlock, exclusive);
        QVERIFY(holder.isValid());
        QCOMPARE(device.open(pty.slavePath()).error, EBUSY);
        QVERIFY(!device.isOpen());
        QVERIFY(sameSettings(pty.slaveSettings(), theirs));
    }
    QVERIFY(device.open(pty.slavePath()).ok());

    TermiosDevice second;
    QCOMPARE(second.open(pty.slavePath()).error, EBUSY);
    QVERIFY(device.isOpen());
}

void TestTermiosDevice::lockFiles_data()
{
    QTest::addColumn<QString>("nameForm");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("busy");
    const qint32 live = ::getpid();
    const qint32 dead = deadPid();
    const auto ascii = [](qint32 pid) {
        return QByteArray::number(pid).rightJustified(10) + '\n';
    };
    const auto binary = [](qint32 pid) {
        return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
    };
    QTest::addRow("live, ASCII") << "name" << ascii(live) << true;
    QTest::addRow("live, binary") << "name" << binary(live) << true;
    QTest::addRow("live, path below /dev") << "path" << ascii(live) << true;
    QTest::addRow("stale, ASCII") << "name" << ascii(dead) << false;
    QTest::addRow("stale, binary") << "name" << binary(dead) << false;
    QTest::addRow("no PID") << "name" << QByteArray("locked\n") << false;
}

void TestTermiosDevice::lockFiles()
{
    QFETCH(QString, nameForm);
    QFETCH(QByteArray, content);
    QFETCH(bool, busy);
    Pty pty;
    QVERIFY(pty.isValid());
    QTemporaryDir lockDir;
    QVERIFY(lockDir.isValid());
    // The slave is /dev/pts/N: its lock file is LCK..N or LCK..pts_N.
    const QString name = nameForm == QLatin1String("name")
                             ? QFileInfo(pty.slavePath()).fileName()
                             : pty.slavePath().mid(5).replace(u'/', u'_');
    QFile lock(lockDir.filePath(QStringLiteral("LCK..") + name));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(content);
    lock.close();
    const termios before = pty.slaveSettings();

    TermiosDevice device({QStringLiteral("/nonexistent-lock-dir"), lockDir.path()});
    const DeviceResult result = device.open(pty.slavePath());
    QCOMPARE(result.error, busy ? EBUSY : 0);
    QCOMPARE(device.isOpen(), !busy);
    if (busy) {
        QVERIFY(sameSettings(pty.slaveSettings(), before));
        QVERIFY(isFree(pty.slavePath()));
    }
    QVERIFY(lock.exists()); // never removed, stale or not
}

void TestTermiosDevice::bytesArriveExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QByteArray random(1 << 20, Qt::Uninitialized);
    QRandomGenerator(20240611).fillRange(reinterpret_cast<quint32 *>(random.data()),
                                         random.size() / 4);
    QTest::addRow("every byte value") << all;
    QTest::addRow("random megabyte") << random;
}

// The terminal doubles each 0xFF; nothing else may change on the way.
void TestTermiosDevice::bytesArriveExactly()
{
    QFETCH(QByteArray, bytes);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    RecordingSink sink;
    drainOnReadyRead(device, sink);

    QSignalSpy readyRead(&device, &SerialDevice::readyRead);
    qsizetype sent = 0;
    while (sink.data.size() < bytes.size()) {
        const qsizetype written = pty.write(bytes.mid(sent, 16384));
        QVERIFY(written >= 0);
        sent += written;
        if (sink.data.size() < sent)
            QVERIFY(readyRead.wait(5000));
    }
    QVERIFY(sink.data == bytes);
    QVERIFY(sink.events.isEmpty());
}

void TestTermiosDevice::drainStaysWithinRoom_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qsizetype>("room");
    const QByteArray mixed = QByteArray("\xff\x00\xff\xff"
                                        "A\xff",
                                        6)
                                 .repeated(50);
    QTest::addRow("0xFF only, room 1") << QByteArray(300, '\xff') << qsizetype(1);
    QTest::addRow("0xFF only, room 2") << QByteArray(300, '\xff') << qsizetype(2);
    QTest::addRow("mixed, room 1") << mixed << qsizetype(1);
    QTest::addRow("mixed, room 7") << mixed << qsizetype(7);
}

void TestTermiosDevice::drainStaysWithinRoom()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qsizetype, room);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QSignalSpy readyRead(&device, &SerialDevice::readyRead);
    QCOMPARE(pty.write(bytes), bytes.size());

    RecordingSink sink;
    while (sink.data.size() < bytes.size()) {
        const qsizetype before = sink.data.size();
        QVERIFY(device.drain(sink, room).ok());
        QVERIFY(sink.data.size() - before <= room);
        if (sink.data.size() == before)
            QVERIFY(readyRead.wait(5000));
    }
    QCOMPARE(sink.data, bytes);
    QVERIFY(sink.events.isEmpty());
}

void TestTermiosDevice::marksBecomeEventsInPlace_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qsizetype>("position");
    QTest::addColumn<int>("event");
    QTest::addRow("break") << QByteArray("A\xff\x00\x00"
                                         "B",
                                         5)
                           << QByteArray("AB") << qsizetype(1) << int(comEventBreak);
    QTest::addRow("framing error") << QByteArray("A\xff\x00"
                                                 "CB",
                                                 5)
                                   << QByteArray("ACB") << qsizetype(1) << int(comEventFrame);
}

// A pseudo-terminal cannot produce line errors. With PARMRK cleared behind the device's back
// the terminal passes bytes unmarked, so the far end can send the marks itself.
void TestTermiosDevice::marksBecomeEventsInPlace()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, data);
    QFETCH(qsizetype, position);
    QFETCH(int, event);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    termios unmarked = pty.slaveSettings();
    unmarked.c_iflag &= ~PARMRK;
    QVERIFY(pty.setSlaveSettings(unmarked));
    RecordingSink sink;
    drainOnReadyRead(device, sink);

    QCOMPARE(pty.write(line), line.size());
    QTRY_COMPARE(sink.data, data);
    QCOMPARE(sink.events.size(), 1);
    QCOMPARE(sink.events.first().first, position);
    QCOMPARE(sink.events.first().second, qint16(event));
}

void TestTermiosDevice::hangUpLosesDevice_data()
{
    QTest::addColumn<bool>("reading");
    QTest::addRow("reading") << true;
    QTest::addRow("reading paused") << false;
}

void TestTermiosDevice::hangUpLosesDevice()
{
    QFETCH(bool, reading);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    device.setReadNotification(reading);
    RecordingSink sink;
    drainOnReadyRead(device, sink);
    QSignalSpy lost(&device, &SerialDevice::lost);
    QSignalSpy readyRead(&device, &SerialDevice::readyRead);

    QElapsedTimer sinceHangUp;
    sinceHangUp.start();
    pty.hangUp();
    QVERIFY(lost.wait(2000));
    QVERIFY2(sinceHangUp.elapsed() < 500, qPrintable(QString::number(sinceHangUp.elapsed())));
    QVERIFY(!device.isOpen());
    QVERIFY(sink.data.isEmpty());

    // A hung-up terminal is readable forever: nothing may keep reacting to it.
    const qsizetype notified = readyRead.size();
    const qint64 cpuBefore = cpuTimeNs();
    QTest::qWait(200);
    QCOMPARE(readyRead.size(), notified);
    QCOMPARE(lost.size(), 1);
    QVERIFY(cpuTimeNs() - cpuBefore < 50'000'000);
}

void TestTermiosDevice::changedSettingsReportedAndRestored()
{
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    RecordingSink sink;
    drainOnReadyRead(device, sink);
    QVERIFY(device.open(pty.slavePath()).ok());

    // A privileged program slows the port down behind our back.
    termios changed = pty.slaveSettings();
    cfsetispeed(&changed, B4800);
    cfsetospeed(&changed, B4800);
    QVERIFY(pty.setSlaveSettings(changed));
    QTRY_COMPARE(sink.events.size(), 1);
    QCOMPARE(sink.events.first().second, qint16(comEventDCB));
    const termios restored = pty.slaveSettings();
    QCOMPARE(cfgetispeed(&restored), speed_t(B9600));

    // Reported once per change, and data still arrives exactly.
    QCOMPARE(pty.write("ok"), 2);
    QTRY_COMPARE(sink.data, QByteArray("ok"));
    QCOMPARE(sink.events.size(), 1);
}

QTEST_GUILESS_MAIN(TestTermiosDevice)
#include "tst_termiosdevice.moc"
