#pragma once

#include <QString>

// What one OS call reported: success, or the errno and the OS's own text for it.
struct DeviceResult
{
    int error = 0; // errno, 0 on success
    QString reason;

    bool ok() const { return error == 0; }
    static DeviceResult success() { return {}; }
    static DeviceResult failure(int error, QString reason) { return {error, std::move(reason)}; }
};
