#include "commevents.h"

QString commEventName(qint16 code)
{
    switch (code) {
    case comEvSend:
        return QStringLiteral("comEvSend");
    case comEvCTS:
        return QStringLiteral("comEvCTS");
    case comEvDSR:
        return QStringLiteral("comEvDSR");
    case comEvCD:
        return QStringLiteral("comEvCD");
    case comEvRing:
        return QStringLiteral("comEvRing");
    case comEvEOF:
        return QStringLiteral("comEvEOF");
    case comEventBreak:
        return QStringLiteral("comEventBreak");
    case comEventCTSTO:
        return QStringLiteral("comEventCTSTO");
    case comEventDSRTO:
        return QStringLiteral("comEventDSRTO");
    case comEventFrame:
        return QStringLiteral("comEventFrame");
    case comEventOverrun:
        return QStringLiteral("comEventOverrun");
    case comEventCDTO:
        return QStringLiteral("comEventCDTO");
    case comEventRxOver:
        return QStringLiteral("comEventRxOver");
    case comEventRxParity:
        return QStringLiteral("comEventRxParity");
    case comEventTxFull:
        return QStringLiteral("comEventTxFull");
    case comEventDCB:
        return QStringLiteral("comEventDCB");
    default:
        return {};
    }
}
