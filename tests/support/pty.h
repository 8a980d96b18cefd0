#pragma once

#include <QByteArray>
#include <QString>

#include <termios.h>

// A pseudo-terminal pair standing in for a serial port in tests: the slave (slavePath()) is
// the port a device opens, the master is the scanner on the far end of the cable. Bytes
// written to the master arrive at the slave as received data.
//
// The slave starts in raw mode, like an idle serial port. Its settings are read and changed
// through the master (Linux applies terminal settings requests on a master to its slave), so
// a test can look at them while a device holds the slave exclusively.
class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    // False when no pseudo-terminal could be had; errorString() says why.
    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }

    // Sends bytes without blocking; returns how many the slave took (fewer while its input
    // is full), or -1 on an error (after hangUp(), for one).
    qsizetype write(const QByteArray &bytes);
    // Closes the master: the slave is hung up, as a USB adapter is when it is unplugged.
    void hangUp();

    termios slaveSettings() const;
    bool setSlaveSettings(const termios &settings);

private:
    int m_master = -1;
    QString m_slavePath;
    QString m_error;
};

// Settings no serial device would be given, to tell them from 9600 8N1 raw.
termios oddSettings(termios settings);
bool sameSettings(const termios &a, const termios &b);
