#include "termiosdevice.h"

#include "commevents.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int LinePollIntervalMs = 100;
constexpr int SettingsCheckIntervalMs = 1000;
constexpr qsizetype ReadChunk = 4096;

DeviceResult osFailure(int error)
{
    return DeviceResult::failure(error, QString::fromLocal8Bit(std::strerror(error)));
}

// The names programs give the lock file of a device: "LCK.." and the device's file name, or
// its path below /dev with '/' turned into '_'; for the path as given and for the device a
// symbolic link leads to.
QStringList lockFileNames(const QString &path)
{
    QStringList paths{path};
    const QString target = QFileInfo(path).canonicalFilePath();
    if (!target.isEmpty())
        paths.append(target);
    QStringList names;
    for (const QString &candidate : paths) {
        names.append(QStringLiteral("LCK..") + QFileInfo(candidate).fileName());
        if (candidate.startsWith(QLatin1String("/dev/")))
            names.append(QStringLiteral("LCK..") + candidate.mid(5).replace(u'/', u'_'));
    }
    names.removeDuplicates();
    return names;
}

// A lock file holds the PID of its owner, in ASCII or as a 4-byte binary number. It is live
// while that process runs; one that cannot be read is taken as live, one without a PID as
// stale.
bool isLiveLockFile(const QString &file)
{
    if (!QFileInfo(file).isFile())
        return false; // absent, or something no locking program writes (a FIFO would block)
    QFile lock(file);
    if (!lock.open(QIODevice::ReadOnly))
        return lock.exists();
    const QByteArray content = lock.read(64);
    bool ascii = false;
    qint64 pid = content.trimmed().toLongLong(&ascii);
    if (!ascii) {
        if (content.size() != 4)
            return false;
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        pid = binary;
    }
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

termios receiveSettings(const termios &current)
{
    termios raw = current;
    // Marks make breaks and garbled characters visible in the data; nothing else of the byte
    // stream is interpreted.
    raw.c_iflag = INPCK | PARMRK;
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    raw.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    raw.c_cflag |= CS8 | CREAD | CLOCAL;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    return raw;
}

bool settingsTaken(const termios &applied)
{
    return cfgetispeed(&applied) == B9600 && cfgetospeed(&applied) == B9600
           && (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8
           && (applied.c_iflag & (INPCK | PARMRK | IGNPAR | ISTRIP | IXON | IXOFF))
                  == (INPCK | PARMRK)
           && (applied.c_lflag & ICANON) == 0;
}

LineCounters lineCounters(const serial_icounter_struct &icount)
{
    LineCounters counters;
    counters.cts = quint32(icount.cts);
    counters.dsr = quint32(icount.dsr);
    counters.rng = quint32(icount.rng);
    counters.dcd = quint32(icount.dcd);
    counters.frame = quint32(icount.frame);
    counters.parity = quint32(icount.parity);
    counters.brk = quint32(icount.brk);
    counters.overrun = quint32(icount.overrun);
    counters.bufOverrun = quint32(icount.buf_overrun);
    return counters;
}

quint8 modemLines(int bits)
{
    return ((bits & TIOCM_CTS) ? LineCts : 0) | ((bits & TIOCM_DSR) ? LineDsr : 0)
           | ((bits & TIOCM_CD) ? LineCd : 0) | ((bits & TIOCM_RI) ? LineRi : 0);
}

// Passes decoded data to the sink and turns marks into events at their place in it.
class Delivery : public MarkDecoder::Output
{
public:
    Delivery(ReceiveSink &sink, LineStatus &lineStatus)
        : m_sink(sink)
        , m_lineStatus(lineStatus)
    {}

    void data(const char *bytes, qsizetype size) override
    {
        m_sink.receiveBytes(bytes, size);
        m_delivered += size;
    }
    void mark(MarkDecoder::Mark mark) override
    {
        m_sink.receiveEvent(mark == MarkDecoder::Mark::Break ? qint16(comEventBreak)
                                                             : m_lineStatus.garbledCharEvent());
    }
    qsizetype delivered() const { return m_delivered; }

private:
    ReceiveSink &m_sink;
    LineStatus &m_lineStatus;
    qsizetype m_delivered = 0;
};

} // namespace

QStringList TermiosDevice::defaultLockDirs()
{
    return {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};
}

TermiosDevice::TermiosDevice(QStringList lockDirs, QObject *parent)
    : SerialDevice(parent)
    , m_lockDirs(std::move(lockDirs))
{
    m_lineTimer.setInterval(LinePollIntervalMs);
    connect(&m_lineTimer, &QTimer::timeout, this, &TermiosDevice::pollLines);
    m_settingsTimer.setInterval(SettingsCheckIntervalMs);
    m_settingsTimer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_settingsTimer, &QTimer::timeout, this, &TermiosDevice::checkSettings);
}

