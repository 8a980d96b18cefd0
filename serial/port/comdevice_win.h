#pragma once

#include "commapi_win.h"
#include "serialdevice.h"

#include <QTimer>

#include <chrono>
#include <memory>

class QWinEventNotifier;

// A Windows COM port ("COM3"), opened for receiving only at 9600 baud 8N1.
//
// open() asks for the port without sharing it: a port that another program holds fails with
// access denied, and its settings stay untouched. The settings the port had (line settings
// and timeouts) are put back by close().
//
// Reading: one overlapped read of a single byte waits for data, and the event it signals
// reaches the event loop through a QWinEventNotifier. Once it completes, drain() reads what
// else waits, as ClearCommError() counts it. With no read timeouts, every read returns exactly
// what it asked for, which is there already; this holds for every driver, and for wine, whose
// serial reads ignore the interval timeout.
//
// Line errors (break, framing, parity, overrun) come from ClearCommError(), before the bytes
// read with it, since Windows does not mark the garbled bytes themselves. Modem line changes
// (CTS, DSR, CD, ring) come from an overlapped WaitCommEvent(); a driver that cannot wait for
// them (wine's) is asked every `linePoll` instead, as far as it can tell the lines at all.
class ComDevice : public SerialDevice
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds DefaultLinePoll{100};

    explicit ComDevice(std::unique_ptr<CommApi> api = std::make_unique<SystemCommApi>(),
                       std::chrono::milliseconds linePoll = DefaultLinePoll,
                       QObject *parent = nullptr);
    ~ComDevice() override;

    // `path` is the port's name: "COM3".
    DeviceResult open(const QString &path) override;
    DeviceResult close() override;
    bool isOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }
    DeviceResult drain(ReceiveSink &sink, qsizetype maxBytes) override;
    void setReadNotification(bool enabled) override;

private:
    // The read that waits for the first byte of the next burst.
    enum class WaitRead { Idle, Pending, Done, Failed };

    DeviceResult failure(DWORD error) const;
    DeviceResult failure(DWORD error, const QString &what) const;
    DeviceResult setUp();
    void startWatching();
    DWORD release();
    void finishPending(OVERLAPPED &overlapped);
    void startWaitRead();
    void collectWaitRead();
    void waitReadSignalled();
    void announceWaitRead();
    DeviceResult gone();
    bool reportLineErrors(ReceiveSink &sink, DWORD *waiting = nullptr);
    bool readWaiting(ReceiveSink &sink, qsizetype maxBytes, qsizetype &delivered);
    void startLineWait();
    void lineWaitSignalled();
    void pollLines();
    QList<qint16> lookAtLines(DWORD mask);

    std::unique_ptr<CommApi> m_api;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    DCB m_savedState{};
    COMMTIMEOUTS m_savedTimeouts{};
    bool m_notify = false;

    OVERLAPPED m_waitReadOverlapped{};
    std::unique_ptr<QWinEventNotifier> m_waitReadNotifier;
    WaitRead m_waitRead = WaitRead::Idle;
    char m_firstByte = 0;
    DWORD m_readError = 0; // why the port can be read no more
    // For the reads of what already waits, which complete at once.
    OVERLAPPED m_readOverlapped{};

    OVERLAPPED m_lineOverlapped{};
    std::unique_ptr<QWinEventNotifier> m_lineNotifier;
    DWORD m_lineMask = 0;
    bool m_lineWaitPending = false;
    QTimer m_linePoll;
    DWORD m_modemStatus = 0;
    bool m_haveModemStatus = false;
};
