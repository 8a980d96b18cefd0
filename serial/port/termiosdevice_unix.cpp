#include "termiosdevice.h"

#include "commevents.h"
#include "devicenode.h"
#include "portrestore.h"
#include "portsettings.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr qsizetype ReadChunk = 4096;

DeviceResult osFailure(int error)
{
    return DeviceResult::failure(error, QString::fromLocal8Bit(std::strerror(error)));
}

DeviceResult notCharDevice()
{
    return DeviceResult::failure(ENOTTY, QStringLiteral("not a character device"));
}

// Passes decoded data to the sink and turns marks into events at their place in it.
class Delivery : public MarkDecoder::Output
{
public:
    Delivery(ReceiveSink &sink, LineWatch &lineWatch)
        : m_sink(sink)
        , m_lineWatch(lineWatch)
    {}

    void data(const char *bytes, qsizetype size) override
    {
        m_sink.receiveBytes(bytes, size);
        m_delivered += size;
    }
    void mark(MarkDecoder::Mark mark) override
    {
        m_sink.receiveEvent(mark == MarkDecoder::Mark::Break ? qint16(comEventBreak)
                                                             : m_lineWatch.garbledCharEvent());
    }
    qsizetype delivered() const { return m_delivered; }

private:
    ReceiveSink &m_sink;
    LineWatch &m_lineWatch;
    qsizetype m_delivered = 0;
};

} // namespace

TermiosDevice::TermiosDevice(QStringList lockDirs, QObject *parent)
    : SerialDevice(parent)
    , m_claim(std::move(lockDirs))
{
    connect(&m_lineWatch, &LineWatch::eventsFound, this, &SerialDevice::lineEvents);
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
    const std::optional<DeviceNode> node = statDeviceNode(path);
    if (!node)
        return osFailure(errno);
    if (!node->isCharDevice)
        return notCharDevice();
    // A device we may not open fails here, before the costlier look for its users; the
    // window asks again every second until the permission comes.
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK | W_OK, AT_EACCESS) != 0
        && errno == EACCES)
        return osFailure(EACCES);
    if (const DeviceResult free = m_claim.mayOpen(path, *node); !free.ok())
        return free;

    const int fd
        = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        m_claim.openFailed(*node, error);
        return osFailure(error);
    }
    // The name may lead elsewhere by now than when it was looked at.
    const std::optional<DeviceNode> opened = statDeviceNode(fd);
    DeviceResult claimed = notCharDevice();
    if (opened && opened->isCharDevice && opened->device == node->device)
        claimed = m_claim.take(path, *node, fd);
    if (claimed.ok())
        claimed = setUp(fd);
    if (!claimed.ok()) {
        ::close(fd);
        return claimed;
    }
    startWatching();
    return DeviceResult::success();
}

// Sets the claimed device up for receiving; a failure lets go of the claim and undoes all but
// the open itself.
DeviceResult TermiosDevice::setUp(int fd)
{
    const auto fail = [fd](int error) {
        PortClaim::release(fd);
        return osFailure(error);
    };
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0)
        return fail(errno);
    termios wanted = saved;
    makeReceiveSettings(wanted);
    // Recorded before the settings change, so that they are put back however the process ends
    // from here on.
    PortRestore::remember(fd, saved);
    // The input is not flushed. A program that we cannot see (another user's, without a lock)
    // may have the port open, and what waits there is its input; otherwise what waits is what
    // the far end sent, which belongs in the history.
    termios applied{};
    int error = 0;
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0 || ::tcgetattr(fd, &applied) != 0)
        error = errno;
    else if (!hasReceiveSettings(applied))
        error = EINVAL; // the driver cannot do 9600 baud 8N1
    if (error != 0) {
        ::tcsetattr(fd, TCSANOW, &saved);
        PortRestore::forget(fd);
        return fail(error);
    }
    m_fd = fd;
    m_savedSettings = std::make_unique<termios>(saved);
    return DeviceResult::success();
}

// Sets up what watches the open device: read and hang-up notifiers, and the line watch.
void TermiosDevice::startWatching()
{
    m_decoder.reset();
    m_undecoded.clear();

    m_readNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, &SerialDevice::readyRead);
    m_hangUpNotifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Exception);
    m_hangUpNotifier->setEnabled(false);
    connect(m_hangUpNotifier.get(), &QSocketNotifier::activated, this, &TermiosDevice::checkHangUp);
    m_lineWatch.start(m_fd);
}

DeviceResult TermiosDevice::close()
{
    if (!isOpen())
        return osFailure(EBADF);
    const int error = ::tcsetattr(m_fd, TCSANOW, m_savedSettings.get()) == 0 ? 0 : errno;
    PortClaim::release(m_fd);
    release();
    return error == 0 ? DeviceResult::success() : osFailure(error);
}

// Stops watching and closes the descriptor, which also drops the flock.
void TermiosDevice::release()
{
    m_lineWatch.stop();
    // The notifiers and the restore record go before the descriptor: a new open may get the
    // same number.
    m_readNotifier.reset();
    m_hangUpNotifier.reset();
    PortRestore::forget(m_fd);
    ::close(m_fd);
    m_fd = -1;
    m_savedSettings.reset();
    m_undecoded.clear();
}

bool TermiosDevice::hungUp() const
{
    pollfd watched{m_fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL));
}

// A gone device's descriptor is closed at once, here and in drain(), because a hung-up terminal
// stays readable forever and would keep the notifiers firing.
void TermiosDevice::checkHangUp()
{
    if (hungUp()) {
        release();
        Q_EMIT lost();
    } else
        m_hangUpNotifier->setEnabled(false); // not a hang-up; it must not fire again
}

DeviceResult TermiosDevice::drain(ReceiveSink &sink, qsizetype maxBytes)
{
    if (!isOpen())
        return osFailure(EBADF);

    Delivery delivery(sink, m_lineWatch);
    if (!m_undecoded.isEmpty()) {
        const qsizetype used
            = m_decoder.decode(m_undecoded.constData(), m_undecoded.size(), delivery, maxBytes);
        m_undecoded.remove(0, used);
        if (!m_undecoded.isEmpty())
            return DeviceResult::success();
    }

    char ownBuffer[ReadChunk];
    while (delivery.delivered() < maxBytes) {
        // A marked stream is never shorter than its data, so reading no more than the room
        // left keeps every byte read deliverable.
        const qsizetype room = maxBytes - delivery.delivered();
        const qsizetype want = qMin(room, ReadChunk);
        // Read straight into the sink where it offers space: unmarked bytes then stay where
        // they landed.
        char *space = sink.readSpace(want);
        char *buffer = space ? space : ownBuffer;
        const ssize_t got = ::read(m_fd, buffer, size_t(want));
        if (got > 0) {
            // Errors the driver counted for these bytes: overruns are events now, framing and
            // parity counts tell the kind of the garbled characters among them.
            for (const qint16 code : m_lineWatch.countAfterRead())
                sink.receiveEvent(code);
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
        release();
        return DeviceResult::failure(EIO, QStringLiteral("the device went away"));
    }
    return DeviceResult::success();
}

void TermiosDevice::setReadNotification(bool enabled)
{
    if (!isOpen())
        return;
    m_readNotifier->setEnabled(enabled);
    // The read notifier also fires on a hang-up; while it is off, this one looks out for it.
    m_hangUpNotifier->setEnabled(!enabled);
}
