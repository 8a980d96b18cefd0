#include "fakecommapi.h"

#include <QTest>

#include <cstring>

namespace {

const HANDLE PortHandle = reinterpret_cast<HANDLE>(quintptr(0x1c0));
// What a USB serial driver answers once its device is gone.
constexpr DWORD GoneError = ERROR_BAD_COMMAND;

} // namespace

FakeCommApi::FakeCommApi(std::shared_ptr<Port> port)
    : m_port(std::move(port))
{}

BOOL FakeCommApi::fail(DWORD error)
{
    m_lastError = error;
    return FALSE;
}

bool FakeCommApi::usable(HANDLE handle)
{
    if (handle != PortHandle || !m_port->open) {
        m_lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    if (m_port->gone) {
        m_lastError = GoneError;
        return false;
    }
    return true;
}

void FakeCommApi::complete(OVERLAPPED *overlapped, DWORD transferred, DWORD error)
{
    m_calls[overlapped] = Call{true, transferred, error};
    ::SetEvent(overlapped->hEvent);
}

void FakeCommApi::arrive(const QByteArray &bytes)
{
    m_port->input += bytes;
    tryPendingRead();
}

void FakeCommApi::flagError(DWORD error)
{
    m_port->errors |= error;
    endWait(error & CE_BREAK ? EV_BREAK : EV_ERR);
}

void FakeCommApi::setModemLines(DWORD lines)
{
    const DWORD moved = m_port->modemLines ^ lines;
    m_port->modemLines = lines;
    DWORD events = 0;
    if (moved & MS_CTS_ON)
        events |= EV_CTS;
    if (moved & MS_DSR_ON)
        events |= EV_DSR;
    if (moved & MS_RLSD_ON)
        events |= EV_RLSD;
    if (lines & moved & MS_RING_ON)
        events |= EV_RING;
    endWait(events);
}

void FakeCommApi::pulse(DWORD event)
{
    endWait(event);
}

void FakeCommApi::pullOut()
{
    m_port->gone = true;
    if (m_pendingRead)
        complete(std::exchange(m_pendingRead, nullptr), 0, GoneError);
    if (m_pendingWait)
        complete(std::exchange(m_pendingWait, nullptr), 0, GoneError);
}

void FakeCommApi::tryPendingRead()
{
    if (!m_pendingRead || m_port->input.size() < qsizetype(m_readSize))
        return;
    std::memcpy(m_readBuffer, m_port->input.constData(), m_readSize);
    m_port->input.remove(0, m_readSize);
    complete(std::exchange(m_pendingRead, nullptr), m_readSize);
}

void FakeCommApi::endWait(DWORD events)
{
    if (!m_pendingWait || !(events & m_port->mask))
        return;
    *m_waitMask = events & m_port->mask;
    complete(std::exchange(m_pendingWait, nullptr), 0);
}

HANDLE FakeCommApi::createFile(const wchar_t *name, DWORD, DWORD shareMode, DWORD flags)
{
    // The device reads overlapped and shares the port with no one.
    if (shareMode != 0 || !(flags & FILE_FLAG_OVERLAPPED)) {
        m_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    if (m_port->openError != 0) {
        m_lastError = m_port->openError;
        return INVALID_HANDLE_VALUE;
    }
    if (m_port->open) {
        m_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    m_port->open = true;
    m_port->openedName = QString::fromWCharArray(name);
    return PortHandle;
}

BOOL FakeCommApi::closeHandle(HANDLE handle)
{
    if (handle != PortHandle || !m_port->open)
        return fail(ERROR_INVALID_HANDLE);
    // Every call must have ended before the handle goes; their buffers are the device's.
    if (m_pendingRead || m_pendingWait)
        QTest::qFail("the port was closed with a call still pending", __FILE__, __LINE__);
    m_port->open = false;
    m_port->mask = 0;
    return TRUE;
}

BOOL FakeCommApi::getCommState(HANDLE handle, DCB *dcb)
{
    if (!usable(handle))
        return FALSE;
    *dcb = m_port->state;
    return TRUE;
}

BOOL FakeCommApi::setCommState(HANDLE handle, DCB *dcb)
{
    if (!usable(handle))
        return FALSE;
    const DWORD speed = m_port->state.BaudRate;
    m_port->state = *dcb;
    if (m_port->refuses9600 && dcb->BaudRate == CBR_9600)
        m_port->state.BaudRate = speed;
    return TRUE;
}

BOOL FakeCommApi::getCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts)
{
    if (!usable(handle))
        return FALSE;
    *timeouts = m_port->timeouts;
    return TRUE;
}

BOOL FakeCommApi::setCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts)
{
    if (!usable(handle))
        return FALSE;
    m_port->timeouts = *timeouts;
    return TRUE;
}

BOOL FakeCommApi::setCommMask(HANDLE handle, DWORD mask)
{
    if (!usable(handle))
        return FALSE;
    m_port->mask = mask;
    // A new mask ends a pending wait, reporting no event.
    if (m_pendingWait) {
        *m_waitMask = 0;
        complete(std::exchange(m_pendingWait, nullptr), 0);
    }
    return TRUE;
}

BOOL FakeCommApi::waitCommEvent(HANDLE handle, DWORD *mask, OVERLAPPED *overlapped)
{
    if (!usable(handle))
        return FALSE;
    if (!m_port->waitsForLineEvents)
        return fail(ERROR_NOT_SUPPORTED);
    ::ResetEvent(overlapped->hEvent);
    m_calls[overlapped] = Call{};
    m_pendingWait = overlapped;
    m_waitMask = mask;
    return fail(ERROR_IO_PENDING);
}

BOOL FakeCommApi::getCommModemStatus(HANDLE handle, DWORD *status)
{
    if (!usable(handle))
        return FALSE;
    if (!m_port->tellsModemLines)
        return fail(ERROR_NOT_SUPPORTED);
    *status = m_port->modemLines;
    return TRUE;
}

BOOL FakeCommApi::clearCommError(HANDLE handle, DWORD *errors, COMSTAT *status)
{
    if (!usable(handle))
        return FALSE;
    *errors = std::exchange(m_port->errors, 0);
    *status = COMSTAT{};
    // A byte a pending read has taken is no longer waiting.
    status->cbInQue = DWORD(m_port->input.size());
    return TRUE;
}

BOOL FakeCommApi::readFile(HANDLE handle, void *buffer, DWORD size, OVERLAPPED *overlapped)
{
    if (!usable(handle))
        return FALSE;
    if (m_pendingRead)
        QTest::qFail("a second read while one is pending", __FILE__, __LINE__);
    ::ResetEvent(overlapped->hEvent);
    m_calls[overlapped] = Call{};
    m_pendingRead = overlapped;
    m_readBuffer = static_cast<char *>(buffer);
    m_readSize = size;
    tryPendingRead();
    // Like a driver, one with its data there already completes the read at once.
    if (!m_pendingRead)
        return TRUE;
    return fail(ERROR_IO_PENDING);
}

BOOL FakeCommApi::getOverlappedResult(HANDLE, OVERLAPPED *overlapped, DWORD *transferred, BOOL wait)
{
    const Call call = m_calls.value(overlapped);
    if (!call.done) {
        // Nothing here would ever complete it: a device waiting for it would hang.
        if (wait)
            QTest::qFail("waited for a call that cannot complete", __FILE__, __LINE__);
        return fail(ERROR_IO_INCOMPLETE);
    }
    *transferred = call.transferred;
    return call.error == 0 ? TRUE : fail(call.error);
}

BOOL FakeCommApi::cancelIo(HANDLE handle)
{
    if (handle != PortHandle)
        return fail(ERROR_INVALID_HANDLE);
    if (m_pendingRead)
        complete(std::exchange(m_pendingRead, nullptr), 0, ERROR_OPERATION_ABORTED);
    if (m_pendingWait)
        complete(std::exchange(m_pendingWait, nullptr), 0, ERROR_OPERATION_ABORTED);
    return TRUE;
}
