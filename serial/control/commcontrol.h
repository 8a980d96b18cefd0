#pragma once

#include "commresult.h"
#include "receivebuffer.h"
#include "serialdevice.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// The serial communications control: owns one port at a time, opens and closes it on request,
// buffers what it receives and reports received data and line events through OnComm(), one
// event at a time, in the order they occurred. It never writes to the port.
//
// Every operation that can fail says so in its result, with a number from commresult.h.
class CommControl : public QObject
{
    Q_OBJECT

public:
    // The devices behind port numbers 1, 2, 3, ... in order.
    using PortList = std::function<QStringList()>;

    struct Settings
    {
        qsizetype charsPerRead = 1;       // characters Input() returns at most
        qsizetype bufferSize = 64 * 1024; // receive buffer, in bytes
    };

    CommControl(std::unique_ptr<SerialDevice> device, PortList ports, QObject *parent = nullptr);
    CommControl(std::unique_ptr<SerialDevice> device, PortList ports, Settings settings,
                QObject *parent = nullptr);
    ~CommControl() override;

    qint16 CommPort() const { return m_commPort; }
    // Selects the port the next open uses. While a port is open the selection is only noted:
    // the open port stays as it is until it is closed.
    CommResult setCommPort(qint16 port);

    bool PortOpen() const { return m_state != State::Closed; }
    // Opening an open port changes nothing and succeeds; closing a closed one fails with 8012.
    CommResult setPortOpen(bool open);

    // Removes up to the read length of waiting characters and returns them; empty when nothing
    // waits. Each received byte becomes the character with the same code.
    CommInput Input();
    qint16 CommEvent() const { return m_commEvent; }
    // Received characters not yet read.
    qsizetype charsWaiting() const { return m_buffer.bytesWaiting(); }
    // Nothing waits to be reported: no characters and no line events.
    bool isIdle() const { return m_buffer.isEmpty() && m_dispatch != Dispatch::Posted; }

    // Reads the device list once and keeps using it for every open until releasePortList(),
    // so that a run of opens (a scan's probe and its connect) agrees on which device each
    // number means, whatever is plugged in meanwhile. Returns the list.
    QStringList holdPortList();
    void releasePortList();

    // The device path of the open port, empty when closed.
    QString devicePath() const { return m_devicePath; }

Q_SIGNALS:
    void OnComm();
    // The open port's device went away; the port is closed now.
    void portLost();

private:
    enum class State {
        Closed,
        Open,   // reading whenever the device has data
        Paused, // the buffer is full: the rest waits with the OS until a dispatch makes room
        Lost,   // the device went away: what it sent is delivered, then the port closes
    };
    // Whether a dispatch pass is on its way. This is not the port's life but a guard: a handler
    // may open a message box, whose nested event loop must not start a second pass inside the
    // running one, and any number of reads between two passes post one pass only.
    enum class Dispatch { Idle, Posted, Running };

    CommResult open();
    CommResult close();
    void deviceReadable();
    void readDevice();
    void addLineEvents(const QList<qint16> &codes);
    void deviceLost();
    void scheduleDispatch();
    void dispatch();

    std::unique_ptr<SerialDevice> m_device;
    PortList m_ports;
    std::optional<QStringList> m_heldPorts;
    Settings m_settings;
    ReceiveBuffer m_buffer;
    qint16 m_commPort = 1;
    qint16 m_commEvent = 0;
    State m_state = State::Closed;
    Dispatch m_dispatch = Dispatch::Idle;
    // Asks again, unhurried, when a handler left characters unread.
    QTimer m_retry;
    QString m_devicePath;
};
