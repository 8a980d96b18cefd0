#pragma once

#include "linestatus.h"
#include "markdecoder.h"
#include "serialdevice.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSocketNotifier;
struct termios;

// A serial device driven through the Linux terminal interface.
//
// open() claims the device before it changes anything: a device held by another program
// (flock, TIOCEXCL, or a UUCP lock file "LCK..<name>" of a running process in one of the lock
// directories) fails with EBUSY and keeps that program's settings. Lock files are only
// honoured, never created: flock and TIOCEXCL are this program's claim, and they vanish with
// it, so no stale lock can be left behind.
//
// Received bytes are marked by the terminal (PARMRK) so that breaks and characters received
// with framing or parity errors become events in their place in the data; a garbled character
// is delivered as its event followed by the character itself. Where the driver keeps line
// counters (TIOCGICOUNT) they tell framing from parity errors and reveal overruns; where it
// reports modem lines (TIOCMGET) their changes are polled while the device is open. Pseudo
// terminals have neither, and the device then simply goes without. Once a second it checks
// that the port still runs at 9600 8N1 with marking on; if another (privileged) program
// changed that, the device reports comEventDCB and puts its settings back.
class TermiosDevice : public SerialDevice
{
    Q_OBJECT

public:
    static QStringList defaultLockDirs();

    explicit TermiosDevice(QStringList lockDirs = defaultLockDirs(), QObject *parent = nullptr);
    ~TermiosDevice() override;

    DeviceResult open(const QString &path) override;
    DeviceResult close() override;
    bool isOpen() const override { return m_fd >= 0; }
    DeviceResult drain(ReceiveSink &sink, qsizetype maxBytes) override;
    void setReadNotification(bool enabled) override;

private:
    DeviceResult claim(int fd);
    void startWatching();
    void release();
    void loseDevice();
    bool hungUp() const;
    void checkHangUp();
    void countLineErrors(ReceiveSink &sink);
    void pollLines();
    void checkSettings();
    void announcePending();

    QStringList m_lockDirs;
    int m_fd = -1;
    std::unique_ptr<termios> m_savedSettings;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    // Watches for a hang-up while reading is paused, when the read notifier cannot.
    std::unique_ptr<QSocketNotifier> m_hangUpNotifier;
    QTimer m_lineTimer;
    // Looks now and then whether the port still has this program's settings.
    QTimer m_settingsTimer;
    bool m_settingsLost = false; // reported; cleared once the settings are back
    bool m_readEnabled = true;
    bool m_haveCounters = false;
    bool m_haveModemLines = false;
    bool m_announcePosted = false;
    MarkDecoder m_decoder;
    LineStatus m_lineStatus;
    QByteArray m_undecoded; // read but not yet delivered: the sink had no room left
    QList<qint16> m_pendingEvents;
};
