#pragma once

#include <QString>

#include <exception>

// The numbered failures that CommControl operations raise. The port scan tells these three
// apart; every failure to open an absent, busy, locked or forbidden port is one of them.
enum CommErrorNumber : int {
    DeviceUnavailable = 68, // the device exists but cannot be had: busy, locked, forbidden, gone
    BadPortNumber = 8002,   // no device behind that port number
    PortNotOpen = 8012,     // the operation needs an open port
};

class CommError : public std::exception
{
public:
    CommError(int number, QString message);

    int number() const { return m_number; }
    QString message() const { return m_message; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    int m_number;
    QString m_message;
    QByteArray m_what;
};
