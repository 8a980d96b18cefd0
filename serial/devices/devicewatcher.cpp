#include "devicewatcher.h"

namespace {

std::function<QList<DeviceEntry>()> entriesOf(DeviceWatcher::DeviceSource source)
{
    return [source = std::move(source)] {
        QList<DeviceEntry> entries;
        for (const QString &path : source())
            entries.append(DeviceEntry{path});
        return entries;
    };
}

} // namespace

DeviceWatcher::DeviceWatcher(DeviceSource source, std::chrono::milliseconds interval,
                             QObject *parent)
    : DeviceWatcher(entriesOf(std::move(source)), nullptr, interval, parent)
{}

DeviceWatcher::DeviceWatcher(DeviceSource source, std::unique_ptr<ChangeNotice> notice,
                             std::chrono::milliseconds interval, QObject *parent)
    : DeviceWatcher(entriesOf(std::move(source)), std::move(notice), interval, parent)
{}

DeviceWatcher::DeviceWatcher(std::function<QList<DeviceEntry>()> source,
                             std::unique_ptr<ChangeNotice> notice,
                             std::chrono::milliseconds interval, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_notice(std::move(notice))
{
    // A coarse timer lets the OS batch this wake-up with others; a second's slack is fine for
    // noticing a plugged-in device.
    m_poll.setTimerType(Qt::CoarseTimer);
    m_poll.setInterval(interval);
    connect(&m_poll, &QTimer::timeout, this, &DeviceWatcher::look);
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleTime);
    connect(&m_settle, &QTimer::timeout, this, &DeviceWatcher::look);
    if (m_notice)
        connect(m_notice.get(), &ChangeNotice::changed, this, &DeviceWatcher::noticed);
}

DeviceWatcher::~DeviceWatcher() = default;

void DeviceWatcher::start()
{
    m_active = true;
    m_entries = m_source();
    m_arrived.clear();
    watchNotice();
}

void DeviceWatcher::stop()
{
    m_active = false;
    m_poll.stop();
    m_settle.stop();
    if (m_notice)
        m_notice->stop();
}

QStringList DeviceWatcher::devices() const
{
    QStringList paths;
    for (const DeviceEntry &entry : m_entries)
        paths << entry.path;
    return paths;
}

// Polls instead while the notice cannot watch (the folder is missing, or the system is out of
// inotify watches), and tries again at each poll.
void DeviceWatcher::watchNotice()
{
    if (m_notice && m_notice->watch()) {
        m_poll.stop();
        return;
    }
    if (!m_poll.isActive())
        m_poll.start();
}

// The first change of a burst starts the quiet time; later ones fall into it.
void DeviceWatcher::noticed()
{
    if (m_active && !m_settle.isActive())
        m_settle.start();
}

void DeviceWatcher::look()
{
    if (m_poll.isActive() || (m_notice && !m_notice->watching()))
        watchNotice();
    QList<DeviceEntry> entries = m_source();
    if (entries == m_entries)
        return;
    m_arrived.clear();
    for (const DeviceEntry &entry : std::as_const(entries)) {
        if (!m_entries.contains(entry))
            m_arrived << entry.path;
    }
    m_entries = std::move(entries);
    Q_EMIT changed();
}
