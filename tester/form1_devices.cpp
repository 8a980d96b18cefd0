#include "form1.h"

#include "devicewatcher.h"

#include <QLabel>

void Form1::watchDevices(DeviceWatcher *watcher)
{
    m_watcher = watcher;
    m_watcher->setParent(this);
    connect(m_watcher, &DeviceWatcher::changed, this, &Form1::devicesChanged);
    connectionChanged();
}

void Form1::setDeviceDescriber(std::function<QString(const QString &)> describe)
{
    m_describe = std::move(describe);
    connectionChanged();
}

void Form1::portLost()
{
    // The port's device went away: the label must not go on naming a port that is gone.
    CommLabel->setText(QStringLiteral("No RS232 Connection"));
    connectionChanged();
}

void Form1::devicesChanged()
{
    const QStringList before = std::exchange(m_watchedDevices, m_watcher->devices());
    if (ComPort->PortOpen() || m_scanning || !m_shown)
        return;
    // Only a device that was not there before can bring a scanner; one going away cannot.
    for (const QString &path : m_watchedDevices) {
        if (!before.contains(path)) {
            ScanComPorts();
            return;
        }
    }
}

void Form1::connectionChanged()
{
    const auto describe = [this](const QString &path) {
        return m_describe ? m_describe(path) : path;
    };
    if (ComPort->PortOpen()) {
        CommLabel->setToolTip(describe(ComPort->devicePath()));
        if (m_watcher)
            m_watcher->stop();
        return;
    }
    const QStringList ports = ComPort->lastPortList().mid(0, 4);
    QStringList lines;
    for (qsizetype i = 0; i < ports.size(); ++i)
        lines.append(QStringLiteral("Com Port %1: %2").arg(i + 1).arg(describe(ports.at(i))));
    CommLabel->setToolTip(lines.isEmpty() ? QStringLiteral("No serial devices found")
                                          : lines.join(u'\n'));
    if (m_watcher && !m_watcher->isActive()) {
        m_watcher->start();
        m_watchedDevices = m_watcher->devices();
    }
}
