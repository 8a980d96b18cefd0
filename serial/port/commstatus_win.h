#pragma once

#include <QList>

#include <windows.h>

// What a Windows serial driver tells about the line, as the control's event codes.

// The line errors ClearCommError() returned (CE_* bits), in the order break, framing, parity,
// overrun, receive buffer overflow. A break comes alone: drivers also flag the framing error
// that the break's long low line causes.
QList<qint16> lineErrorEvents(DWORD errors);

// The modem input changes between two looks: the EV_* bits WaitCommEvent() reported in `mask`
// (0 when the driver was polled) and the MS_*_ON bits of GetCommModemStatus() before and now.
// A line the mask names changed even if it is back where it was; a ring is reported when the
// mask says so or RI rose. Events come in the order CTS, DSR, CD, ring.
QList<qint16> modemLineEvents(DWORD mask, DWORD before, DWORD now);
