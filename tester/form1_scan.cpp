#include "form1.h"

#include "commerror.h"
#include "feedback.h"

#include <QCoreApplication>
#include <QLabel>

#include <array>

namespace {

const QString StatusTitle = QStringLiteral("Com Status");
constexpr qint16 LastPort = 4;

} // namespace

void Form1::Form_Load() {}

void Form1::Form_Activate()
{
    // Let the window draw itself before the scan blocks it.
    QCoreApplication::processEvents();
    ScanComPorts();
}

void Form1::ScanComPorts()
{
    if (m_scanning)
        return;
    m_scanning = true;

    std::array<qint16, 7> PortUnavailable{};
    QString PortReport;
    qint16 i = 0;

    // The scan's failure trap: a statement that fails is abandoned and the next one runs. A
    // failure meaning "this port cannot be had" marks the port under test.
    const auto trapped = [&](auto &&statement) {
        try {
            statement();
        } catch (const CommError &error) {
            switch (error.number()) {
            case DeviceUnavailable:
            case BadPortNumber:
            case PortNotOpen:
                PortUnavailable[i] = 1;
                break;
            default:
                break;
            }
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

    trapped([&] {
        if (ComPort->PortOpen())
            ComPort->setPortOpen(false);
    });

    for (i = 1; i <= LastPort; ++i) {
        trapped([&] { ComPort->setCommPort(i); });
        trapped([&] {
            if (ComPort->PortOpen())
                ComPort->setPortOpen(false);
        });
        trapped([&] { ComPort->setPortOpen(true); });
        trapped([&] { ComPort->setPortOpen(false); });
    }

    PortReport = report();
    m_feedback->messageBox(PortReport, StatusTitle);

    for (i = 1; i <= LastPort; ++i) {
        if (PortUnavailable[i] != 0)
            continue;
        trapped([&] { ComPort->setCommPort(i); });
        trapped([&] { ComPort->setPortOpen(true); });
        if (ComPort->PortOpen()) {
            CommLabel->setText(QStringLiteral("Connect to Comm ") + QString::number(i));
            m_scanning = false;
            connectionChanged();
            return;
        }
        // Taken between the probe and now: the trap marked it; try the next free port.
        PortUnavailable[i] = 1;
    }

    PortReport = report();
    m_feedback->messageBox(
        QStringLiteral("Com Ports not available. Either free existing Com Port or add new Port"),
        StatusTitle);
    m_feedback->messageBox(PortReport, StatusTitle);
    m_scanning = false;
    connectionChanged();
}
