#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QCoreApplication>
#include <QProcess>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

constexpr double StartupTargetMs = 300;
constexpr double IdleTargetPercent = 0.5;
constexpr double PaceCpuTargetSeconds = 0.5; // per 1,000 barcodes
constexpr double DisplayTargetMs = 50;
constexpr double BurstCpuTargetSeconds = 0.1; // per 20,000 barcodes
constexpr double SlowTargetPercent = 0.3;
constexpr qint64 BarcodeChars = 14;
constexpr int SettleMs = 200;
constexpr int ProbeTimeoutMs = 30'000;

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PaceFirst = 30'000'000;
constexpr qint64 BurstFirst = 40'000'000;
constexpr qint64 SlowFirst = 50'000'000;

const auto Seconds = QStringLiteral("s");
const auto Percent = QStringLiteral("%");

// CPU of the whole process over the time `run` takes, in percent of one core.
template<typename Run>
double cpuPercent(Run run)
{
    const qint64 cpuFrom = processCpuNs();
    const qint64 wallFrom = monotonicNs();
    const double excluded = run();
    return 100 * (double(processCpuNs() - cpuFrom) / 1e9 - excluded)
           / (double(monotonicNs() - wallFrom) / 1e9);
}

void emptyHistory(BenchRig &rig)
{
    rig.setHistory(QString());
    rig.runFor(SettleMs);
    rig.resetNotes();
}

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
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 launched = monotonicNs();
    probe.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--startup-probe")});
    probe.waitForFinished(ProbeTimeoutMs);
    // The probe reads the same monotonic clock: when its main() began and when it painted.
    const QList<QByteArray> times = probe.readAllStandardOutput().trimmed().split(' ');
    const qint64 painted = times.size() == 2 ? times.at(1).toLongLong() : 0;
    report.add(QStringLiteral("startup.launch_to_first_paint_ms"),
               QStringLiteral("process launch to the window's first paint"),
               painted ? double(painted - launched) / 1e6
                       : std::numeric_limits<double>::quiet_NaN(),
               QStringLiteral("ms"), Report::Bound::AtMost, StartupTargetMs, 1);
}

double idle(BenchRig &rig, const BenchOptions &options, Report &report)
{
    report.setSection(QStringLiteral("Idle (port open, nothing arriving)"));
    rig.runFor(SettleMs);
    const double percent = cpuPercent([&] {
        rig.runFor(options.idleMs);
        return 0.0;
    });
    report.add(QStringLiteral("idle.cpu_percent"),
               QStringLiteral("CPU over %1 s, share of one core").arg(options.idleMs / 1000),
               percent, Percent, Report::Bound::AtMost, IdleTargetPercent, 2);
    return percent;
}

void linePace(BenchRig &rig, const BenchOptions &options, Report &report)
{
    const qint64 count = options.paceBarcodes;
    const int runs = qMax(1, options.paceRuns);
    report.setSection(QStringLiteral("Line pace: %1 barcodes, one every %2 ms, each in one write%3")
                          .arg(count)
                          .arg(options.paceIntervalMs)
                          .arg(runs > 1 ? QStringLiteral("; %1 runs").arg(runs) : QString()));
    // The machine's other work moves a run's CPU by a tenth or more: the figure is the median of
    // the runs; the delays and the checks take in every run.
    std::vector<double> cpus;
    std::vector<double> shown;
    qint64 damaged = 0;
    qint64 beepsAmiss = 0;
    for (int run = 0; run < runs; ++run) {
        emptyHistory(rig);
        const QByteArray sent = Traffic::barcodes(count, PaceFirst + run * count);
        const qint64 beepsBefore = rig.beeps();
        const double cpu = rig.feed(sent, std::chrono::milliseconds(options.paceIntervalMs),
                                    BarcodeChars, options.stallMs);
        cpus.push_back(cpu * 1000 / double(count));
        const std::vector<double> delays
            = Traffic::delaysMs(rig.feeder().pacedWriteTimes(), rig.barcodePaints());
        shown.insert(shown.end(), delays.begin(), delays.end());
        damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent));
        beepsAmiss += std::abs(rig.beeps() - beepsBefore - sent.size());
    }
    Report::Figure &cpu = report.add(QStringLiteral("pace.cpu_seconds_per_1000"),
                                     runs > 1 ? QStringLiteral("CPU per 1,000 barcodes, median run")
                                              : QStringLiteral("CPU per 1,000 barcodes"),
                                     Traffic::percentile(cpus, 0.5), Seconds, Report::Bound::AtMost,
                                     PaceCpuTargetSeconds, 2);
    if (runs > 1)
        cpu.parts
            = {{QStringLiteral("lowest"), cpus.front()}, {QStringLiteral("highest"), cpus.back()}};
    report.add(QStringLiteral("pace.display_p99_ms"),
               QStringLiteral("write to the barcode display's repaint, p99"),
               Traffic::percentile(shown, 0.99), QStringLiteral("ms"), Report::Bound::AtMost,
               DisplayTargetMs, 1);

    emptyHistory(rig);
    const QByteArray back = Traffic::barcodes(options.burstBarcodes, BurstFirst);
    const double burstCpu = rig.feed(back, {}, 0, options.stallMs);
    report.add(QStringLiteral("pace.burst_cpu_seconds_per_20000"),
               QStringLiteral("barcodes back to back, CPU per 20,000"),
               burstCpu * 20'000 / double(options.burstBarcodes), Seconds, Report::Bound::AtMost,
               BurstCpuTargetSeconds, 3);
    damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(back));
    report.addIntegrity(QStringLiteral("pace.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
    report.addIntegrity(QStringLiteral("pace.beeps_not_one_per_char"),
                        QStringLiteral("beeps missing or extra (one per character)"), beepsAmiss);
    report.note(QStringLiteral("CPU of the whole process without the thread writing to the pty, "
                               "from the first write until the last character is on screen"));
}

void slow(BenchRig &rig, const BenchOptions &options, double idlePercent, Report &report)
{
    report.setSection(QStringLiteral("One barcode a second, for %1 s").arg(options.slowSeconds));
    emptyHistory(rig);
    if (std::isnan(idlePercent)) {
        idlePercent = cpuPercent([&] {
            rig.runFor(options.slowSeconds * 1000);
            return 0.0;
        });
    }
    const QByteArray sent = Traffic::barcodes(options.slowSeconds, SlowFirst);
    const double percent = cpuPercent([&] {
        rig.feeder().startPaced(sent, std::chrono::seconds(1), BarcodeChars);
        rig.waitForChars(sent.size(), options.stallMs);
        rig.feeder().wait();
        // To a second after the last barcode, as if the next one were due.
        rig.runFor(1000);
        return double(rig.feeder().cpuNs()) / 1e9;
    });
    report.add(QStringLiteral("slow.cpu_percent_above_idle"),
               QStringLiteral("CPU above idle, share of one core"), percent - idlePercent, Percent,
               Report::Bound::AtMost, SlowTargetPercent, 3);
    report.addIntegrity(QStringLiteral("slow.lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
}

} // namespace Scenarios
