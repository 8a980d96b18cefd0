#include "devicewatcher.h"

#include "devicelist.h"

#include <QTimer>

DeviceWatcher::DeviceWatcher(DeviceSource source, std::chrono::milliseconds interval,
                             QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_timer(new QTimer(this))
{
    // A coarse timer lets the OS batch this wake-up with others; a second's slack is fine for
    // noticing a plugged-in device.
    m_timer->setTimerType(Qt::CoarseTimer);
    m_timer->setInterval(interval);
    connect(m_timer, &QTimer::timeout, this, &DeviceWatcher::poll);
}

DeviceWatcher::DeviceWatcher(const DeviceList &list, std::chrono::milliseconds interval,
                             QObject *parent)
    : DeviceWatcher([list] { return list.devices(); }, interval, parent)
{}

void DeviceWatcher::start()
{
    m_devices = m_source();
    m_timer->start();
}

void DeviceWatcher::stop()
{
    m_timer->stop();
}

bool DeviceWatcher::isActive() const
{
    return m_timer->isActive();
}

void DeviceWatcher::poll()
{
    QStringList devices = m_source();
    if (devices == m_devices)
        return;
    m_devices = std::move(devices);
    Q_EMIT changed();
}
