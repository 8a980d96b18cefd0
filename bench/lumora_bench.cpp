#include "benchrig.h"
#include "report.h"
#include "scenarios.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>

#include <cstdio>
#include <limits>

// Measures the receive path of the real window on a pseudo-terminal: start-up, idle CPU,
// latency at line pace, a flood at full speed, and the cost per character as the history
// grows. Prints a table, then one JSON line per figure. Exits with 1 when a character was lost
// or altered, 2 when the benchmark could not run.

BenchOptions BenchOptions::quick()
{
    BenchOptions options;
    options.floodBarcodes = 14'286; // 200,004 characters
    options.idleMs = 2'000;
    options.latencySamples = 2'000;
    options.growthRepeats = 3;
    options.growthBatch = 20'000;
    options.longLine = 200'000;
    return options;
}

int main(int argc, char *argv[])
{
    const qint64 mainEntryNs = monotonicNs();
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
        QStringLiteral(
            "Run only these parts, comma-separated: idle, latency, flood, growth, long-line "
            "(start-up is always measured)."),
        QStringLiteral("parts"));
    QCommandLineOption probeOption(QStringLiteral("startup-probe"),
                                   QStringLiteral("Show the window, print when it first painted."));
    probeOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions(
        {quickOption, barcodesOption, idleOption, onlyOption, jsonOption, probeOption});
    parser.process(app);
    if (parser.isSet(probeOption))
        return Scenarios::startupProbe(mainEntryNs);

    const bool quick = parser.isSet(quickOption);
    BenchOptions options = quick ? BenchOptions::quick() : BenchOptions{};
    if (parser.isSet(barcodesOption))
        options.floodBarcodes = qMax(1, parser.value(barcodesOption).toInt());
    if (parser.isSet(idleOption))
        options.idleMs = qMax(1, parser.value(idleOption).toInt()) * 1000;

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
    Report report;
    Scenarios::startup(report);
    if (runs("idle"))
        Scenarios::idle(rig, options, report);
    if (runs("latency"))
        Scenarios::latency(rig, options, report);
    if (runs("flood"))
        Scenarios::flood(rig, options, report);
    double shortHistoryCost = std::numeric_limits<double>::quiet_NaN();
    if (runs("growth"))
        shortHistoryCost = Scenarios::growth(rig, options, report);
    if (runs("long-line"))
        Scenarios::longLine(rig, options, shortHistoryCost, report);

    const QString loadAfter = loadAverage();
    const QString mode = quick ? QStringLiteral("quick") : QStringLiteral("full");
    report.printTable(stdout, QStringLiteral("Lumora benchmark (%1 run, offscreen)\n%2\n"
                                             "Load average before: %3, after: %4")
                                  .arg(mode, machineSummary(), loadBefore, loadAfter));
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
