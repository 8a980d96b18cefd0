#include "linestatus.h"

#include "commevents.h"

#include <utility>

QList<qint16> LineStatus::updateCounters(const LineCounters &now)
{
    const LineCounters before = std::exchange(m_counters, now);
    if (!std::exchange(m_haveCounters, true))
        return {};

    // Unsigned differences stay right across a wrap of the driver's counters.
    const auto changed = [](quint32 from, quint32 to) {
        return quint32(to - from);
    };
    // Some drivers (ftdi_sio) start from all lines low and count their first status from the
    // device as a change of every line that is high: one count per such line only brings the
    // driver up to the state seen at open. A real change of such a line still shows, in the
    // lines themselves or in a count beyond that one.
    const auto lineMoved = [&](quint32 from, quint32 to, quint8 line) {
        quint32 moved = changed(from, to);
        if (moved > 0 && (m_catchUp & line)) {
            --moved;
            m_catchUp &= quint8(~line);
        }
        return moved > 0;
    };
    m_framePending += changed(before.frame, now.frame);
    m_parityPending += changed(before.parity, now.parity);
    if (lineMoved(before.cts, now.cts, LineCts))
        m_linesCounted |= LineCts;
    if (lineMoved(before.dsr, now.dsr, LineDsr))
        m_linesCounted |= LineDsr;
    if (lineMoved(before.dcd, now.dcd, LineCd))
        m_linesCounted |= LineCd;
    if (lineMoved(before.rng, now.rng, LineRi))
        m_ringCounted = true;

    QList<qint16> events;
    if (changed(before.overrun, now.overrun) || changed(before.bufOverrun, now.bufOverrun))
        events.append(comEventOverrun);
    return events;
}

QList<qint16> LineStatus::updateModemLines(quint8 lines)
{
    const quint8 before = std::exchange(m_lines, lines);
    const quint8 counted = std::exchange(m_linesCounted, 0);
    const bool ringCounted = std::exchange(m_ringCounted, false);
    if (!std::exchange(m_haveLines, true)) {
        m_catchUp = lines;
        return {};
    }

    const quint8 changed = (before ^ lines) | counted;
    QList<qint16> events;
    if (changed & LineCts)
        events.append(comEvCTS);
    if (changed & LineDsr)
        events.append(comEvDSR);
    if (changed & LineCd)
        events.append(comEvCD);
    if (ringCounted || (lines & ~before & LineRi))
        events.append(comEvRing);
    return events;
}

qint16 LineStatus::garbledCharEvent()
{
    if (m_parityPending > 0 && m_framePending == 0) {
        --m_parityPending;
        return comEventRxParity;
    }
    if (m_framePending > 0)
        --m_framePending;
    return comEventFrame;
}
