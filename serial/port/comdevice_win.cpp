#include "comdevice_win.h"

#include "commstatus_win.h"

#include <QWinEventNotifier>

#include <string>

namespace {

constexpr qsizetype ReadChunk = 4096;
constexpr DWORD LineEventMask = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

// The OS's own text for `error`, without the line break it ends in.
QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString result = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                : QStringLiteral("error %1").arg(error);
    ::LocalFree(text);
    return result;
}

// 9600 baud 8N1, raw; everything the line format does not need is kept from `dcb`.
void makeReceiveState(DCB &dcb)
{
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    // No flow control either way; DTR and RTS on, as an open on Linux leaves them.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // Every byte arrives as received: garbled bytes are not replaced, NULs not dropped, and an
    // error does not stop the reads until ClearCommError() is called.
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
}

bool hasReceiveState(const DCB &dcb)
{
    return dcb.BaudRate == CBR_9600 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY
           && dcb.StopBits == ONESTOPBIT;
}

// Makes `overlapped` ready for the next call, keeping its event, which starts unsignalled.
void rearm(OVERLAPPED &overlapped)
{
    const HANDLE event = overlapped.hEvent;
    overlapped = {};
    overlapped.hEvent = event;
    ::ResetEvent(event);
}

} // namespace

ComDevice::ComDevice(std::unique_ptr<CommApi> api, std::chrono::milliseconds linePoll,
                     QObject *parent)
    : SerialDevice(parent)
    , m_api(std::move(api))
{
    for (OVERLAPPED *overlapped : {&m_waitReadOverlapped, &m_readOverlapped, &m_lineOverlapped})
        overlapped->hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_waitReadNotifier = std::make_unique<QWinEventNotifier>(m_waitReadOverlapped.hEvent);
    m_waitReadNotifier->setEnabled(false);
    connect(m_waitReadNotifier.get(), &QWinEventNotifier::activated, this,
            &ComDevice::waitReadSignalled);
    m_lineNotifier = std::make_unique<QWinEventNotifier>(m_lineOverlapped.hEvent);
    m_lineNotifier->setEnabled(false);
    connect(m_lineNotifier.get(), &QWinEventNotifier::activated, this,
            &ComDevice::lineWaitSignalled);
    m_linePoll.setInterval(linePoll);
    connect(&m_linePoll, &QTimer::timeout, this, &ComDevice::pollLines);
}

ComDevice::~ComDevice()
{
    if (isOpen())
        close();
    m_waitReadNotifier.reset();
    m_lineNotifier.reset();
    for (OVERLAPPED *overlapped : {&m_waitReadOverlapped, &m_readOverlapped, &m_lineOverlapped})
        ::CloseHandle(overlapped->hEvent);
}

DeviceResult ComDevice::failure(DWORD error) const
{
    return DeviceResult::failure(int(error), systemText(error));
}

DeviceResult ComDevice::failure(DWORD error, const QString &what) const
{
    return DeviceResult::failure(int(error),
                                 QStringLiteral("%1 (%2)").arg(what, systemText(error)));
}

DeviceResult ComDevice::open(const QString &path)
{
    if (isOpen())
        return failure(ERROR_BUSY);
    // The device namespace reaches every port, COM10 and above too.
    const std::wstring name = (QStringLiteral("\\\\.\\") + path).toStdWString();
    // Not shared: a port another program holds fails here, and its settings stay as they are.
    const HANDLE handle
        = m_api->createFile(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, FILE_FLAG_OVERLAPPED);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = m_api->lastError();
        // Serial drivers let one handle at a time have a port and deny the next; others say it
        // is busy (wine, for a terminal another program holds) or a sharing violation.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_BUSY || error == ERROR_SHARING_VIOLATION)
            return failure(error, QStringLiteral("held by another program"));
        return failure(error);
    }
    m_handle = handle;
    if (const DeviceResult result = setUp(); !result.ok()) {
        m_api->closeHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
        return result;
    }
    startWatching();
    return DeviceResult::success();
}

// Gives the open port its receive settings, keeping what it had for close(); a failure puts
// back what was changed.
DeviceResult ComDevice::setUp()
{
    m_savedState = {};
    m_savedState.DCBlength = sizeof(DCB);
    if (!m_api->getCommState(m_handle, &m_savedState)
        || !m_api->getCommTimeouts(m_handle, &m_savedTimeouts))
        return failure(m_api->lastError());
    DCB wanted = m_savedState;
    makeReceiveState(wanted);
    DCB applied{};
    applied.DCBlength = sizeof(DCB);
    // Without timeouts every read waits until it has all it asked for (see the class comment).
    COMMTIMEOUTS noTimeouts{};
    // The input is not purged: what waits there is what the far end sent, and belongs in the
    // history.
    DeviceResult result = DeviceResult::success();
    if (!m_api->setCommState(m_handle, &wanted) || !m_api->getCommState(m_handle, &applied))
        result = failure(m_api->lastError());
    else if (!hasReceiveState(applied))
        result = failure(ERROR_INVALID_PARAMETER, QStringLiteral("the driver cannot do 9600 8N1"));
    else if (!m_api->setCommTimeouts(m_handle, &noTimeouts))
        result = failure(m_api->lastError());
    if (!result.ok()) {
        m_api->setCommState(m_handle, &m_savedState);
        m_api->setCommTimeouts(m_handle, &m_savedTimeouts);
    }
    return result;
}

