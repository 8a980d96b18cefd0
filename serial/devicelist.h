#pragma once

#include <QString>
#include <QStringList>

// What is known about one serial device, for a tooltip. The USB fields stay empty for devices
// that are not on USB or whose sysfs entry is missing.
struct DeviceInfo
{
    QString path;
    QString manufacturer;
    QString product;
    QString serialNumber;
    QString vendorId; // four hex digits, as sysfs spells them
    QString productId;

    bool isUsb() const { return !vendorId.isEmpty(); }
    // "/dev/ttyACM0 — Acme Scanners, BarScan 2000, serial A1B2C3 (USB 1234:5678)", or only the
    // path when nothing more is known.
    QString text() const;
};

// The serial devices behind port numbers 1, 2, 3, ...: USB CDC-ACM devices (ttyACM<n>), then
// USB serial adapters (ttyUSB<n>), then on-board UARTs that have hardware behind them, each
// kind in numeric order. A device that is the system console is never listed.
//
// Devices are found by listing the dev folder, so a private /dev (pseudo-terminals mounted as
// ttyACM<n>) is honoured. Any entry there that exists and is not a directory counts: a real
// /dev holds character devices, and tests put plain files in a temporary folder. On-board
// UARTs also need their sysfs entry to show real hardware, which USB devices do not.
//
// Both folders are constructor arguments only so that tests can point them at fake trees.
class DeviceList
{
public:
    explicit DeviceList(QString devDir = QStringLiteral("/dev"),
                        QString sysTtyDir = QStringLiteral("/sys/class/tty"));

    // Looked up afresh at each call; not capped at any number of ports.
    QStringList devices() const;
    // Reads the USB identity (maker, product, serial number, vendor and product ids) of the
    // device at `path` from sysfs.
    DeviceInfo describe(const QString &path) const;

    QString devDir() const { return m_devDir; }
    QString sysTtyDir() const { return m_sysTtyDir; }

private:
    QString m_devDir;
    QString m_sysTtyDir;
};
