#include "commcontrol.h"

#include "commevents.h"

#include <QElapsedTimer>

#include <cerrno>

namespace {

// One dispatch pass hands out events for at most this long before it lets the event loop
// run timers and repaints.
constexpr qint64 DispatchSliceNs = 4'000'000;
// Reading the clock costs about a tenth of a short handler, so it is read after every few
// events only; a slice overruns by a few handlers at most.
constexpr int EventsPerClockRead = 8;
constexpr int RetryIntervalMs = 50;

// The one place where OS failures become the control's failure numbers: a device that is not
// there at all is a bad port number; one that is there but cannot be had (held by another
// program, locked, forbidden, not a terminal, failing) is unavailable.
CommResult openFailure(const QString &path, const DeviceResult &result)
{
    switch (result.error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return CommResult::failure(BadPortNumber,
                                   QStringLiteral("No such port: %1: %2").arg(path, result.reason));
    default:
        return CommResult::failure(
            DeviceUnavailable, QStringLiteral("Port unavailable: %1: %2").arg(path, result.reason));
    }
}

CommResult notOpen()
{
    return CommResult::failure(PortNotOpen, QStringLiteral("The port is not open"));
}

} // namespace

CommControl::CommControl(std::unique_ptr<SerialDevice> device, PortList ports, QObject *parent)
    : CommControl(std::move(device), std::move(ports), Settings{}, parent)
{}

CommControl::CommControl(std::unique_ptr<SerialDevice> device, PortList ports, Settings settings,
                         QObject *parent)
    : QObject(parent)
    , m_device(std::move(device))
    , m_ports(std::move(ports))
    , m_settings(settings)
    , m_buffer(settings.bufferSize)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(RetryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, &CommControl::scheduleDispatch);
    connect(m_device.get(), &SerialDevice::readyRead, this, &CommControl::drainDevice);
    connect(m_device.get(), &SerialDevice::lost, this, &CommControl::deviceLost);
}

CommControl::~CommControl()
{
    // The window never closes the port on exit; releasing it here restores its settings.
    if (m_device->isOpen())
        m_device->close();
}

CommResult CommControl::setCommPort(qint16 port)
{
    if (port < 1)
        return CommResult::failure(BadPortNumber, QStringLiteral("No such port: %1").arg(port));
    m_commPort = port;
    return CommResult::success();
}

CommResult CommControl::setPortOpen(bool open)
{
    return open ? this->open() : close();
}

QStringList CommControl::holdPortList()
{
    m_heldPorts = m_ports();
    return *m_heldPorts;
}

void CommControl::releasePortList()
{
    m_heldPorts.reset();
}

CommResult CommControl::open()
{
    if (m_open)
        return CommResult::success();
    const QStringList ports = m_heldPorts ? *m_heldPorts : m_ports();
    if (m_commPort > ports.size())
        return CommResult::failure(
            BadPortNumber, QStringLiteral("No such port: no device for port %1").arg(m_commPort));
    const QString path = ports.at(m_commPort - 1);
    const DeviceResult result = m_device->open(path);
    if (!result.ok())
        return openFailure(path, result);
    m_buffer.clear();
    m_open = true;
    m_lost = false;
    m_paused = false;
    m_overflowReported = false;
    m_devicePath = path;
    m_device->setReadNotification(true);
    return CommResult::success();
}

CommResult CommControl::close()
{
    if (!m_open)
        return notOpen();
    m_open = false;
    m_lost = false;
    m_buffer.clear();
    const QString path = std::exchange(m_devicePath, {});
    if (m_device->isOpen()) {
        const DeviceResult result = m_device->close();
        if (!result.ok())
            return CommResult::failure(
                DeviceUnavailable,
                QStringLiteral("Port unavailable: %1: %2").arg(path, result.reason));
    }
    return CommResult::success();
}

CommInput CommControl::Input()
{
    if (!m_open)
        return {{}, notOpen()};
    CommInput input{m_buffer.take(m_settings.charsPerRead), CommResult::success()};
    if (m_paused && m_buffer.space() >= m_buffer.capacity() / 2) {
        m_paused = false;
        m_device->setReadNotification(true);
        drainDevice();
    }
    return input;
}
void CommControl::drainDevice()
{
    if (!m_open || m_lost || m_paused)
        return;
    const DeviceResult result = m_device->drain(m_buffer, m_buffer.space());
    if (!result.ok()) {
        // A device that cannot be read any more is as good as gone.
        if (m_device->isOpen())
            m_device->close();
        deviceLost();
        return;
    }
    if (m_buffer.space() == 0) {
        // Reported once per episode, which lasts until a drain leaves room to spare; what the
        // device still holds stays with the OS meanwhile.
        if (!m_overflowReported)
            m_buffer.receiveEvent(comEventRxOver);
        m_overflowReported = true;
        m_paused = true;
        m_device->setReadNotification(false);
    } else {
        m_overflowReported = false;
    }
    scheduleDispatch();
}

void CommControl::deviceLost()
{
    if (!m_open || m_lost)
        return;
    m_lost = true;
    // What arrived before the device went away is still delivered; then the port closes.
    scheduleDispatch();
}

void CommControl::scheduleDispatch()
{
    if (m_dispatchPosted || m_dispatching)
        return;
    m_dispatchPosted = true;
    QMetaObject::invokeMethod(this, &CommControl::dispatch, Qt::QueuedConnection);
}

void CommControl::dispatch()
{
    m_dispatchPosted = false;
    if (m_dispatching) // a handler is waiting in a nested event loop (a message box)
        return;
    m_dispatching = true;
    QElapsedTimer slice;
    slice.start();
    bool more = false;
    bool stalled = false;
    int sinceClockRead = 0;
    while (m_open) {
        const qint16 code = m_buffer.nextEvent();
        if (code == 0)
            break;
        const qsizetype before = m_buffer.bytesWaiting();
        m_commEvent = code;
        Q_EMIT OnComm();
        if (code == comEvReceive && m_buffer.bytesWaiting() == before) {
            stalled = true; // the handler left the characters waiting: raise it again later
            break;
        }
        if (++sinceClockRead == EventsPerClockRead) {
            sinceClockRead = 0;
            if (slice.nsecsElapsed() > DispatchSliceNs) {
                more = true;
                break;
            }
        }
    }
    m_dispatching = false;
    if (m_open && m_lost && m_buffer.isEmpty()) {
        m_open = false;
        m_devicePath.clear();
        Q_EMIT portLost();
        return;
    }
    if (stalled)
        m_retry.start();
    else if (more || (m_open && !m_buffer.isEmpty()))
        scheduleDispatch();
}
