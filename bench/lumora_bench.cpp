#include "benchrig.h"
#include "report.h"
#include "scenarios.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>

#include <cstdio>
#include <limits>

// Measures the receive path of the real window on a pseudo-terminal: start-up, idle CPU,
// latency at line pace, barcodes at a scanner's pace, a flood at full speed, and the cost per
// character as the history grows. Prints a table, then one JSON line per figure. Exits with 1
// when a character was lost or altered, 2 when the benchmark could not run.
//
// The window is drawn on the X server of DISPLAY when there is one (scripts/bench starts Xvfb),
// as the program is; a full run there runs again offscreen, for a second column.

BenchOptions BenchOptions::quick()
{
    BenchOptions options;
    options.floodBarcodes = 14'286; // 200,004 characters
    options.idleMs = 2'000;
    options.latencySamples = 2'000;
    options.growthRepeats = 3;
    options.growthBatch = 20'000;
    options.longLine = 200'000;
    options.paceBarcodes = 200;
    options.paceRuns = 1;
    options.slowSeconds = 0;
    options.pacedLineChars = 100;
    return options;
}

namespace {

// Runs this program again offscreen with `arguments` and reads its figures; empty when it
// could not run.
QHash<QString, double> runOffscreen(QStringList arguments)
{
    const auto platform = QStringLiteral("offscreen");
    QTemporaryFile json;
    if (!json.open())
        return {};
    arguments << QStringLiteral("--one-column") << QStringLiteral("--json") << json.fileName();
    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    run.setProcessEnvironment(environment);
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.setStandardOutputFile(QProcess::nullDevice());
    run.start(QCoreApplication::applicationFilePath(), arguments);
    if (!run.waitForFinished(-1) || run.exitStatus() != QProcess::NormalExit
        || run.exitCode() == 2) {
        std::fprintf(stderr, "lumora-bench: the offscreen run failed\n");
        return {};
    }
    return Report::readJson(json.fileName(), platform);
}

// What the figures were measured on: Qt's platform, and for xcb which X server.
QString platformName(const QString &xServer)
{
    const QString platform = QGuiApplication::platformName();
    if (platform != u"xcb")
        return platform;
    return QStringLiteral("xcb on %1")
        .arg(xServer.isEmpty() ? qEnvironmentVariable("DISPLAY") : xServer);
}

} // namespace

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
    const QCommandLineOption barcodesOption(
        QStringLiteral("barcodes"), QStringLiteral("Barcodes in the flood."), QStringLiteral("n"));
    const QCommandLineOption idleOption(QStringLiteral("idle-seconds"),
                                        QStringLiteral("Length of the idle measurement."),
                                        QStringLiteral("s"));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("Write the JSON lines to <file>, not stdout."),
        QStringLiteral("file"));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"),
        QStringLiteral("Run only these parts, comma-separated: idle, latency, pace, slow, flood, "
                       "growth, long-line (start-up is always measured)."),
        QStringLiteral("parts"));
    const QCommandLineOption slowOption(
        QStringLiteral("slow-seconds"),
        QStringLiteral("Length of the one-barcode-a-second measurement (0 skips it)."),
        QStringLiteral("s"));
    const QCommandLineOption xServerOption(
        QStringLiteral("x-server"),
        QStringLiteral("What the X server is, for the report (scripts/bench says Xvfb)."),
        QStringLiteral("name"));
    const QCommandLineOption oneColumnOption(
        QStringLiteral("one-column"),
        QStringLiteral("On an X server, do not run again offscreen for a second column."));
    QCommandLineOption probeOption(QStringLiteral("startup-probe"),
                                   QStringLiteral("Show the window, print when it first painted."));
    probeOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({quickOption, barcodesOption, idleOption, slowOption, onlyOption, jsonOption,
                       xServerOption, oneColumnOption, probeOption});
    parser.process(app);
    if (parser.isSet(probeOption))
        return Scenarios::startupProbe(mainEntryNs);

    const bool quick = parser.isSet(quickOption);
    BenchOptions options = quick ? BenchOptions::quick() : BenchOptions{};
    if (parser.isSet(barcodesOption))
        options.floodBarcodes = qMax(1, parser.value(barcodesOption).toInt());
    if (parser.isSet(idleOption))
        options.idleMs = qMax(1, parser.value(idleOption).toInt()) * 1000;
    if (parser.isSet(slowOption))
        options.slowSeconds = qMax(0, parser.value(slowOption).toInt());

    Report report;
    report.setPlatform(platformName(parser.value(xServerOption)));
    if (QGuiApplication::platformName() != u"offscreen" && !quick
        && !parser.isSet(oneColumnOption)) {
        // First, while this process has no window yet to disturb it. The figures go to a file.
        QStringList arguments = app.arguments().mid(1);
        if (const qsizetype json = arguments.indexOf(QStringLiteral("--json")); json >= 0)
            arguments.remove(json, 2);
        arguments.removeIf([](const QString &a) { return a.startsWith(u"--json="); });
        report.setSecondColumn(QStringLiteral("offscreen"), runOffscreen(arguments));
    }

    BenchRig rig;
    if (!rig.isValid()) {
        std::fprintf(stderr, "lumora-bench: no pseudo-terminal: %s\n",
                     rig.errorString().toLocal8Bit().constData());
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
    const QString loadBefore = loadAverage();
    Scenarios::startup(report);
    double idlePercent = std::numeric_limits<double>::quiet_NaN();
    if (runs("idle"))
        idlePercent = Scenarios::idle(rig, options, report);
    if (runs("latency"))
        Scenarios::latency(rig, options, report);
    if (runs("pace"))
        Scenarios::linePace(rig, options, report);
    if (runs("slow") && options.slowSeconds > 0)
        Scenarios::slow(rig, options, idlePercent, report);
    if (runs("flood"))
        Scenarios::flood(rig, options, report);
    double shortHistoryCost = std::numeric_limits<double>::quiet_NaN();
    if (runs("growth"))
        shortHistoryCost = Scenarios::growth(rig, options, report);
    if (runs("long-line")) {
        Scenarios::longLine(rig, options, shortHistoryCost, report);
        Scenarios::pacedLongLine(rig, options, report);
    }

    const QString loadAfter = loadAverage();
    const QString mode = quick ? QStringLiteral("quick") : QStringLiteral("full");
    report.printTable(stdout, QStringLiteral("Lumora benchmark (%1 run, window on %2)\n%3\n"
                                             "Load average before: %4, after: %5")
                                  .arg(mode, platformName(parser.value(xServerOption)),
                                       machineSummary(), loadBefore, loadAfter));
    const QJsonObject run{{QStringLiteral("mode"), mode},
                          {QStringLiteral("load_before"), loadBefore},
                          {QStringLiteral("load_after"), loadAfter}};
    if (parser.isSet(jsonOption)) {
        std::FILE *json = std::fopen(parser.value(jsonOption).toLocal8Bit().constData(), "w");
        if (!json) {
            std::perror("lumora-bench: --json");
            return 2;
        }
        report.printJson(json, run);
        std::fclose(json);
    } else {
        report.printJson(stdout, run);
    }
    if (report.integrityFailed()) {
        std::fprintf(stderr, "lumora-bench: characters were lost or altered\n");
        return 1;
    }
    return 0;
}
