#pragma once

#include "devicelist.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class QFileSystemWatcher;

// Tells when the candidate serial devices change: a scanner plugged in, pulled, or pulled and
// plugged in again.
//
// Watching a DeviceList is event-driven: the dev folder is watched (inotify), and a burst of
// changes there (a device node, then its permissions) is taken as one after a short quiet
// time. Devices are compared by their path and the node it leads to, so a device re-plugged
// under the same name is a change. Only if the folder cannot be watched is the list looked at
// every `interval` instead. While waiting, the watcher costs nothing.
//
// Watching a DeviceSource (tests, with a list of their own) looks it up every `interval` and
// compares the paths.
class DeviceWatcher : public QObject
{
    Q_OBJECT

public:
    using DeviceSource = std::function<QStringList()>;
    static constexpr std::chrono::milliseconds DefaultInterval{1000};
    // How long the dev folder has to be quiet before the list is looked at.
    static constexpr std::chrono::milliseconds SettleTime{200};

    explicit DeviceWatcher(DeviceSource source,
                           std::chrono::milliseconds interval = DefaultInterval,
                           QObject *parent = nullptr);
    explicit DeviceWatcher(const DeviceList &list,
                           std::chrono::milliseconds interval = DefaultInterval,
                           QObject *parent = nullptr);
    ~DeviceWatcher() override;

    // Takes the current devices as the baseline, so only later changes are reported.
    void start();
    void stop();
    bool isActive() const { return m_active; }
    // The devices seen at the last look-up.
    QStringList devices() const;
    // Those of devices() that were not there, or led to another node, at the look-up before.
    QStringList arrived() const { return m_arrived; }

Q_SIGNALS:
    void changed();

private:
    DeviceWatcher(std::function<QList<DeviceEntry>()> source, QString folder,
                  std::chrono::milliseconds interval, QObject *parent);
    void watchFolder();
    void folderChanged();
    void look();

    std::function<QList<DeviceEntry>()> m_source;
    QString m_folder; // empty: the source is polled
    QTimer m_poll;
    QTimer m_settle;
    std::unique_ptr<QFileSystemWatcher> m_folderWatch;
    QList<DeviceEntry> m_entries;
    QStringList m_arrived;
    bool m_active = false;
};