void ComDevice::startWatching()
{
    m_notify = false;
    m_waitRead = WaitRead::Idle;
    m_readError = 0;
    m_haveModemStatus = m_api->getCommModemStatus(m_handle, &m_modemStatus);
    // Errors flagged before the open belong to whoever had the port then.
    DWORD errors = 0;
    COMSTAT status{};
    m_api->clearCommError(m_handle, &errors, &status);
    if (m_api->setCommMask(m_handle, LineEventMask))
        startLineWait();
    else
        m_linePoll.start();
    startWaitRead();
}

DeviceResult ComDevice::close()
{
    if (!isOpen())
        return failure(ERROR_INVALID_HANDLE);
    const DWORD error = release();
    return error == 0 ? DeviceResult::success() : failure(error);
}

// Ends all I/O on the port, puts its settings back and closes it. Returns the error of putting
// the settings back, 0 when they are back.
DWORD ComDevice::release()
{
    m_linePoll.stop();
    m_waitReadNotifier->setEnabled(false);
    m_lineNotifier->setEnabled(false);
    // A mask of nothing ends the wait for line events; the buffers and OVERLAPPEDs of the
    // cancelled calls are in use until they have finished.
    m_api->setCommMask(m_handle, 0);
    m_api->cancelIo(m_handle);
    if (m_waitRead == WaitRead::Pending)
        finishPending(m_waitReadOverlapped);
    if (m_lineWaitPending)
        finishPending(m_lineOverlapped);
    DWORD error = 0;
    if (!m_api->setCommState(m_handle, &m_savedState)
        || !m_api->setCommTimeouts(m_handle, &m_savedTimeouts))
        error = m_api->lastError();
    m_api->closeHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    m_waitRead = WaitRead::Idle;
    m_lineWaitPending = false;
    m_notify = false;
    return error;
}

void ComDevice::finishPending(OVERLAPPED &overlapped)
{
    DWORD unused = 0;
    m_api->getOverlappedResult(m_handle, &overlapped, &unused, TRUE);
}

void ComDevice::startWaitRead()
{
    rearm(m_waitReadOverlapped);
    m_waitRead = WaitRead::Pending;
    // Done at once or later, the event is set when the byte is there.
    if (m_api->readFile(m_handle, &m_firstByte, 1, &m_waitReadOverlapped)
        || m_api->lastError() == ERROR_IO_PENDING) {
        m_waitReadNotifier->setEnabled(true);
        return;
    }
    m_waitRead = WaitRead::Failed;
    m_readError = m_api->lastError();
    QMetaObject::invokeMethod(this, &ComDevice::announceWaitRead, Qt::QueuedConnection);
}

// Takes the result of the pending read for the first byte, if it has one.
void ComDevice::collectWaitRead()
{
    DWORD got = 0;
    if (m_api->getOverlappedResult(m_handle, &m_waitReadOverlapped, &got, FALSE)) {
        m_waitRead = got == 1 ? WaitRead::Done : WaitRead::Idle;
    } else {
        const DWORD error = m_api->lastError();
        if (error == ERROR_IO_INCOMPLETE)
            return;
        m_waitRead = WaitRead::Failed;
        m_readError = error;
    }
    m_waitReadNotifier->setEnabled(false);
}

void ComDevice::waitReadSignalled()
{
    if (m_waitRead != WaitRead::Pending)
        return;
    collectWaitRead();
    announceWaitRead();
}

// Says what the read for the first byte came to: data waits, or the device is gone.
void ComDevice::announceWaitRead()
{
    if (!isOpen())
        return;
    switch (m_waitRead) {
    case WaitRead::Done:
        if (m_notify)
            Q_EMIT readyRead();
        break;
    case WaitRead::Failed:
        // While reading is paused nobody drains, so the loss is told here.
        if (m_notify) {
            Q_EMIT readyRead();
        } else {
            release();
            Q_EMIT lost();
        }
        break;
    case WaitRead::Idle:
        startWaitRead();
        break;
    case WaitRead::Pending:
        break;
    }
}

