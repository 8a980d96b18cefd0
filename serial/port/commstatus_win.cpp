#include "commstatus_win.h"

#include "commevents.h"

QList<qint16> lineErrorEvents(DWORD errors)
{
    QList<qint16> events;
    if (errors & CE_BREAK)
        events.append(comEventBreak);
    else if (errors & CE_FRAME)
        events.append(comEventFrame);
    if (errors & CE_RXPARITY)
        events.append(comEventRxParity);
    if (errors & CE_OVERRUN)
        events.append(comEventOverrun);
    if (errors & CE_RXOVER)
        events.append(comEventRxOver);
    return events;
}

QList<qint16> modemLineEvents(DWORD mask, DWORD before, DWORD now)
{
    const DWORD moved = before ^ now;
    QList<qint16> events;
    if ((mask & EV_CTS) || (moved & MS_CTS_ON))
        events.append(comEvCTS);
    if ((mask & EV_DSR) || (moved & MS_DSR_ON))
        events.append(comEvDSR);
    if ((mask & EV_RLSD) || (moved & MS_RLSD_ON))
        events.append(comEvCD);
    if ((mask & EV_RING) || (now & ~before & MS_RING_ON))
        events.append(comEvRing);
    return events;
}
