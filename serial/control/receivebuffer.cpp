#include "receivebuffer.h"

#include "commevents.h"

ReceiveBuffer::ReceiveBuffer(qsizetype capacity)
    : m_capacity(capacity)
{}

void ReceiveBuffer::receiveBytes(const char *data, qsizetype size)
{
    // Reclaim the taken front before growing, so the storage stays near the capacity.
    if (m_head > 0 && (m_head >= m_data.size() / 2 || m_data.size() + size > m_capacity)) {
        m_data.remove(0, m_head);
        m_head = 0;
    }
    m_data.append(data, size);
    m_received += size;
}

void ReceiveBuffer::receiveEvent(qint16 code)
{
    m_events.push_back({m_received, code});
}

qint16 ReceiveBuffer::nextEvent()
{
    if (!m_events.empty() && m_events.front().position <= m_taken) {
        const qint16 code = m_events.front().code;
        m_events.pop_front();
        return code;
    }
    return bytesWaiting() > 0 ? qint16(comEvReceive) : qint16(0);
}

QString ReceiveBuffer::take(qsizetype maxChars)
{
    qsizetype count = qMin(maxChars, bytesWaiting());
    if (!m_events.empty())
        count = qMin<qsizetype>(count, qMax<qint64>(0, m_events.front().position - m_taken));
    const QString chars = QString::fromLatin1(m_data.constData() + m_head, count);
    m_head += count;
    m_taken += count;
    if (m_head == m_data.size()) {
        m_data.resize(0); // keeps the allocation for the next burst
        m_head = 0;
    }
    return chars;
}

void ReceiveBuffer::clear()
{
    m_data.clear();
    m_head = 0;
    m_taken = m_received;
    m_events.clear();
}
