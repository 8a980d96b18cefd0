#pragma once

#include "serialdevice.h"

#include <QByteArray>
#include <QList>

// Records data and events in arrival order: each event with the number of bytes before it.
struct RecordingSink : ReceiveSink
{
    void receiveBytes(const char *bytes, qsizetype size) override { data.append(bytes, size); }
    void receiveEvent(qint16 code) override { events.append({data.size(), code}); }

    QByteArray data;
    QList<std::pair<qsizetype, qint16>> events;
};
