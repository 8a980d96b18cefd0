#include "benchrig.h"
#include "form1.h"
#include "historybox.h"
#include "report.h"
#include "scenarios.h"
#include "traffic.h"

#include <QFile>

#include <cmath>
#include <limits>

#include <time.h>
#include <unistd.h>

namespace {

constexpr double StartupTargetMs = 300;
constexpr double IdleTargetPercent = 0.5;
constexpr double LatencyTargetMs = 20;
constexpr auto LinePace = std::chrono::milliseconds(1);

// When this process started, on the monotonic clock; 0 if unknown. The kernel keeps it in
// clock ticks since boot, so it is good to one tick (10 ms on most systems).
qint64 processStartNs()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    // The command name in parentheses may hold spaces; the fields after it do not.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    constexpr int StartTimeField = 22 - 3; // field 22, counted from field 3
    if (fields.size() <= StartTimeField)
        return 0;
    const qint64 ticks = fields.at(StartTimeField).toLongLong();
    const qint64 sinceBootNs = ticks * 1'000'000'000 / ::sysconf(_SC_CLK_TCK);
    timespec boot{};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    const qint64 bootNowNs = qint64(boot.tv_sec) * 1'000'000'000 + boot.tv_nsec;
    return monotonicNs() - (bootNowNs - sinceBootNs);
}

} // namespace

namespace Scenarios {

void startup(BenchRig &rig, qint64 mainEntryNs, Report &report)
{
    report.setSection(QStringLiteral("Start-up (in-process, this benchmark's own main())"));
    for (int i = 0; i < 100 && rig.firstPaintNs() == 0; ++i)
        rig.runFor(10);
    const qint64 painted = rig.firstPaintNs();
    const double fromMain
        = painted ? double(painted - mainEntryNs) / 1e6 : std::numeric_limits<double>::quiet_NaN();
    report.addTarget(QStringLiteral("startup.main_to_first_paint_ms"),
                     QStringLiteral("main() entry to the window's first paint"), fromMain,
                     QStringLiteral("ms"), Report::Bound::AtMost, StartupTargetMs, 1);
    if (const qint64 started = processStartNs(); started && painted)
        report.add(QStringLiteral("startup.exec_to_first_paint_ms"),
                   QStringLiteral("process start to first paint (+-10 ms)"),
                   double(painted - started) / 1e6, QStringLiteral("ms"));
    report.note(QStringLiteral("QApplication, Form1 on the terminal device and show(); the "
                               "start-up scan's boxes are swallowed"));
}

void idle(BenchRig &rig, const BenchOptions &options, Report &report)
{
    report.setSection(QStringLiteral("Idle (port open, nothing arriving)"));
    rig.runFor(200);
    const qint64 wallFrom = monotonicNs();
    const qint64 cpuFrom = processCpuNs();
    rig.runFor(options.idleMs);
    const double cpu = double(processCpuNs() - cpuFrom);
    const double wall = double(monotonicNs() - wallFrom);
    report.addTarget(QStringLiteral("idle.cpu_percent"),
                     QStringLiteral("CPU over %1 s, share of one core").arg(wall / 1e9, 0, 'f', 0),
                     100 * cpu / wall, QStringLiteral("%"), Report::Bound::AtMost,
                     IdleTargetPercent, 2);
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
    report.addTarget(QStringLiteral("latency.p99_ms"), QStringLiteral("write to history, p99"),
                     Traffic::percentile(inHistory, 0.99), ms, Report::Bound::AtMost,
                     LatencyTargetMs, 2);
    report.add(QStringLiteral("latency.max_ms"), QStringLiteral("write to history, max"),
               Traffic::percentile(inHistory, 1.0), ms, 2);
    report.add(QStringLiteral("latency.painted_p99_ms"),
               QStringLiteral("write to the repaint showing it, p99"),
               Traffic::percentile(painted, 0.99), ms, 2);
    report.addIntegrity(
        QStringLiteral("latency.lost_or_altered"), QStringLiteral("characters lost or altered"),
        Traffic::damagedChars(rig.form().TextReceivedTxt->Text(), Traffic::historyOf(sent)));
}

} // namespace Scenarios
