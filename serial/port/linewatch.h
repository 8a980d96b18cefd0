#pragma once

#include "linestatus.h"

#include <QList>
#include <QObject>
#include <QTimer>

// Watches an open port beside its reads. The driver's line counters (TIOCGICOUNT) and modem
// lines (TIOCMGET) are polled every 100 ms where the driver has them; pseudo-terminals have
// neither, and the watch then goes without. Once a second it checks that the port still runs
// at 9600 8N1 with marking on: if another (privileged) program changed that, it reports
// comEventDCB, once per episode, and puts the receive settings back.
class LineWatch : public QObject
{
    Q_OBJECT

public:
    explicit LineWatch(QObject *parent = nullptr);

    // Takes the first snapshots of the port `fd` as the starting point and starts watching.
    void start(int fd);
    void stop();
    // Called after each read: the overruns the counters show are returned as events; framing
    // and parity counts are kept for garbledCharEvent().
    QList<qint16> countAfterRead();
    // The event for a character the terminal marked as received with an error.
    qint16 garbledCharEvent() { return m_lineStatus.garbledCharEvent(); }

Q_SIGNALS:
    void eventsFound(const QList<qint16> &events);

private:
    void pollLines();
    void checkSettings();

    int m_fd = -1;
    QTimer m_lineTimer;
    QTimer m_settingsTimer;
    bool m_settingsLost = false; // reported; cleared once the settings are back
    bool m_haveCounters = false;
    bool m_haveModemLines = false;
    LineStatus m_lineStatus;
};
