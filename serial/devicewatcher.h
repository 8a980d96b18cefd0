#pragma once

#include <QObject>
#include <QStringList>

#include <chrono>
#include <functional>

class DeviceList;
class QTimer;

// Tells when the candidate serial devices change (a scanner plugged in, pulled or re-plugged)
// by asking the device list again at a fixed interval while started. One look-up lists the dev
// folder and reads a few sysfs attributes, well under a millisecond.
class DeviceWatcher : public QObject
{
    Q_OBJECT

public:
    using DeviceSource = std::function<QStringList()>;
    static constexpr std::chrono::milliseconds DefaultInterval{1000};

    explicit DeviceWatcher(DeviceSource source,
                           std::chrono::milliseconds interval = DefaultInterval,
                           QObject *parent = nullptr);
    explicit DeviceWatcher(const DeviceList &list,
                           std::chrono::milliseconds interval = DefaultInterval,
                           QObject *parent = nullptr);

    // Takes the current devices as the baseline, so only later changes are reported.
    void start();
    void stop();
    bool isActive() const;
    // The devices seen at the last look-up.
    QStringList devices() const { return m_devices; }

Q_SIGNALS:
    void changed();

private:
    void poll();

    DeviceSource m_source;
    QTimer *m_timer;
    QStringList m_devices;
};
