#include "devicewatcher.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

DeviceWatcher::DeviceWatcher(DeviceSource source, std::chrono::milliseconds interval,
                             QObject *parent)
    : DeviceWatcher(
        [source = std::move(source)] {
            QList<DeviceEntry> entries;
            for (const QString &path : source())
                entries.append(DeviceEntry{path});
            return entries;
        },
        QString(), interval, parent)
{}

DeviceWatcher::DeviceWatcher(const DeviceList &list, std::chrono::milliseconds interval,
                             QObject *parent)
    : DeviceWatcher([list] { return list.entries(); }, list.devDir(), interval, parent)
{}

DeviceWatcher::DeviceWatcher(std::function<QList<DeviceEntry>()> source, QString folder,
                             std::chrono::milliseconds interval, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_folder(std::move(folder))
{
    // A coarse timer lets the OS batch this wake-up with others; a second's slack is fine for
    // noticing a plugged-in device.
    m_poll.setTimerType(Qt::CoarseTimer);
    m_poll.setInterval(interval);
    connect(&m_poll, &QTimer::timeout, this, &DeviceWatcher::look);
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleTime);
    connect(&m_settle, &QTimer::timeout, this, &DeviceWatcher::look);
}

DeviceWatcher::~DeviceWatcher() = default;

void DeviceWatcher::start()
{
    m_active = true;
    m_entries = m_source();
    m_arrived.clear();
    watchFolder();
}

void DeviceWatcher::stop()
{
    m_active = false;
    m_poll.stop();
    m_settle.stop();
    m_folderWatch.reset(); // no inotify instance is kept while nothing is watched
}

QStringList DeviceWatcher::devices() const
{
    QStringList paths;
    for (const DeviceEntry &entry : m_entries)
        paths << entry.path;
    return paths;
}

// Polls instead while the folder cannot be watched (it is missing, or the system is out of
// inotify watches), and tries again at each poll.
void DeviceWatcher::watchFolder()
{
    if (!m_folder.isEmpty() && QFileInfo(m_folder).isDir()) {
        if (!m_folderWatch) {
            m_folderWatch = std::make_unique<QFileSystemWatcher>();
            connect(m_folderWatch.get(), &QFileSystemWatcher::directoryChanged, this,
                    &DeviceWatcher::folderChanged);
        }
        if (m_folderWatch->directories().contains(m_folder) || m_folderWatch->addPath(m_folder)) {
            m_poll.stop();
            return;
        }
    }
    if (!m_poll.isActive())
        m_poll.start();
}

// The first change of a burst starts the quiet time; later ones fall into it.
void DeviceWatcher::folderChanged()
{
    if (m_active && !m_settle.isActive())
        m_settle.start();
}

void DeviceWatcher::look()
{
    // A folder that was removed (and perhaps made anew) drops out of the watch.
    if (m_poll.isActive() || (m_folderWatch && m_folderWatch->directories().isEmpty()))
        watchFolder();
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
