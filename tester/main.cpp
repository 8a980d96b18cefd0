#include "desktopfeedback.h"
#include "devicelist.h"
#include "devicewatcher.h"
#include "form1.h"
#include "quitsignals.h"
#include "termiosdevice.h"

#include <QApplication>

#include <cstdio>
#include <memory>

namespace {

// Without a display Qt aborts with a message about platform plugins; say plainly what to do.
bool displayAvailable()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY")
           || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char *argv[])
{
    if (!displayAvailable()) {
        std::fputs("lumora: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                   "Start it from a desktop session, or under a virtual display:\n"
                   "    xvfb-run -a lumora\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    // SIGTERM, SIGINT and SIGHUP quit the event loop, so the window closes the port normally.
    QuitSignals quitSignals;
    QApplication::setApplicationName(QStringLiteral("lumora"));
    QApplication::setDesktopFileName(QStringLiteral("lumora"));

    const DeviceList devices;
    auto core = std::make_unique<TesterCore>(
        std::make_unique<TermiosDevice>(), [devices] { return devices.devices(); },
        std::make_unique<DesktopFeedback>());
    core->watchDevices(std::make_unique<DeviceWatcher>(devices));
    core->setDeviceDescriber(
        [devices](const QString &path) { return devices.describe(path).text(); });
    Form1 window(std::move(core));
    window.show();
    return app.exec();
}
