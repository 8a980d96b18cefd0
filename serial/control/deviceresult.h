#pragma once

#include <QString>

// What one OS call reported: success, or the OS's error number and its own text for it.
struct DeviceResult
{
    int error = 0; // errno; GetLastError() on Windows. 0 on success
    QString reason;

    bool ok() const { return error == 0; }
    static DeviceResult success() { return {}; }
    static DeviceResult failure(int error, QString reason) { return {error, std::move(reason)}; }
};

// Whether `error` says that no device is there at all, rather than one that cannot be had (held
// by another program, forbidden, failing). What says so differs from one OS to another.
bool isNoSuchDevice(int error);
