#include "benchrig.h"
#include "cpuclock.h"
#include "historybox.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QCoreApplication>
#include <QProcess>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr double StartupTargetMs = 300;
constexpr double IdleTargetPercent = 0.5;
// From a character's arrival to the screen showing it.
constexpr double LatencyTargetMs = 50;
constexpr auto LinePace = std::chrono::milliseconds(1);
constexpr int ProbeTimeoutMs = 30'000;

} // namespace

namespace Scenarios {

int startupProbe(qint64 mainEntryNs)
{
    BenchRig rig;
    if (!rig.isValid())
        return 2;
    rig.showAndOpen();
    for (int i = 0; i < 100 && rig.firstPaintNs() == 0; ++i)
        rig.runFor(10);
    std::printf("%lld %lld\n", mainEntryNs, rig.firstPaintNs());
    return rig.firstPaintNs() ? 0 : 2;
}

void startup(Report &report)
{
    report.setSection(QStringLiteral("Start-up (this program started again, with its window)"));
    QProcess probe;
    probe.setProgram(QCoreApplication::applicationFilePath());
    probe.setArguments({QStringLiteral("--startup-probe")});
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 launched = monotonicNs();
    probe.start();
    probe.waitForFinished(ProbeTimeoutMs);
    // The probe reads the same monotonic clock: when its main() began and when it painted.
    const QList<QByteArray> times = probe.readAllStandardOutput().trimmed().split(' ');
    const qint64 entered = times.size() == 2 ? times.at(0).toLongLong() : 0;
    const qint64 painted = times.size() == 2 ? times.at(1).toLongLong() : 0;
    const auto since = [painted](qint64 from) {
        return painted && from ? double(painted - from) / 1e6
                               : std::numeric_limits<double>::quiet_NaN();
    };
    report.addTarget(QStringLiteral("startup.launch_to_first_paint_ms"),
                     QStringLiteral("process launch to the window's first paint"), since(launched),
                     QStringLiteral("ms"), Report::Bound::AtMost, StartupTargetMs, 1);
    report.add(QStringLiteral("startup.main_to_first_paint_ms"),
               QStringLiteral("of which main() entry to first paint"), since(entered),
               QStringLiteral("ms"), 1);
    report.note(QStringLiteral("QApplication, Form1 on the terminal device and show(); the "
                               "start-up scan's boxes are swallowed"));
}

double idle(BenchRig &rig, const BenchOptions &options, Report &report)
{
    report.setSection(QStringLiteral("Idle (port open, nothing arriving)"));
    rig.runFor(200);
    const qint64 wallFrom = monotonicNs();
    const qint64 cpuFrom = processCpuNs();
    rig.runFor(options.idleMs);
    const double cpu = double(processCpuNs() - cpuFrom);
    const double wall = double(monotonicNs() - wallFrom);
    const double percent = 100 * cpu / wall;
    report.addTarget(QStringLiteral("idle.cpu_percent"),
                     QStringLiteral("CPU over %1 s, share of one core").arg(wall / 1e9, 0, 'f', 0),
                     percent, QStringLiteral("%"), Report::Bound::AtMost, IdleTargetPercent, 2);
    return percent;
}

void latency(BenchRig &rig, const BenchOptions &options, Report &report)
{
    report.setSection(QStringLiteral("Latency at line pace (a character a millisecond)"));
    rig.setHistory(QString());
    rig.resetNotes();
    const QByteArray sent
        = Traffic::barcodes(options.latencySamples / 14 + 1).left(options.latencySamples);
    rig.feeder().startPaced(sent, LinePace);
    rig.waitForChars(sent.size(), options.stallMs);
    rig.feeder().wait();

    // Both lists are in time order, so one pass pairs each write with its arrival.
    const std::vector<qint64> &written = rig.feeder().pacedWriteTimes();
    const std::vector<BenchRig::Progress> &progress = rig.progress();
    const std::vector<qint64> &paints = rig.historyPaints();
    std::vector<double> inHistory;
    std::vector<double> painted;
    size_t change = 0;
    size_t paint = 0;
    for (size_t i = 0; i < written.size(); ++i) {
        while (change < progress.size() && progress[change].chars < qint64(i + 1))
            ++change;
        if (change == progress.size())
            break;
        const qint64 arrived = progress[change].ns;
        inHistory.push_back(double(arrived - written[i]) / 1e6);
        while (paint < paints.size() && paints[paint] < arrived)
            ++paint;
        if (paint < paints.size())
            painted.push_back(double(paints[paint] - written[i]) / 1e6);
    }

    const auto ms = QStringLiteral("ms");
    report.add(QStringLiteral("latency.samples"), QStringLiteral("samples"),
               double(inHistory.size()), QString());
    report.add(QStringLiteral("latency.p50_ms"), QStringLiteral("write to history, median"),
               Traffic::percentile(inHistory, 0.5), ms, 2);
    report.add(QStringLiteral("latency.p99_ms"), QStringLiteral("write to history, p99"),
               Traffic::percentile(inHistory, 0.99), ms, 2);
    report.add(QStringLiteral("latency.max_ms"), QStringLiteral("write to history, max"),
               Traffic::percentile(inHistory, 1.0), ms, 2);
    report.addTarget(QStringLiteral("latency.painted_p99_ms"),
                     QStringLiteral("write to the repaint showing it, p99"),
                     Traffic::percentile(painted, 0.99), ms, Report::Bound::AtMost, LatencyTargetMs,
                     2);
    report.addIntegrity(QStringLiteral("latency.lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
}

} // namespace Scenarios
