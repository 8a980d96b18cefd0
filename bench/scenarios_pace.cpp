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

using namespace Qt::StringLiterals;

namespace {

constexpr double IdleTargetPercent = 0.5;
constexpr auto LinePace = std::chrono::milliseconds(15); // a barcode on a full 9600-baud line

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PaceFirst = 30'000'000;
constexpr qint64 BurstFirst = 40'000'000;
constexpr qint64 SlowFirst = 50'000'000;

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
    report.setSection(u"Start-up (this program started again, with its window)"_s);
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 launched = monotonicNs();
    probe.start(QCoreApplication::applicationFilePath(), {u"--startup-probe"_s});
    probe.waitForFinished();
    // The probe reads the same monotonic clock: when its main() began and when it painted.
    const QList<QByteArray> times = probe.readAllStandardOutput().trimmed().split(' ');
    const qint64 painted = times.size() == 2 ? times.at(1).toLongLong() : 0;
    report.add(
        u"startup.launch_to_first_paint_ms"_s, u"process launch to the window's first paint"_s,
        painted ? double(painted - launched) / 1e6 : qQNaN(), u"ms"_s, Report::AtMost, 300, 1);
}

void idle(BenchRig &rig, bool quick, Report &report)
{
    report.setSection(quick
                          ? u"Idle: the port open, nothing arriving"_s
                          : u"Idle: the port open, nothing arriving; then one barcode a second"_s);
    const int idleSeconds = quick ? 2 : 10;
    rig.clear();
    const CpuSince quiet;
    rig.runFor(idleSeconds * 1000);
    const double idle = quiet.percent();
    report.add(u"idle.cpu_percent"_s, u"CPU over %1 s, share of one core"_s.arg(idleSeconds), idle,
               u"%"_s, Report::AtMost, IdleTargetPercent, 2);
    if (quick)
        return;

    const QByteArray sent = Traffic::barcodes(20, SlowFirst);
    const CpuSince slow;
    rig.feeder().start(sent, std::chrono::seconds(1), Traffic::BarcodeChars);
    rig.waitForChars(sent.size());
    rig.feeder().wait();
    // To a second after the last barcode, as if the next one were due.
    rig.runFor(1000);
    report.add(u"slow.cpu_percent_above_idle"_s, u"one barcode a second for 20 s, CPU above idle"_s,
               slow.percent(rig.feeder().cpuNs()) - idle, u"%"_s, Report::AtMost, 0.3, 3);
    report.addIntegrity(u"slow.lost_or_altered"_s, u"characters lost or altered"_s,
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
}

// CPU is the whole process's without the thread writing to the pty, from the first write until
// the last character is on screen.
void linePace(BenchRig &rig, bool quick, Report &report)
{
    const qint64 count = quick ? 200 : 1'000;
    const int runs = quick ? 1 : 3;
    report.setSection(
        u"Line pace: %1 barcodes, one every 15 ms, each in one write; %2 run(s)"_s.arg(count).arg(
            runs));
    // The machine's other work moves a run's CPU by a tenth or more: the figure is the median of
    // the runs; the delays and the checks take in every run.
    std::vector<double> cpus;
    std::vector<double> shown;
    qint64 damaged = 0;
    qint64 beepsAmiss = 0;
    for (int run = 0; run < runs; ++run) {
        rig.clear();
        const QByteArray sent = Traffic::barcodes(count, PaceFirst + run * count);
        const qint64 beepsBefore = rig.beeps();
        cpus.push_back(rig.feed(sent, LinePace, Traffic::BarcodeChars) * 1000 / double(count));
        const std::vector<double> delays
            = Traffic::delaysMs(rig.feeder().pacedWriteTimes(), rig.barcodePaints());
        shown.insert(shown.end(), delays.begin(), delays.end());
        damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent));
        beepsAmiss += std::abs(rig.beeps() - beepsBefore - sent.size());
    }
    Report::Figure &cpu
        = report.add(u"pace.cpu_seconds_per_1000"_s, u"CPU per 1,000 barcodes, median run"_s,
                     Traffic::percentile(cpus, 0.5), u"s"_s, Report::AtMost, 0.5, 2);
    if (runs > 1)
        cpu.parts = {{u"lowest"_s, cpus.front()}, {u"highest"_s, cpus.back()}};
    report.add(u"pace.display_p99_ms"_s, u"write to the barcode display's repaint, p99"_s,
               Traffic::percentile(shown, 0.99), u"ms"_s, Report::AtMost, 50, 1);

    rig.clear();
    const QByteArray back = Traffic::barcodes(20'000, BurstFirst);
    report.add(u"pace.burst_cpu_seconds_per_20000"_s, u"20,000 barcodes back to back, CPU"_s,
               rig.feed(back), u"s"_s, Report::AtMost, 0.1, 3);
    damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(back));
    report.addIntegrity(u"pace.lost_or_altered"_s, u"characters lost or altered"_s, damaged);
    report.addIntegrity(u"pace.beeps_not_one_per_char"_s,
                        u"beeps missing or extra (one per character)"_s, beepsAmiss);
}

} // namespace Scenarios
