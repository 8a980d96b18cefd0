#include "benchrig.h"
#include "report.h"
#include "scenarios.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

using namespace Qt::StringLiterals;

// Measures the receive path of the real window on a pseudo-terminal, on the X server of DISPLAY
// when there is one (scripts/bench starts Xvfb), offscreen without. Prints a table, then one
// JSON line per figure. Exits with 1 when a character was lost or altered, 2 when the benchmark
// could not run.
int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"lumora-bench"_s);

    // In the order they run; start-up is always measured.
    const std::pair<QString, Scenarios::Scenario *> parts[]{
        {u"idle"_s, Scenarios::idle},       {u"pace"_s, Scenarios::linePace},
        {u"flood"_s, Scenarios::flood},     {u"history"_s, Scenarios::history},
        {u"memory"_s, Scenarios::memory},   {u"typing"_s, Scenarios::typing},
        {u"waiting"_s, Scenarios::waiting}, {u"barcode"_s, Scenarios::longBarcode},
    };
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Measures how Lumora keeps up with a fast scanner, on a pseudo-terminal."_s);
    parser.addHelpOption();
    const QCommandLineOption quick(u"quick"_s, u"A short run for CI (about 10 s); fails only when "
                                               u"a character is lost or altered."_s);
    const QCommandLineOption only(
        u"only"_s,
        u"Run only these parts, comma-separated: idle, pace, flood, history, memory, typing, "
        u"waiting, barcode (start-up is always measured; waiting only in a full run)."_s,
        u"parts"_s);
    const QCommandLineOption xServer(
        u"x-server"_s, u"What the X server is, for the report (scripts/bench says Xvfb)."_s,
        u"name"_s);
    // This program started again (scenarios.h): "startup", or the port to wait for.
    QCommandLineOption probe(u"probe"_s, u"Started again by the benchmark."_s, u"what"_s);
    probe.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({quick, only, xServer, probe});
    parser.process(app);
    if (parser.isSet(probe))
        return parser.value(probe) == u"startup" ? Scenarios::startupProbe()
                                                 : Scenarios::waitingProbe(parser.value(probe));

    // What the figures were measured on: Qt's platform, and for xcb which X server.
    QString platform = QGuiApplication::platformName();
    if (platform == u"xcb")
        platform
            += u" on "_s
               + (parser.isSet(xServer) ? parser.value(xServer) : qEnvironmentVariable("DISPLAY"));
    Report report(platform, parser.isSet(quick) ? u"quick"_s : u"full"_s);
    BenchRig rig;
    if (!rig.feeder().isValid() || !rig.showAndOpen()) {
        std::fprintf(stderr, "lumora-bench: the window did not open the pseudo-terminal %s %s\n",
                     qPrintable(rig.feeder().slavePath()), qPrintable(rig.feeder().errorString()));
        return 2;
    }
    Scenarios::startup(report);
    const QStringList chosen = parser.value(only).split(u',', Qt::SkipEmptyParts);
    for (const auto &[name, run] : parts) {
        if (chosen.isEmpty() || chosen.contains(name))
            run(rig, parser.isSet(quick), report);
    }
    std::fputs(report.text().constData(), stdout);
    if (report.integrityFailed())
        std::fprintf(stderr, "lumora-bench: characters were lost or altered\n");
    return report.integrityFailed() ? 1 : 0;
}
