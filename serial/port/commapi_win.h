#pragma once

#include <windows.h>

// The Win32 calls a ComDevice makes on its port, one for one, so that a test can stand in for
// the OS and produce what no test machine can: modem line changes, line errors, a port held by
// another program or pulled out while it is read. SystemCommApi makes the real calls. The
// arguments and results are those of the calls of the same name.
class CommApi
{
public:
    virtual ~CommApi() = default;

    virtual HANDLE createFile(const wchar_t *name, DWORD access, DWORD shareMode, DWORD flags) = 0;
    virtual BOOL closeHandle(HANDLE handle) = 0;
    virtual BOOL getCommState(HANDLE handle, DCB *dcb) = 0;
    virtual BOOL setCommState(HANDLE handle, DCB *dcb) = 0;
    virtual BOOL getCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) = 0;
    virtual BOOL setCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) = 0;
    virtual BOOL setCommMask(HANDLE handle, DWORD mask) = 0;
    virtual BOOL waitCommEvent(HANDLE handle, DWORD *mask, OVERLAPPED *overlapped) = 0;
    virtual BOOL getCommModemStatus(HANDLE handle, DWORD *status) = 0;
    virtual BOOL clearCommError(HANDLE handle, DWORD *errors, COMSTAT *status) = 0;
    virtual BOOL readFile(HANDLE handle, void *buffer, DWORD size, OVERLAPPED *overlapped) = 0;
    virtual BOOL getOverlappedResult(HANDLE handle, OVERLAPPED *overlapped, DWORD *transferred,
                                     BOOL wait)
        = 0;
    virtual BOOL cancelIo(HANDLE handle) = 0;
    // The error of the last call that failed.
    virtual DWORD lastError() = 0;
};

class SystemCommApi : public CommApi
{
public:
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
    DWORD lastError() override;
};
