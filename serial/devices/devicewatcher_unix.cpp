#include "devicewatcher.h"

#include <QFileInfo>
#include <QFileSystemWatcher>

namespace {

// Changes in a folder, through inotify. The watch is made on the first watch() and dropped by
// stop(), so that no inotify instance is kept while nothing is watched.
class FolderNotice : public ChangeNotice
{
public:
    explicit FolderNotice(QString folder)
        : m_folder(std::move(folder))
    {}

    bool watch() override
    {
        if (!QFileInfo(m_folder).isDir())
            return false;
        if (!m_watch) {
            m_watch = std::make_unique<QFileSystemWatcher>();
            connect(m_watch.get(), &QFileSystemWatcher::directoryChanged, this,
                    &ChangeNotice::changed);
        }
        return m_watch->directories().contains(m_folder) || m_watch->addPath(m_folder);
    }
    // A folder that was removed (and perhaps made anew) drops out of the watch.
    bool watching() const override { return !m_watch || !m_watch->directories().isEmpty(); }
    void stop() override { m_watch.reset(); }

private:
    QString m_folder;
    std::unique_ptr<QFileSystemWatcher> m_watch;
};

} // namespace

DeviceWatcher::DeviceWatcher(const DeviceList &list, std::chrono::milliseconds interval,
                             QObject *parent)
    : DeviceWatcher([list] { return list.entries(); },
                    std::make_unique<FolderNotice>(list.devDir()), interval, parent)
{}
