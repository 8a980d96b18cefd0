#pragma once

#include "linewatch.h"
#include "markdecoder.h"
#include "portclaim.h"
#include "serialdevice.h"

#include <QByteArray>
#include <QStringList>

#include <memory>

class QSocketNotifier;
struct termios;

// A serial device driven through the Linux terminal interface.
//
// open() leaves alone a device that another program uses, and then changes nothing on it (see
// PortClaim). Only character devices are opened.
//
// Received bytes are marked by the terminal (PARMRK) so that breaks and characters received
// with framing or parity errors become events in their place in the data; a garbled character
// is delivered as its event followed by the character itself. What the driver tells about the
// line and the port's settings beside the data is watched by a LineWatch.
//
// The settings the port had are put back by close(), and by PortRestore however else the
// process ends.
class TermiosDevice : public SerialDevice
{
    Q_OBJECT

public:
    explicit TermiosDevice(QStringList lockDirs = PortClaim::defaultLockDirs(),
                           QObject *parent = nullptr);
    ~TermiosDevice() override;

    DeviceResult open(const QString &path) override;
    DeviceResult close() override;
    bool isOpen() const override { return m_fd >= 0; }
    DeviceResult drain(ReceiveSink &sink, qsizetype maxBytes) override;
    void setReadNotification(bool enabled) override;

private:
    DeviceResult setUp(int fd);
    void startWatching();
    void release();
    bool hungUp() const;
    void checkHangUp();

    PortClaim m_claim;
    int m_fd = -1;
    std::unique_ptr<termios> m_savedSettings;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    // Watches for a hang-up while reading is paused, when the read notifier cannot.
    std::unique_ptr<QSocketNotifier> m_hangUpNotifier;
    LineWatch m_lineWatch;
    MarkDecoder m_decoder;
    QByteArray m_undecoded; // read but not yet delivered: the sink had no room left
};
