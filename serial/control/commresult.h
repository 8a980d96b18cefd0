#pragma once

#include <QString>

// The failure numbers of the control's operations. The port scan tells these three apart;
// every failure to open an absent, busy, locked or forbidden port is one of them.
enum CommFailureNumber : int {
    DeviceUnavailable = 68, // the device exists but cannot be had: busy, locked, forbidden
    BadPortNumber = 8002,   // no device behind that port number
    PortNotOpen = 8012,     // the operation needs an open port
};

// What an operation of the control came to: success, or a failure number with a message that
// carries the OS's reason.
class [[nodiscard]] CommResult
{
public:
    static CommResult success() { return {}; }
    static CommResult failure(CommFailureNumber number, QString message)
    {
        CommResult result;
        result.m_number = number;
        result.m_message = std::move(message);
        return result;
    }

    bool ok() const { return m_number == 0; }
    int number() const { return m_number; }
    const QString &message() const { return m_message; }

private:
    int m_number = 0;
    QString m_message;
};

// What Input() read, or why it could not.
struct [[nodiscard]] CommInput
{
    QString chars;
    CommResult result;
};
