#include "testercore.h"

#include "feedback.h"

#include <QCoreApplication>

namespace {

const QString StatusTitle = QStringLiteral("Com Status");

} // namespace

void TesterCore::Form_Activate()
{
    // Let the window draw itself before the scan blocks it.
    QCoreApplication::processEvents();
    m_activated = true;
    ScanComPorts();
}

void TesterCore::ScanComPorts()
{
    if (m_scanning)
        return;
    m_scanning = true;
    m_retry.stop();

    std::array<qint16, 7> PortUnavailable{};
    QString PortReport;
    qint16 i = 0;
    m_portFailures.fill(QString());

    // The failure trap: a statement that fails is skipped, and a failure meaning "this port
    // cannot be had" marks the port under test.
    const auto trap = [&](const CommResult &result) {
        switch (result.number()) {
        case DeviceUnavailable:
        case BadPortNumber:
        case PortNotOpen:
            PortUnavailable[i] = 1;
            if (i >= 1 && i <= LastPort && m_portFailures[i].isEmpty())
                m_portFailures[i] = result.message();
            break;
        default:
            break;
        }
    };
    const auto report = [&] {
        QString text;
        for (qint16 port = 1; port <= LastPort; ++port) {
            // " 1": a non-negative number is formatted with a leading space for its sign.
            text += QStringLiteral("Com Port") + u' ' + QString::number(port);
            text += PortUnavailable[port] == 0 ? QStringLiteral(" available")
                                               : QStringLiteral(" unavailable");
            text += u'\r';
        }
        return text;
    };

    // The probe and the connect agree on which device each number means, whatever is plugged
    // in while the report is on screen; a device that appears meanwhile brings a later scan.
    m_scanPorts = ComPort.holdPortList();

    if (ComPort.PortOpen())
        trap(ComPort.setPortOpen(false));

    for (i = 1; i <= LastPort; ++i) {
        trap(ComPort.setCommPort(i));
        if (ComPort.PortOpen())
            trap(ComPort.setPortOpen(false));
        trap(ComPort.setPortOpen(true));
        trap(ComPort.setPortOpen(false));
    }

    PortReport = report();
    // While the report is on screen, the connection's details name what was probed.
    Q_EMIT changed(Field::Connection);
    m_feedback->messageBox(PortReport, StatusTitle);

    bool passedOver = false;
    for (i = 1; i <= LastPort; ++i) {
        if (PortUnavailable[i] != 0)
            continue;
        if (i <= m_scanPorts.size() && leftAlone(m_scanPorts.at(i - 1))) {
            m_portFailures[i] = waitingReason();
            passedOver = true;
            continue;
        }
        trap(ComPort.setCommPort(i));
        trap(ComPort.setPortOpen(true));
        if (ComPort.PortOpen()) {
            ComPort.releasePortList();
            m_scanning = false;
            connected(i);
            return;
        }
        // Taken between the probe and now: the trap marked it; try the next free port.
    }

    ComPort.releasePortList();
    if (passedOver) {
        // Free ports there were, but none is the lost scanner or a device plugged in since:
        // the wait goes on quietly.
        m_scanning = false;
        Q_EMIT changed(Field::Connection);
        lookForScanners();
        return;
    }
    PortReport = report();
    m_feedback->messageBox(
        QStringLiteral("Com Ports not available. Either free existing Com Port or add new Port"),
        StatusTitle);
    m_feedback->messageBox(PortReport, StatusTitle);
    m_scanning = false;
    Q_EMIT changed(Field::Connection);
    lookForScanners();
}

void TesterCore::connected(qint16 port)
{
    setCommLabel(QStringLiteral("Connect to Comm ") + QString::number(port));
    m_openDevice = ComPort.devicePath();
    m_presentAtLoss.reset();
    m_retry.stop();
    Q_EMIT changed(Field::Connection);
}
