#pragma once

#include "devicelist.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

// Tells that the place where devices are listed changed, so that the list is looked at again:
// the dev folder on Linux, the registry's map of serial ports on Windows.
class ChangeNotice : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts watching, or makes sure it still does; false when it cannot (the place is
    // missing, or the OS has no more watches to give).
    virtual bool watch() = 0;
    // Whether changes are still noticed: a watched folder that was removed is not.
    virtual bool watching() const = 0;
    // Gives up what watching holds.
    virtual void stop() = 0;

Q_SIGNALS:
    void changed();
};

// Tells when the candidate serial devices change: a scanner plugged in, pulled, or pulled and
// plugged in again.
//
// Watching a DeviceList is event-driven: the dev folder is watched (inotify), and a burst of
// changes there (a device node, then its permissions) is taken as one after a short quiet
// time. Devices are compared by their path and the node it leads to, so a device re-plugged
// under the same name is a change. Only if the folder cannot be watched is the list looked at
// every `interval` instead. While waiting, the watcher costs nothing.
//
// Watching a DeviceSource with a ChangeNotice (Windows: the COM ports the registry maps) looks
// it up a settle time after each change the notice tells of, and compares the paths; only
// while the notice cannot watch is the source looked up every `interval`. Without a notice
// (tests, with a list of their own) it is looked up every `interval`.
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
    DeviceWatcher(DeviceSource source, std::unique_ptr<ChangeNotice> notice,
                  std::chrono::milliseconds interval = DefaultInterval, QObject *parent = nullptr);
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
    DeviceWatcher(std::function<QList<DeviceEntry>()> source, std::unique_ptr<ChangeNotice> notice,
                  std::chrono::milliseconds interval, QObject *parent);
    void watchNotice();
    void noticed();
    void look();

    std::function<QList<DeviceEntry>()> m_source;
    std::unique_ptr<ChangeNotice> m_notice; // null: the source is polled
    QTimer m_poll;
    QTimer m_settle;
    QList<DeviceEntry> m_entries;
    QStringList m_arrived;
    bool m_active = false;
};
