// Renders the real window offscreen, as a user sees it after a few scans, into a PNG file:
//     lumora-screenshot OUTPUT.png
// QT_SCALE_FACTOR=2 renders it for a high-density screen.
#include "testerrig.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: lumora-screenshot OUTPUT.png\n", stderr);
        return 2;
    }
    TesterRig rig;
    rig.form().show();
    rig.openPort(1);
    rig.receive("4006381333931\r5901234123457\r\x02"
                "ABC-123\x03\r9780201379624\r");
    rig.frame();
    QApplication::processEvents();
    const QPixmap shot = rig.form().grab();
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "lumora-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
