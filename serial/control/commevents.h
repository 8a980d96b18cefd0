#pragma once

#include <QString>

// Event codes read from CommControl::CommEvent() while OnComm runs.
enum CommEventCode : qint16 {
    comEvSend = 1,
    comEvReceive = 2,
    comEvCTS = 3,
    comEvDSR = 4,
    comEvCD = 5,
    comEvRing = 6,
    comEvEOF = 7,
    comEventBreak = 1001,
    comEventCTSTO = 1002,
    comEventDSRTO = 1003,
    comEventFrame = 1004,
    comEventOverrun = 1006,
    comEventCDTO = 1007,
    comEventRxOver = 1008,
    comEventRxParity = 1009,
    comEventTxFull = 1010,
    comEventDCB = 1011,
};

// The display name of an event code ("comEvCTS", "comEventBreak", ...); empty for the
// receive event and for codes outside the table.
QString commEventName(qint16 code);