TermiosDevice::~TermiosDevice()
{
    if (isOpen())
        close();
}

DeviceResult TermiosDevice::open(const QString &path)
{
    if (isOpen())
        return osFailure(EALREADY);
    const QStringList names = lockFileNames(path);
    for (const QString &dir : std::as_const(m_lockDirs)) {
        for (const QString &name : names) {
            if (isLiveLockFile(QDir(dir).filePath(name)))
                return osFailure(EBUSY);
        }
    }
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return osFailure(errno);
    const DeviceResult claimed = claim(fd);
    if (!claimed.ok()) {
        ::close(fd);
        return claimed;
    }
    startWatching();
    return DeviceResult::success();
}

// Takes the device for this program and sets it up for receiving; a failure undoes all but
// the open itself.
DeviceResult TermiosDevice::claim(int fd)
{
    // Privileged processes may open a device that another program holds with TIOCEXCL.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive)
        return osFailure(EBUSY);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return osFailure(errno == EWOULDBLOCK ? EBUSY : errno);
    const auto fail = [fd](int error) {
        ::ioctl(fd, TIOCNXCL);
        ::flock(fd, LOCK_UN);
        return osFailure(error);
    };
    if (::ioctl(fd, TIOCEXCL) != 0)
        return fail(errno);

    termios saved{};
    if (::tcgetattr(fd, &saved) != 0)
        return fail(errno);
    const termios wanted = receiveSettings(saved);
    termios applied{};
    int error = 0;
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0 || ::tcgetattr(fd, &applied) != 0)
        error = errno;
    else if (!settingsTaken(applied))
        error = EINVAL; // the driver cannot do 9600 baud 8N1
    else if (::tcflush(fd, TCIFLUSH) != 0)
        error = errno;
    if (error != 0) {
        ::tcsetattr(fd, TCSANOW, &saved);
        return fail(error);
    }
    m_fd = fd;
    m_savedSettings = std::make_unique<termios>(saved);
    return DeviceResult::success();
}

// Sets up what watches the open device: read and hang-up notifiers, and the line poll where
// the driver reports line counters or modem lines.
void TermiosDevice::startWatching()
{
    m_decoder.reset();
    m_lineStatus.reset();
    m_undecoded.clear();
    m_pendingEvents.clear();
    m_readEnabled = true;

    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SerialDevice::readyRead);
    m_hangUpNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Exception);
    m_hangUpNotifier->setEnabled(false);
    connect(m_hangUpNotifier.get(), &QSocketNotifier::activated, this, &TermiosDevice::checkHangUp);

    // The first snapshots are the starting point for later changes.
    serial_icounter_struct icount{};
    m_haveCounters = ::ioctl(m_fd, TIOCGICOUNT, &icount) == 0;
    if (m_haveCounters)
        m_lineStatus.updateCounters(lineCounters(icount));
    int bits = 0;
    m_haveModemLines = ::ioctl(m_fd, TIOCMGET, &bits) == 0;
    if (m_haveModemLines)
        m_lineStatus.updateModemLines(modemLines(bits));
    if (m_haveCounters || m_haveModemLines)
        m_lineTimer.start();
    m_settingsLost = false;
    m_settingsTimer.start();
}

DeviceResult TermiosDevice::close()
{
    if (!isOpen())
        return osFailure(EBADF);
    const int error = ::tcsetattr(m_fd, TCSANOW, m_savedSettings.get()) == 0 ? 0 : errno;
    ::ioctl(m_fd, TIOCNXCL);
    ::flock(m_fd, LOCK_UN);
    release();
    return error == 0 ? DeviceResult::success() : osFailure(error);
}

// Stops watching and closes the descriptor, which also drops the flock.
void TermiosDevice::release()
{
    m_lineTimer.stop();
    m_settingsTimer.stop();
    // The notifiers go before the descriptor: a new open may get the same number.
    m_readNotifier.reset();
    m_hangUpNotifier.reset();
    ::close(m_fd);
    m_fd = -1;
    m_savedSettings.reset();
    m_undecoded.clear();
    m_pendingEvents.clear();
}

// The device is gone: its descriptor is closed at once, because a hung-up terminal stays
// readable forever and would keep the notifiers firing.
void TermiosDevice::loseDevice()
{
    release();
    Q_EMIT lost();
}

