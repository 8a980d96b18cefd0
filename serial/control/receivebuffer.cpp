#include "receivebuffer.h"

#include "commevents.h"

#include <cstring>

ReceiveBuffer::ReceiveBuffer(qsizetype capacity)
    : m_capacity(capacity)
{}

// Reclaims the taken front before the storage grows, so that it stays near the capacity.
void ReceiveBuffer::reclaimFront(qsizetype incoming)
{
    if (m_head > 0 && (m_head >= m_end / 2 || m_end + incoming > m_capacity)) {
        std::memmove(m_data.data(), m_data.constData() + m_head, size_t(m_end - m_head));
        m_end -= m_head;
        m_head = 0;
    }
}

char *ReceiveBuffer::readSpace(qsizetype size)
{
    reclaimFront(size);
    if (m_data.size() < m_end + size)
        m_data.resize(m_end + size);
    return m_data.data() + m_end;
}

void ReceiveBuffer::receiveBytes(const char *data, qsizetype size)
{
    // Bytes read into the space at the end stay where they are. A mark the device took out
    // leaves the rest of a read a few bytes further on, inside that space: they move down.
    const char *space = m_data.constData() + m_end;
    const bool inSpace = data >= space && data < m_data.constData() + m_data.size();
    if (!inSpace) {
        reclaimFront(size);
        if (m_data.size() < m_end + size)
            m_data.resize(m_end + size);
    }
    if (data != m_data.constData() + m_end)
        std::memmove(m_data.data() + m_end, data, size_t(size));
    m_end += size;
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
    if (m_head == m_end)
        m_head = m_end = 0; // the storage stays for the next burst
    return chars;
}

void ReceiveBuffer::clear()
{
    m_data.clear();
    m_head = 0;
    m_end = 0;
    m_taken = m_received;
    m_events.clear();
}
