#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

// Measures the receive path of the real window on a pseudo-terminal: start-up, idle CPU,
// barcodes at a scanner's pace, a flood at full speed, the cost per character against what
// the history holds, and a long barcode ended by a late CR. Prints a table, then one JSON line
// per figure. Exits with 1 when a character was lost or altered, 2 when the benchmark could not
// run.
//
// The window is drawn on the X server of DISPLAY when there is one (scripts/bench starts Xvfb,
// then runs this again offscreen), as the program is; offscreen without one.

int main(int argc, char *argv[])
{
    const qint64 mainEntryNs = monotonicNs();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumora-bench"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures how Lumora keeps up with a fast scanner, on a pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption quickOption(
        QStringLiteral("quick"), QStringLiteral("A short run for CI (about 10 s); fails only "
                                                "when a character is lost or altered."));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"),
        QStringLiteral("Run only these parts, comma-separated: idle (with one barcode a second), "
                       "pace, flood, history, memory, typing, barcode, waiting "
                       "(start-up is always measured)."),
        QStringLiteral("parts"));
    const QCommandLineOption xServerOption(
        QStringLiteral("x-server"),
        QStringLiteral("What the X server is, for the report (scripts/bench says Xvfb)."),
        QStringLiteral("name"));
    QCommandLineOption probeOption(QStringLiteral("startup-probe"),
                                   QStringLiteral("Show the window, print when it first painted."));
    probeOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption waitingProbeOption(
        QStringLiteral("waiting-probe"),
        QStringLiteral("Wait for the port, measure, print the figures (run as another user)."),
        QStringLiteral("port"));
    waitingProbeOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({quickOption, onlyOption, xServerOption, probeOption, waitingProbeOption});
    parser.process(app);
    if (parser.isSet(probeOption))
        return Scenarios::startupProbe(mainEntryNs);
    if (parser.isSet(waitingProbeOption))
        return Scenarios::waitingProbe(parser.value(waitingProbeOption),
                                       parser.positionalArguments().value(0).toInt());

    const bool quick = parser.isSet(quickOption);
    // What the figures were measured on: Qt's platform, and for xcb which X server.
    QString platform = QGuiApplication::platformName();
    if (platform == u"xcb")
        platform += QStringLiteral(" on ")
                    + (parser.isSet(xServerOption) ? parser.value(xServerOption)
                                                   : qEnvironmentVariable("DISPLAY"));
    Report report(platform, quick ? QStringLiteral("quick") : QStringLiteral("full"));

    BenchRig rig;
    if (!rig.feeder().isValid()) {
        std::fprintf(stderr, "lumora-bench: no pseudo-terminal: %s\n",
                     rig.feeder().errorString().toLocal8Bit().constData());
        return 2;
    }
    if (!rig.showAndOpen()) {
        std::fprintf(stderr, "lumora-bench: the window did not open %s\n",
                     rig.feeder().slavePath().toLocal8Bit().constData());
        return 2;
    }

    const QStringList only = parser.value(onlyOption).split(u',', Qt::SkipEmptyParts);
    const auto runs = [&only](const char *part) {
        return only.isEmpty() || only.contains(QLatin1String(part));
    };
    Scenarios::startup(report);
    if (runs("idle"))
        Scenarios::idle(rig, quick, report);
    if (runs("pace"))
        Scenarios::linePace(rig, quick, report);
    if (runs("flood"))
        Scenarios::flood(rig, quick, report);
    if (runs("history"))
        Scenarios::history(rig, quick, report);
    if (runs("memory"))
        Scenarios::memory(rig, quick, report);
    if (runs("typing"))
        Scenarios::typing(rig, quick, report);
    // Not in a quick run: it starts 2,000 processes.
    if (!quick && runs("waiting"))
        Scenarios::waiting(quick, report);
    if (runs("barcode"))
        Scenarios::longBarcode(rig, quick, report);

    report.print(stdout);
    if (report.integrityFailed()) {
        std::fprintf(stderr, "lumora-bench: characters were lost or altered\n");
        return 1;
    }
    return 0;
}
