#include "deviceresult.h"

#include <cerrno>

bool isNoSuchDevice(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO;
}
