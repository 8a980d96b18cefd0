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
    m_framePending += changed(before.frame, now.frame);
    m_parityPending += changed(before.parity, now.parity);
    if (changed(before.cts, now.cts))
        m_linesCounted |= LineCts;
    if (changed(before.dsr, now.dsr))
        m_linesCounted |= LineDsr;
    if (changed(before.dcd, now.dcd))
        m_linesCounted |= LineCd;
    if (changed(before.rng, now.rng))
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
    if (!std::exchange(m_haveLines, true))
        return {};

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
