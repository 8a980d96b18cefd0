#include "platform.h"

#include "devicelist.h"
#include "devicewatcher.h"
#include "quitsignals.h"
#include "termiosdevice.h"

#include <cstdio>

// Without a display Qt aborts with a message about platform plugins; say plainly what to do.
bool Platform::displayAvailable()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY")
        || qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return true;
    std::fputs("lumora: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
               "Start it from a desktop session, or under a virtual display:\n"
               "    xvfb-run -a lumora\n",
               stderr);
    return false;
}

// The desktop's style, if it has one.
void Platform::setLook() {}

// SIGTERM, SIGINT and SIGHUP quit the event loop.
std::unique_ptr<QObject> Platform::quitOnRequest()
{
    return std::make_unique<QuitSignals>();
}

std::unique_ptr<TesterCore> Platform::testerOnSystemPorts(std::unique_ptr<Feedback> feedback)
{
    const DeviceList devices;
    auto core = std::make_unique<TesterCore>(
        std::make_unique<TermiosDevice>(), [devices] { return devices.devices(); },
        std::move(feedback));
    core->watchDevices(std::make_unique<DeviceWatcher>(devices));
    core->setDeviceDescriber(
        [devices](const QString &path) { return devices.describe(path).text(); });
    return core;
}
