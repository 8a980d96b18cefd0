#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QCoreApplication>
#include <QProcess>

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

constexpr double StartupTargetMs = 300;
constexpr double IdleTargetPercent = 0.5;
constexpr double SlowTargetPercent = 0.3;
constexpr double PaceCpuTargetSeconds = 0.5; // per 1,000 barcodes
constexpr double DisplayTargetMs = 50;
constexpr double BurstCpuTargetSeconds = 0.1; // per 20,000 barcodes
constexpr qint64 BarcodeChars = 14;
constexpr auto LinePace = std::chrono::milliseconds(15); // a barcode on a full 9600-baud line
constexpr int SettleMs = 200;

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PaceFirst = 30'000'000;
constexpr qint64 BurstFirst = 40'000'000;
constexpr qint64 SlowFirst = 50'000'000;

// CPU of the process in percent of one core since `cpuFrom` and `wallFrom`, without `excludedNs`.
double percentSince(qint64 cpuFrom, qint64 wallFrom, qint64 excludedNs = 0)
{
    return 100 * double(processCpuNs() - cpuFrom - excludedNs) / double(monotonicNs() - wallFrom);
}

void emptyHistory(BenchRig &rig)
{
    rig.setHistory(QString());
    rig.runFor(SettleMs);
}

} // namespace

namespace Scenarios {

int startupProbe(qint64 mainEntryNs)
{
    BenchRig rig;
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
    probe.waitForFinished();
    // The probe reads the same monotonic clock: when its main() began and when it painted.
    const QList<QByteArray> times = probe.readAllStandardOutput().trimmed().split(' ');
    const qint64 painted = times.size() == 2 ? times.at(1).toLongLong() : 0;
    report.add(QStringLiteral("startup.launch_to_first_paint_ms"),
               QStringLiteral("process launch to the window's first paint"),
               painted ? double(painted - launched) / 1e6
                       : std::numeric_limits<double>::quiet_NaN(),
               QStringLiteral("ms"), Report::Bound::AtMost, StartupTargetMs, 1);
}

void idle(BenchRig &rig, bool quick, Report &report)
{
    report.setSection(quick ? QStringLiteral("Idle: the port open, nothing arriving")
                            : QStringLiteral("Idle: the port open, nothing arriving; then one "
                                             "barcode a second"));
    const int idleSeconds = quick ? 2 : 10;
    emptyHistory(rig);
    qint64 cpuFrom = processCpuNs();
    qint64 wallFrom = monotonicNs();
    rig.runFor(idleSeconds * 1000);
    const double idle = percentSince(cpuFrom, wallFrom);
    report.add(QStringLiteral("idle.cpu_percent"),
               QStringLiteral("CPU over %1 s, share of one core").arg(idleSeconds), idle,
               QStringLiteral("%"), Report::Bound::AtMost, IdleTargetPercent, 2);
    if (quick)
        return;

    const QByteArray sent = Traffic::barcodes(20, SlowFirst);
    cpuFrom = processCpuNs();
    wallFrom = monotonicNs();
    rig.feeder().start(sent, std::chrono::seconds(1), BarcodeChars);
    rig.waitForChars(sent.size());
    rig.feeder().wait();
    // To a second after the last barcode, as if the next one were due.
    rig.runFor(1000);
    report.add(QStringLiteral("slow.cpu_percent_above_idle"),
               QStringLiteral("one barcode a second for 20 s, CPU above idle"),
               percentSince(cpuFrom, wallFrom, rig.feeder().cpuNs()) - idle, QStringLiteral("%"),
               Report::Bound::AtMost, SlowTargetPercent, 3);
    report.addIntegrity(QStringLiteral("slow.lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
}

// CPU is the whole process's without the thread writing to the pty, from the first write until
// the last character is on screen.
void linePace(BenchRig &rig, bool quick, Report &report)
{
    const qint64 count = quick ? 200 : 1'000;
    const int runs = quick ? 1 : 3;
    report.setSection(QStringLiteral("Line pace: %1 barcodes, one every 15 ms, each in one "
                                     "write; %2 run(s)")
                          .arg(count)
                          .arg(runs));
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
        cpus.push_back(rig.feed(sent, LinePace, BarcodeChars) * 1000 / double(count));
        const std::vector<double> delays
            = Traffic::delaysMs(rig.feeder().pacedWriteTimes(), rig.barcodePaints());
        shown.insert(shown.end(), delays.begin(), delays.end());
        damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent));
        beepsAmiss += std::abs(rig.beeps() - beepsBefore - sent.size());
    }
    Report::Figure &cpu = report.add(QStringLiteral("pace.cpu_seconds_per_1000"),
                                     QStringLiteral("CPU per 1,000 barcodes, median run"),
                                     Traffic::percentile(cpus, 0.5), QStringLiteral("s"),
                                     Report::Bound::AtMost, PaceCpuTargetSeconds, 2);
    if (runs > 1)
        cpu.parts
            = {{QStringLiteral("lowest"), cpus.front()}, {QStringLiteral("highest"), cpus.back()}};
    report.add(QStringLiteral("pace.display_p99_ms"),
               QStringLiteral("write to the barcode display's repaint, p99"),
               Traffic::percentile(shown, 0.99), QStringLiteral("ms"), Report::Bound::AtMost,
               DisplayTargetMs, 1);

    emptyHistory(rig);
    const QByteArray back = Traffic::barcodes(20'000, BurstFirst);
    report.add(QStringLiteral("pace.burst_cpu_seconds_per_20000"),
               QStringLiteral("20,000 barcodes back to back, CPU"), rig.feed(back),
               QStringLiteral("s"), Report::Bound::AtMost, BurstCpuTargetSeconds, 3);
    damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(back));
    report.addIntegrity(QStringLiteral("pace.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
    report.addIntegrity(QStringLiteral("pace.beeps_not_one_per_char"),
                        QStringLiteral("beeps missing or extra (one per character)"), beepsAmiss);
}

} // namespace Scenarios
