#include "commapi_win.h"

HANDLE SystemCommApi::createFile(const wchar_t *name, DWORD access, DWORD shareMode, DWORD flags)
{
    return ::CreateFileW(name, access, shareMode, nullptr, OPEN_EXISTING, flags, nullptr);
}

BOOL SystemCommApi::closeHandle(HANDLE handle)
{
    return ::CloseHandle(handle);
}

BOOL SystemCommApi::getCommState(HANDLE handle, DCB *dcb)
{
    return ::GetCommState(handle, dcb);
}

BOOL SystemCommApi::setCommState(HANDLE handle, DCB *dcb)
{
    return ::SetCommState(handle, dcb);
}

BOOL SystemCommApi::getCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts)
{
    return ::GetCommTimeouts(handle, timeouts);
}

BOOL SystemCommApi::setCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts)
{
    return ::SetCommTimeouts(handle, timeouts);
}

BOOL SystemCommApi::setCommMask(HANDLE handle, DWORD mask)
{
    return ::SetCommMask(handle, mask);
}

BOOL SystemCommApi::waitCommEvent(HANDLE handle, DWORD *mask, OVERLAPPED *overlapped)
{
    return ::WaitCommEvent(handle, mask, overlapped);
}

BOOL SystemCommApi::getCommModemStatus(HANDLE handle, DWORD *status)
{
    return ::GetCommModemStatus(handle, status);
}

BOOL SystemCommApi::clearCommError(HANDLE handle, DWORD *errors, COMSTAT *status)
{
    return ::ClearCommError(handle, errors, status);
}

BOOL SystemCommApi::readFile(HANDLE handle, void *buffer, DWORD size, OVERLAPPED *overlapped)
{
    return ::ReadFile(handle, buffer, size, nullptr, overlapped);
}

BOOL SystemCommApi::getOverlappedResult(HANDLE handle, OVERLAPPED *overlapped, DWORD *transferred,
                                        BOOL wait)
{
    return ::GetOverlappedResult(handle, overlapped, transferred, wait);
}

BOOL SystemCommApi::cancelIo(HANDLE handle)
{
    return ::CancelIo(handle);
}

DWORD SystemCommApi::lastError()
{
    return ::GetLastError();
}
