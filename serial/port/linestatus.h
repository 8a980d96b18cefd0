#pragma once

#include <QList>
#include <QtGlobal>

// A driver's cumulative line counters (Linux TIOCGICOUNT). They wrap around.
struct LineCounters
{
    quint32 cts = 0;
    quint32 dsr = 0;
    quint32 rng = 0;
    quint32 dcd = 0;
    quint32 frame = 0;
    quint32 parity = 0;
    quint32 brk = 0;
    quint32 overrun = 0;
    quint32 bufOverrun = 0;
};

// The modem status inputs, as far as the driver reports them.
enum ModemLine : quint8 {
    LineCts = 0x01,
    LineDsr = 0x02,
    LineCd = 0x04,
    LineRi = 0x08,
};

// Turns what a driver reports about the line into the control's event codes. Snapshots are
// compared with the previous one; the first of each kind only sets the starting point.
class LineStatus
{
public:
    // Takes a counter snapshot and returns the events that no data mark carries (overruns).
    // Error counts are kept so that garbledCharEvent() can tell framing from parity errors.
    QList<qint16> updateCounters(const LineCounters &now);
    // Takes the modem inputs (ModemLine bits) and returns one event per line that changed
    // since the last call, a change counted by the driver in between included. Ring is
    // reported when RI rises or the driver counted a ring. The first call sets the starting
    // point: a driver whose counts of a line high then are off by one (it began from low) is
    // no change.
    QList<qint16> updateModemLines(quint8 lines);
    // The event for a character received with an error: parity when the counters show a
    // parity error not yet accounted for and no framing error, else framing.
    qint16 garbledCharEvent();
    void reset() { *this = LineStatus(); }

private:
    LineCounters m_counters;
    bool m_haveCounters = false;
    quint8 m_lines = 0;
    bool m_haveLines = false;
    quint64 m_framePending = 0;
    quint64 m_parityPending = 0;
    quint8 m_linesCounted = 0; // lines the counters saw change since the last modem update
    quint8 m_catchUp = 0;      // lines high at the start whose first count may be no change
    bool m_ringCounted = false;
};
