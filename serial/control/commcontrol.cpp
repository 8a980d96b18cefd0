#include "commcontrol.h"

#include "commevents.h"

#include <QElapsedTimer>

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
    if (isNoSuchDevice(result.error))
        return CommResult::failure(BadPortNumber,
                                   QStringLiteral("No such port: %1: %2").arg(path, result.reason));
    return CommResult::failure(DeviceUnavailable,
                               QStringLiteral("Port unavailable: %1: %2").arg(path, result.reason));
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
    connect(m_device.get(), &SerialDevice::readyRead, this, &CommControl::deviceReadable);
    connect(m_device.get(), &SerialDevice::lineEvents, this, &CommControl::addLineEvents);
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
    if (m_state != State::Closed)
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
    m_state = State::Open;
    m_devicePath = path;
    m_device->setReadNotification(true);
    return CommResult::success();
}

CommResult CommControl::close()
{
    if (m_state == State::Closed)
        return notOpen();
    m_state = State::Closed;
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
    if (m_state == State::Closed)
        return {{}, notOpen()};
    return {m_buffer.take(m_settings.charsPerRead), CommResult::success()};
}

void CommControl::deviceReadable()
{
    if (m_state == State::Open)
        readDevice();
}

// Moves what the device holds into the buffer, as much as fits, and posts a dispatch pass. Called
// when the device has data, and after a pass that made room in a full buffer.
void CommControl::readDevice()
{
    // A read that resumes after a pause is part of the same episode of a full buffer.
    const bool resuming = m_state == State::Paused;
    const DeviceResult result = m_device->drain(m_buffer, m_buffer.space());
    if (!result.ok()) {
        // A device that cannot be read any more is as good as gone; what the read brought is
        // still delivered.
        if (m_device->isOpen())
            m_device->close();
        m_state = State::Lost;
    } else if (m_buffer.space() == 0) {
        // Reported once per episode, which lasts until a read leaves room to spare; what the
        // device still holds stays with the OS meanwhile.
        if (!resuming) {
            m_buffer.receiveEvent(comEventRxOver);
            m_device->setReadNotification(false);
        }
        m_state = State::Paused;
    } else if (resuming) {
        m_state = State::Open;
        m_device->setReadNotification(true);
    }
    scheduleDispatch();
}

// Line events the device found beside its reads belong after everything read so far.
void CommControl::addLineEvents(const QList<qint16> &codes)
{
    if (m_state != State::Open && m_state != State::Paused)
        return;
    for (const qint16 code : codes)
        m_buffer.receiveEvent(code);
    scheduleDispatch();
}

void CommControl::deviceLost()
{
    if (m_state != State::Open && m_state != State::Paused)
        return;
    m_state = State::Lost;
    // What arrived before the device went away is still delivered; then the port closes.
    scheduleDispatch();
}

void CommControl::scheduleDispatch()
{
    if (m_dispatch != Dispatch::Idle)
        return;
    m_dispatch = Dispatch::Posted;
    QMetaObject::invokeMethod(this, &CommControl::dispatch, Qt::QueuedConnection);
}

// Raises OnComm for what waits, one event at a time. Runs from the event loop, never inside a
// read: a handler may open a message box, and the reads and watches of the device must go on
// while it is open.
void CommControl::dispatch()
{
    m_dispatch = Dispatch::Running;
    QElapsedTimer slice;
    slice.start();
    bool more = false;
    bool stalled = false;
    int sinceClockRead = 0;
    while (m_state != State::Closed) {
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
    m_dispatch = Dispatch::Idle;
    if (m_state == State::Lost && m_buffer.isEmpty()) {
        m_state = State::Closed;
        m_devicePath.clear();
        Q_EMIT portLost();
        return;
    }
    if (stalled) {
        m_retry.start();
        return;
    }
    if (m_state == State::Paused && m_buffer.space() >= m_buffer.capacity() / 2)
        readDevice();
    if (more || (m_state != State::Closed && !m_buffer.isEmpty()))
        scheduleDispatch();
}
