#include "desktopfeedback.h"
#include "form1.h"
#include "platform.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (!Platform::displayAvailable())
        return 1;
    QApplication app(argc, argv);
    Platform::setLook();
    const std::unique_ptr<QObject> quitRequests = Platform::quitOnRequest();
    QApplication::setApplicationName(QStringLiteral("lumora"));
    QApplication::setDesktopFileName(QStringLiteral("lumora"));

    Form1 window(Platform::testerOnSystemPorts(std::make_unique<DesktopFeedback>()));
    window.show();
    return app.exec();
}
