#pragma once

#include "commapi_win.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

// A COM port in memory behind the Win32 calls: tests feed it bytes, flag line errors, move the
// modem lines, hold it for another program or pull it out, and look at its settings. Pending
// overlapped calls complete as a driver's do, by setting their event, so the device learns of
// them through its event loop as it would from Windows.
class FakeCommApi : public CommApi
{
public:
    // The port as the test sees it; kept by the test after the device took the API.
    struct Port
    {
        DWORD openError = 0;            // CreateFile fails with this; ERROR_ACCESS_DENIED: held
        bool refuses9600 = false;       // the driver keeps its old speed
        bool waitsForLineEvents = true; // false: WaitCommEvent fails as wine's does
        bool tellsModemLines = true;    // false: GetCommModemStatus fails as wine's does
        DCB state{};
        COMMTIMEOUTS timeouts{};
        bool open = false;
        bool gone = false;
        QString openedName;
        DWORD modemLines = 0; // MS_*_ON
        // Received, not yet read, and the line errors flagged since ClearCommError().
        QByteArray input;
        DWORD errors = 0;
        DWORD mask = 0;
    };

    explicit FakeCommApi(std::shared_ptr<Port> port);

    // The far end: bytes arrive, a line error is flagged, the modem lines move (a pulse is a
    // change there and back, which only the driver's events show), a ring.
    void arrive(const QByteArray &bytes);
    void flagError(DWORD error);
    void setModemLines(DWORD lines);
    void pulse(DWORD event);
    // The device is pulled out: pending calls fail, and so does every call from now on.
    void pullOut();

    HANDLE createFile(const wchar_t *name, DWORD access, DWORD shareMode, DWORD flags) override;
    BOOL closeHandle(HANDLE handle) override;
    BOOL getCommState(HANDLE handle, DCB *dcb) override;
    BOOL setCommState(HANDLE handle, DCB *dcb) override;
    BOOL getCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) override;
    BOOL setCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) override;
    BOOL setCommMask(HANDLE handle, DWORD mask) override;
    BOOL waitCommEvent(HANDLE handle, DWORD *mask, OVERLAPPED *overlapped) override;
    BOOL getCommModemStatus(HANDLE handle, DWORD *status) override;
    BOOL clearCommError(HANDLE handle, DWORD *errors, COMSTAT *status) override;
    BOOL readFile(HANDLE handle, void *buffer, DWORD size, OVERLAPPED *overlapped) override;
    BOOL getOverlappedResult(HANDLE handle, OVERLAPPED *overlapped, DWORD *transferred,
                             BOOL wait) override;
    BOOL cancelIo(HANDLE handle) override;
    DWORD lastError() override { return m_lastError; }

private:
    struct Call
    {
        bool done = false;
        DWORD transferred = 0;
        DWORD error = 0;
    };

    BOOL fail(DWORD error);
    bool usable(HANDLE handle);
    void complete(OVERLAPPED *overlapped, DWORD transferred, DWORD error = 0);
    void tryPendingRead();
    void endWait(DWORD events);

    std::shared_ptr<Port> m_port;
    DWORD m_lastError = 0;
    QHash<OVERLAPPED *, Call> m_calls;
    OVERLAPPED *m_pendingRead = nullptr;
    char *m_readBuffer = nullptr;
    DWORD m_readSize = 0;
    OVERLAPPED *m_pendingWait = nullptr;
    DWORD *m_waitMask = nullptr;
};