bool TermiosDevice::hungUp() const
{
    pollfd watched{m_fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void TermiosDevice::checkHangUp()
{
    if (hungUp())
        loseDevice();
    else
        m_hangUpNotifier->setEnabled(false); // not a hang-up; it must not fire again
}

DeviceResult TermiosDevice::drain(ReceiveSink &sink, qsizetype maxBytes)
{
    if (!isOpen())
        return osFailure(EBADF);
    for (const qint16 code : std::exchange(m_pendingEvents, {}))
        sink.receiveEvent(code);

    Delivery delivery(sink, m_lineStatus);
    if (!m_undecoded.isEmpty()) {
        const qsizetype used
            = m_decoder.decode(m_undecoded.constData(), m_undecoded.size(), delivery, maxBytes);
        m_undecoded.remove(0, used);
        if (!m_undecoded.isEmpty())
            return DeviceResult::success();
    }

    char buffer[ReadChunk];
    while (delivery.delivered() < maxBytes) {
        // A marked stream is never shorter than its data, so reading no more than the room
        // left keeps every byte read deliverable.
        const qsizetype room = maxBytes - delivery.delivered();
        const ssize_t got = ::read(m_fd, buffer, size_t(qMin(room, ReadChunk)));
        if (got > 0) {
            countLineErrors(sink);
            const qsizetype used = m_decoder.decode(buffer, got, delivery, room);
            if (used < got) {
                m_undecoded = QByteArray(buffer + used, got - used);
                break;
            }
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            break;
        // With VMIN and VTIME at 0 an idle terminal reads as 0 bytes, like a hung-up one.
        if (got == 0 && !hungUp())
            break;
        if (got < 0 && errno != EIO)
            return osFailure(errno);
        loseDevice();
        break;
    }
    return DeviceResult::success();
}

void TermiosDevice::setReadNotification(bool enabled)
{
    m_readEnabled = enabled;
    if (!isOpen())
        return;
    m_readNotifier->setEnabled(enabled);
    // The read notifier also fires on a hang-up; while it is off, this one looks out for it.
    m_hangUpNotifier->setEnabled(!enabled);
    if (enabled)
        announcePending();
}

// Errors counted by the driver for the bytes just read: overruns become events now, framing
// and parity counts tell the kind of the garbled characters among those bytes.
void TermiosDevice::countLineErrors(ReceiveSink &sink)
{
    serial_icounter_struct icount{};
    if (!m_haveCounters || ::ioctl(m_fd, TIOCGICOUNT, &icount) != 0)
        return;
    for (const qint16 code : m_lineStatus.updateCounters(lineCounters(icount)))
        sink.receiveEvent(code);
}

void TermiosDevice::pollLines()
{
    QList<qint16> events;
    serial_icounter_struct icount{};
    if (m_haveCounters && ::ioctl(m_fd, TIOCGICOUNT, &icount) == 0)
        events += m_lineStatus.updateCounters(lineCounters(icount));
    int bits = 0;
    if (m_haveModemLines && ::ioctl(m_fd, TIOCMGET, &bits) == 0)
        events += m_lineStatus.updateModemLines(modemLines(bits));
    if (events.isEmpty())
        return;
    m_pendingEvents += events;
    announcePending();
}

// Another program with the privilege to pass our exclusive claim may change the port's
// settings, and a driver may lose them; either garbles what arrives from then on. Reported
// once per episode, and the settings are put back.
void TermiosDevice::checkSettings()
{
    termios current{};
    const bool readable = ::tcgetattr(m_fd, &current) == 0;
    if (readable && settingsTaken(current)) {
        m_settingsLost = false;
        return;
    }
    if (!m_settingsLost) {
        m_settingsLost = true;
        m_pendingEvents.append(comEventDCB);
        announcePending();
    }
    if (readable) {
        const termios wanted = receiveSettings(current);
        ::tcsetattr(m_fd, TCSANOW, &wanted);
    }
}

// Events found by the line poll, and bytes the sink had no room for, are delivered by the
// next drain; readyRead() asks for it.
void TermiosDevice::announcePending()
{
    if (!m_readEnabled || m_announcePosted || (m_pendingEvents.isEmpty() && m_undecoded.isEmpty()))
        return;
    m_announcePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_announcePosted = false;
            if (isOpen() && m_readEnabled && (!m_pendingEvents.isEmpty() || !m_undecoded.isEmpty()))
                Q_EMIT readyRead();
        },
        Qt::QueuedConnection);
}
