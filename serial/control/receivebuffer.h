#pragma once

#include "serialdevice.h"

#include <QByteArray>
#include <QString>

#include <deque>

// The control's receive buffer: data bytes and the line events that occurred between them,
// kept in arrival order. Events are reported when the reader reaches their place in the data.
class ReceiveBuffer : public ReceiveSink
{
public:
    explicit ReceiveBuffer(qsizetype capacity);

    char *readSpace(qsizetype size) override;
    void receiveBytes(const char *data, qsizetype size) override;
    void receiveEvent(qint16 code) override;

    qsizetype capacity() const { return m_capacity; }
    qsizetype bytesWaiting() const { return m_end - m_head; }
    qsizetype space() const { return qMax<qsizetype>(0, m_capacity - bytesWaiting()); }
    bool isEmpty() const { return bytesWaiting() == 0 && m_events.empty(); }

    // The next thing to report: a line event whose place has been reached (removed from the
    // buffer), else comEvReceive while bytes wait, else 0.
    qint16 nextEvent();
    // Removes up to `maxChars` bytes, never reading past a pending event's place; each byte
    // becomes the character with the same code (0 to 255).
    QString take(qsizetype maxChars);
    void clear();

private:
    void reclaimFront(qsizetype incoming);

    struct PendingEvent
    {
        qint64 position; // bytes received before the event
        qint16 code;
    };

    qsizetype m_capacity;
    QByteArray m_data;     // storage; beyond m_end, room a device may be reading into
    qsizetype m_head = 0;  // bytes of m_data already taken
    qsizetype m_end = 0;   // bytes of m_data received
    qint64 m_taken = 0;    // bytes taken since the buffer was created
    qint64 m_received = 0; // bytes received since the buffer was created
    std::deque<PendingEvent> m_events;
};
