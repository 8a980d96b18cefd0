#include "testercore.h"

#include "devicewatcher.h"

#include <algorithm>

void TesterCore::watchDevices(std::unique_ptr<DeviceWatcher> watcher)
{
    m_watcher = std::move(watcher);
    connect(m_watcher.get(), &DeviceWatcher::changed, this, &TesterCore::devicesChanged);
    connect(&m_retry, &QTimer::timeout, this, &TesterCore::retryPorts);
    m_watcher->start();
    if (m_activated && !ComPort.PortOpen())
        lookForScanners();
}

void TesterCore::setDeviceDescriber(std::function<QString(const QString &)> describe)
{
    m_describe = std::move(describe);
    Q_EMIT changed(Field::Connection);
}

void TesterCore::portLost()
{
    // The devices present now are not the scanner the user is testing: none of them is opened
    // on its own. The lost device itself, should its node stay or come back, and any device
    // that appears from now on are.
    QStringList present = ComPort.holdPortList();
    ComPort.releasePortList();
    present.removeAll(m_openDevice);
    m_presentAtLoss = present;
    // The port's device went away: the label must not go on naming a port that is gone.
    setCommLabel(QStringLiteral("No RS232 Connection"));
    Q_EMIT changed(Field::Connection);
    lookForScanners();
}

// After a scan that opened nothing, or the loss of the open port: devices that changed while
// the scan's boxes were open are looked at now, and then whenever the watcher sees a change
// or the retry comes round.
void TesterCore::lookForScanners()
{
    if (!m_watcher)
        return;
    if (!m_scanPorts.isEmpty())
        m_retry.start();
    QMetaObject::invokeMethod(this, &TesterCore::retryPorts, Qt::QueuedConnection);
}

bool TesterCore::leftAlone(const QString &path) const
{
    return m_presentAtLoss && m_presentAtLoss->contains(path);
}

QString TesterCore::waitingReason() const
{
    return QStringLiteral("Not opened: Lumora waits for %1, which went away, or a device plugged "
                          "in after it")
        .arg(m_openDevice);
}

void TesterCore::devicesChanged()
{
    if (!m_scanning)
        retryPorts();
}

// While no port is open: a device list that gained a device since the last scan brings a
// new scan, with its report, once per change; otherwise the ports of the list are tried
// again quietly, so that a scanner another program held, or that the user could not open
// yet, is picked up as soon as it can be had. A failed try changes nothing on the device.
void TesterCore::retryPorts()
{
    if (!m_activated || m_scanning || ComPort.PortOpen())
        return;
    const QStringList ports = ComPort.holdPortList().mid(0, LastPort);
    if (m_presentAtLoss) {
        // A device unplugged since the loss counts as new when it comes back.
        m_presentAtLoss->removeIf([&ports](const QString &p) { return !ports.contains(p); });
    }
    if (ports != m_scanPorts.mid(0, LastPort)) {
        const bool onlyRemoved = std::all_of(ports.begin(), ports.end(), [this](const QString &p) {
            return m_scanPorts.contains(p);
        });
        if (!onlyRemoved) {
            ComPort.releasePortList();
            ScanComPorts();
            return;
        }
        m_scanPorts = ports;
        m_portFailures.fill(QString());
    }
    const auto failuresBefore = m_portFailures;
    for (qint16 i = 1; i <= ports.size(); ++i) {
        if (leftAlone(ports.at(i - 1))) {
            m_portFailures[i] = waitingReason();
            continue;
        }
        CommResult result = ComPort.setCommPort(i);
        if (result.ok())
            result = ComPort.setPortOpen(true);
        if (result.ok()) {
            ComPort.releasePortList();
            connected(i);
            return;
        }
        m_portFailures[i] = result.message();
    }
    ComPort.releasePortList();
    if (ports.isEmpty())
        m_retry.stop(); // nothing to try until the watcher sees a device
    if (m_portFailures != failuresBefore)
        Q_EMIT changed(Field::Connection);
}

QString TesterCore::connectionDetails() const
{
    const auto describe = [this](const QString &path) {
        return m_describe ? m_describe(path) : path;
    };
    if (ComPort.PortOpen())
        return describe(ComPort.devicePath());
    QStringList lines;
    for (qint16 i = 1; i <= LastPort && i <= m_scanPorts.size(); ++i) {
        lines.append(QStringLiteral("Com Port %1: %2").arg(i).arg(describe(m_scanPorts.at(i - 1))));
        if (!m_portFailures[i].isEmpty())
            lines.append(QStringLiteral("    ") + m_portFailures[i]);
    }
    return lines.isEmpty() ? QStringLiteral("No serial devices found") : lines.join(u'\n');
}
