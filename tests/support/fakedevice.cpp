#include "fakedevice.h"

#include <cerrno>
#include <cstring>

DeviceResult FakeDevice::open(const QString &path)
{
    if (m_open)
        return DeviceResult::failure(EBUSY, QStringLiteral("already open"));
    if (const int error = failures.value(path); error != 0)
        return DeviceResult::failure(error, QString::fromLocal8Bit(std::strerror(error)));
    m_open = true;
    m_hungUp = false;
    m_path = path;
    m_pending.clear();
    opened.append(path);
    return DeviceResult::success();
}

DeviceResult FakeDevice::close()
{
    m_open = false;
    m_notify = false;
    ++closeCount;
    return DeviceResult::success();
}

DeviceResult FakeDevice::drain(ReceiveSink &sink, qsizetype maxBytes)
{
    while (!m_pending.empty() && maxBytes > 0) {
        auto &front = m_pending.front();
        if (const qint16 *code = std::get_if<qint16>(&front)) {
            sink.receiveEvent(*code);
            m_pending.pop_front();
            continue;
        }
        QByteArray &bytes = std::get<QByteArray>(front);
        const qsizetype count = qMin(maxBytes, bytes.size());
        sink.receiveBytes(bytes.constData(), count);
        maxBytes -= count;
        bytes.remove(0, count);
        if (bytes.isEmpty())
            m_pending.pop_front();
    }
    if (m_hungUp && m_pending.empty()) {
        close();
        return DeviceResult::failure(EIO, QStringLiteral("the device went away"));
    }
    return DeviceResult::success();
}

void FakeDevice::feed(const QByteArray &bytes)
{
    m_pending.push_back(bytes);
    if (m_open && m_notify)
        Q_EMIT readyRead();
}

void FakeDevice::feedEvent(qint16 code)
{
    m_pending.push_back(code);
    if (m_open && m_notify)
        Q_EMIT readyRead();
}

void FakeDevice::lineEvent(qint16 code)
{
    if (m_open)
        Q_EMIT lineEvents({code});
}

void FakeDevice::hangUp()
{
    m_hungUp = true;
    if (m_open && m_notify)
        Q_EMIT readyRead();
}

void FakeDevice::pullOut()
{
    if (!m_open)
        return;
    close();
    Q_EMIT lost();
}
