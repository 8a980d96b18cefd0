#pragma once

#include "devicewatcher.h"

#include <QString>
#include <QStringList>

#include <memory>

#include <windows.h>

// The COM ports Windows has, behind port numbers 1, 2, 3, ... in the order of their numbers
// (COM1, COM3, COM10), then any port named otherwise, by name. They are read from the
// registry's serial-comm map, which every serial port driver keeps up to date as its ports come
// and go: built-in UARTs, USB modems (CDC-ACM) and USB serial adapters alike.
//
// The map's key is a constructor argument only so that tests can point it at a key of their
// own.
class ComPorts
{
public:
    explicit ComPorts(HKEY root = HKEY_LOCAL_MACHINE,
                      QString key = QStringLiteral("HARDWARE\\DEVICEMAP\\SERIALCOMM"));

    // The port names ("COM3"), looked up afresh at each call; not capped at any number.
    QStringList devices() const;
    // What notices a change of the map, for a DeviceWatcher.
    std::unique_ptr<ChangeNotice> changeNotice() const;
    // "COM3 — USB Serial Device": the port and the friendly name the device manager shows
    // for it, made printable and bounded (see printableText()); only the port when there is
    // none.
    static QString describe(const QString &port);

private:
    HKEY m_root;
    QString m_key;
};
