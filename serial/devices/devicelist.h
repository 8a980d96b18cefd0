#pragma once

#include <QList>
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

// One listed device: its path in the dev folder, and which node it leads to. A device pulled
// and plugged in again between two looks keeps its path but not its node.
struct DeviceEntry
{
    QString path;
    quint64 device = 0; // the device number the entry leads to
    quint64 inode = 0;
    qint64 changeTimeNs = 0;

    bool operator==(const DeviceEntry &) const = default;
};

// The serial devices behind port numbers 1, 2, 3, ...: USB CDC-ACM devices (ttyACM<n>), then
// USB serial adapters (ttyUSB<n>), then on-board UARTs that have hardware behind them, each
// kind in numeric order of the entry's name.
//
// Devices are found by listing the dev folder, so a private /dev (pseudo-terminals mounted as
// ttyACM<n>) is honoured. An entry counts only if it leads (through symbolic links) to a
// character device, and never if that device is a console: by the name it leads to (the
// kernel's active consoles and console flag in sysfs), by its device number (an active
// console's, /dev/console, /dev/tty and the virtual consoles), or by its own name. The listed
// path is the entry in the dev folder, whatever it leads to. On-board UARTs also need their
// sysfs entry to show real hardware, which USB devices do not.
//
// Both folders are constructor arguments only so that tests can point them at fake trees.
class DeviceList
{
public:
    explicit DeviceList(QString devDir = QStringLiteral("/dev"),
                        QString sysTtyDir = QStringLiteral("/sys/class/tty"));

    // Looked up afresh at each call; not capped at any number of ports.
    QStringList devices() const;
    // The same devices with the nodes they lead to.
    QList<DeviceEntry> entries() const;
    // Reads the USB identity (maker, product, serial number, vendor and product ids) of the
    // device at `path` from sysfs. The strings come from the device itself: each is made
    // printable and cut to 64 characters (see printableText()).
    DeviceInfo describe(const QString &path) const;

    QString devDir() const { return m_devDir; }
    QString sysTtyDir() const { return m_sysTtyDir; }

private:
    QString m_devDir;
    QString m_sysTtyDir;
};