DeviceResult ComDevice::drain(ReceiveSink &sink, qsizetype maxBytes)
{
    if (!isOpen())
        return failure(ERROR_INVALID_HANDLE);
    if (m_waitRead == WaitRead::Pending)
        collectWaitRead();
    qsizetype delivered = 0;
    if (m_waitRead == WaitRead::Done && maxBytes > 0) {
        if (!reportLineErrors(sink))
            return gone();
        sink.receiveBytes(&m_firstByte, 1);
        delivered = 1;
        m_waitRead = WaitRead::Idle;
    }
    if (m_waitRead == WaitRead::Failed)
        return gone();
    // While the read for the first byte is pending, nothing has come: a read of the rest now
    // could overtake the byte that read is about to get.
    if (m_waitRead != WaitRead::Idle)
        return DeviceResult::success();
    if (!readWaiting(sink, maxBytes, delivered))
        return gone();
    // Always waiting, even while reading is paused: a port pulled out is noticed all the same.
    startWaitRead();
    return DeviceResult::success();
}

DeviceResult ComDevice::gone()
{
    const DWORD error = m_readError;
    release();
    return failure(error, QStringLiteral("the device went away"));
}

// Reports the line errors flagged since the last look, ahead of the bytes read next. False
// when the port cannot be asked any more.
bool ComDevice::reportLineErrors(ReceiveSink &sink, DWORD *waiting)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!m_api->clearCommError(m_handle, &errors, &status)) {
        m_readError = m_api->lastError();
        return false;
    }
    for (const qint16 code : lineErrorEvents(errors))
        sink.receiveEvent(code);
    if (waiting)
        *waiting = status.cbInQue;
    return true;
}

// Reads what waits in the driver, up to `maxBytes` delivered in all. False when a read failed.
bool ComDevice::readWaiting(ReceiveSink &sink, qsizetype maxBytes, qsizetype &delivered)
{
    char ownBuffer[ReadChunk];
    while (delivered < maxBytes) {
        DWORD waiting = 0;
        if (!reportLineErrors(sink, &waiting))
            return false;
        if (waiting == 0)
            break;
        const DWORD want = DWORD(qMin(qMin(qsizetype(waiting), maxBytes - delivered), ReadChunk));
        char *space = sink.readSpace(want);
        char *buffer = space ? space : ownBuffer;
        rearm(m_readOverlapped);
        DWORD got = 0;
        // All of it is there already, so the wait for it is no wait.
        if ((!m_api->readFile(m_handle, buffer, want, &m_readOverlapped)
             && m_api->lastError() != ERROR_IO_PENDING)
            || !m_api->getOverlappedResult(m_handle, &m_readOverlapped, &got, TRUE)) {
            m_readError = m_api->lastError();
            return false;
        }
        sink.receiveBytes(buffer, got);
        delivered += got;
        if (got < want)
            break;
    }
    return true;
}

void ComDevice::setReadNotification(bool enabled)
{
    if (!isOpen())
        return;
    m_notify = enabled;
    // What came while reading was paused is told now, from the event loop: the caller is in
    // the middle of a read.
    if (enabled && m_waitRead != WaitRead::Pending)
        QMetaObject::invokeMethod(this, &ComDevice::announceWaitRead, Qt::QueuedConnection);
}

void ComDevice::startLineWait()
{
    rearm(m_lineOverlapped);
    m_lineMask = 0;
    if (!m_api->waitCommEvent(m_handle, &m_lineMask, &m_lineOverlapped)
        && m_api->lastError() != ERROR_IO_PENDING) {
        // The driver cannot wait for line events (wine's cannot): it is asked at intervals.
        m_linePoll.start();
        return;
    }
    m_lineWaitPending = true;
    m_lineNotifier->setEnabled(true);
}

void ComDevice::lineWaitSignalled()
{
    if (!m_lineWaitPending)
        return;
    DWORD unused = 0;
    const bool done = m_api->getOverlappedResult(m_handle, &m_lineOverlapped, &unused, FALSE);
    if (!done && m_api->lastError() == ERROR_IO_INCOMPLETE)
        return;
    m_lineWaitPending = false;
    m_lineNotifier->setEnabled(false);
    const QList<qint16> events = lookAtLines(done ? m_lineMask : 0);
    // A wait that failed would fail again at once: the lines are asked at intervals instead.
    if (done)
        startLineWait();
    else
        m_linePoll.start();
    if (!events.isEmpty())
        Q_EMIT lineEvents(events);
}

void ComDevice::pollLines()
{
    if (const QList<qint16> events = lookAtLines(0); !events.isEmpty())
        Q_EMIT lineEvents(events);
}

// The line errors and modem line changes since the last look; `mask` holds the events the
// driver reported, if it did.
QList<qint16> ComDevice::lookAtLines(DWORD mask)
{
    QList<qint16> events;
    DWORD errors = 0;
    COMSTAT status{};
    if (m_api->clearCommError(m_handle, &errors, &status))
        events = lineErrorEvents(errors);
    const DWORD before = m_modemStatus;
    // A driver that cannot tell the lines (wine's) is not asked again.
    if (m_haveModemStatus)
        m_haveModemStatus = m_api->getCommModemStatus(m_handle, &m_modemStatus);
    if (!m_haveModemStatus)
        m_modemStatus = before;
    events += modemLineEvents(mask, before, m_modemStatus);
    return events;
}
