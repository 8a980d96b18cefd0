#pragma once

#include "deviceresult.h"

#include <QList>
#include <QObject>

// Where a device delivers what it received: data bytes and line events, in the order in which
// they occurred on the line.
class ReceiveSink
{
public:
    virtual ~ReceiveSink() = default;
    // Space for a device to read up to `size` bytes into, valid until the next readSpace(); null
    // where the sink offers none. Bytes read there count as received once passed, in order, to
    // receiveBytes(), which then need not copy them; what the device passes from elsewhere
    // meanwhile (a byte it decoded) never makes more than it read there.
    virtual char *readSpace(qsizetype size)
    {
        Q_UNUSED(size);
        return nullptr;
    }
    virtual void receiveBytes(const char *data, qsizetype size) = 0;
    // An event code of the control's event table (break, framing error, CTS change, ...).
    virtual void receiveEvent(qint16 code) = 0;
};

// One serial device, opened for receiving only at 9600 baud 8N1. The real implementation
// drives the OS's terminal interface; tests put a fake in its place.
class SerialDevice : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens `path` with exclusive access; a device held by another program fails and keeps
    // that program's settings.
    virtual DeviceResult open(const QString &path) = 0;
    // Restores the settings the device had before open() and releases it.
    virtual DeviceResult close() = 0;
    virtual bool isOpen() const = 0;
    // Moves up to `maxBytes` data bytes (and the line events among them) into `sink`. A device
    // found gone is closed, and the result is a failure; what was read before is in `sink`.
    virtual DeviceResult drain(ReceiveSink &sink, qsizetype maxBytes) = 0;
    // While disabled, readyRead() is not emitted; data stays with the OS, which applies its
    // own flow control or counts an overrun.
    virtual void setReadNotification(bool enabled) = 0;

Q_SIGNALS:
    // Data waits to be drained.
    void readyRead();
    // Line events found beside the reads (modem lines, settings), in the order found; they
    // follow everything drained so far.
    void lineEvents(const QList<qint16> &codes);
    // The device went away while nothing was reading it (a hang-up while reading is paused).
    // It has been closed already.
    void lost();
};
