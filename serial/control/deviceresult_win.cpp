#include "deviceresult.h"

#include <windows.h>

bool isNoSuchDevice(int error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: // no COM port of that name
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}
