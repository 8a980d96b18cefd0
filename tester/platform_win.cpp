#include "platform.h"

#include "comdevice_win.h"
#include "comports_win.h"

#include <QApplication>

// A Windows desktop always has one.
bool Platform::displayAvailable()
{
    return true;
}

void Platform::setLook()
{
    QApplication::setStyle(QStringLiteral("Fusion"));
}

// Windows asks a program to end by closing its window (WM_CLOSE), which takes the normal way
// already. At the end of a session it ends the process once the application has been told
// (aboutToQuit); the port then keeps Lumora's settings, as after a crash.
std::unique_ptr<QObject> Platform::quitOnRequest()
{
    return nullptr;
}

std::unique_ptr<TesterCore> Platform::testerOnSystemPorts(std::unique_ptr<Feedback> feedback)
{
    const ComPorts ports;
    auto core = std::make_unique<TesterCore>(
        std::make_unique<ComDevice>(), [ports] { return ports.devices(); }, std::move(feedback));
    core->watchDevices(
        std::make_unique<DeviceWatcher>([ports] { return ports.devices(); }, ports.changeNotice()));
    core->setDeviceDescriber(&ComPorts::describe);
    return core;
}
