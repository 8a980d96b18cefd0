#include "benchrig.h"
#include "proc.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr double RateTarget = 100'000;
constexpr double StallTargetMs = 100;

QString shortLines(qint64 chars)
{
    return Traffic::historyOf(Traffic::barcodes(chars / Traffic::BarcodeChars + 1, 10'000'000));
}

// The first of `progress` that held `chars` characters; {0, 0} if none.
Progress reached(const std::vector<Progress> &progress, qint64 chars)
{
    const auto at = std::find_if(progress.begin(), progress.end(),
                                 [chars](const Progress &p) { return p.chars >= chars; });
    return at == progress.end() ? Progress{0, 0} : *at;
}

// Characters a second between the first paints that showed `fromChars` and `toChars`; NaN when
// one paint showed both.
double rateBetween(const std::vector<Progress> &progress, qint64 fromChars, qint64 toChars)
{
    const Progress from = reached(progress, fromChars);
    const Progress to = reached(progress, toChars);
    return from.ns && to.ns > from.ns
               ? double(to.chars - from.chars) * 1e9 / double(to.ns - from.ns)
               : qQNaN();
}

// The longest time without an event in [from, to], counting the ends as events.
double longestGapMs(const std::vector<qint64> &events, qint64 from, qint64 to)
{
    qint64 previous = from, longest = 0;
    for (const qint64 at : events) {
        if (at >= from && at <= to)
            longest = std::max(longest, at - std::exchange(previous, at));
    }
    return double(std::max(longest, to - previous)) / 1e6;
}

// The value below which `fraction` of `values` lie (nearest rank); sorts `values`.
double percentile(std::vector<double> &values, double fraction)
{
    if (values.empty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// What the history holds before a batch arrives, how the batch arrives (at full speed, but
// Paced at 100 a second), and the case its cost is held against (an index) with the most it
// may cost as a multiple of that.
struct Case
{
    enum Arrival { Barcodes, LineGoesOn, Paced };
    QString key, label, before;
    Arrival arrival = Barcodes;
    int baseline = -1;
    double ratioTarget = 0;
    std::vector<double> costs = {};
};

} // namespace

namespace Scenarios {

int startupProbe()
{
    BenchRig rig;
    rig.showAndOpen();
    std::printf("%lld\n", rig.firstPaintNs());
    return rig.firstPaintNs() ? 0 : 2;
}

void startup(Report &report)
{
    report.setSection(u"Start-up (this program started again, with its window)"_s);
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 launched = monotonicNs();
    probe.start(QCoreApplication::applicationFilePath(), {u"--probe"_s, u"startup"_s});
    probe.waitForFinished();
    // The probe reads the same monotonic clock: when it painted.
    const qint64 painted = probe.readAllStandardOutput().trimmed().toLongLong();
    report.add(
        u"startup.launch_to_first_paint_ms"_s, u"process launch to the window's first paint"_s,
        painted ? double(painted - launched) / 1e6 : qQNaN(), u"ms"_s, Report::AtMost, 300, 1);
}

void idle(BenchRig &rig, bool quick, Report &report)
{
    const int seconds = quick ? 2 : 10;
    report.setSection(u"Idle: the port open, nothing arriving%1"_s.arg(
        quick ? QString() : u"; then one barcode a second"_s));
    rig.clear();
    const CpuSince quiet;
    rig.runFor(seconds * 1000);
    const double idle = quiet.percent();
    report.add(u"idle.cpu_percent"_s, u"CPU over %1 s, share of one core"_s.arg(seconds), idle,
               u"%"_s, Report::AtMost, 0.5, 2);
    if (quick)
        return;

    const QByteArray sent = Traffic::barcodes(20, 50'000'000);
    const CpuSince slow;
    rig.feed(sent, std::chrono::seconds(1), Traffic::BarcodeChars);
    rig.runFor(1000); // to a second after the last barcode, as if the next one were due
    report.add(u"slow.cpu_percent_above_idle"_s, u"one barcode a second for 20 s, CPU above idle"_s,
               slow.percent(rig.feeder().cpuNs()) - idle, u"%"_s, Report::AtMost, 0.3, 3);
    report.addIntegrity(u"slow"_s, rig.damaged(Traffic::historyOf(sent)));
}

// CPU is the whole process's without the thread writing to the pty, from the first write until
// the last character is on screen.
void linePace(BenchRig &rig, bool quick, Report &report)
{
    const qint64 count = quick ? 200 : 1'000;
    const int runs = quick ? 1 : 3;
    report.setSection(u"Line pace: %1 barcodes, one every 15 ms (a full 9600-baud line), each in "
                      u"one write; %2 run(s)"_s.arg(count)
                          .arg(runs));
    // The machine's other work moves a run's CPU by a tenth or more: the figure is the median of
    // the runs; the delays and the checks take in every run.
    std::vector<double> cpus, shown;
    qint64 damaged = 0, beepsAmiss = 0;
    for (int run = 0; run < runs; ++run) {
        rig.clear();
        const QByteArray sent = Traffic::barcodes(count, 30'000'000 + run * count);
        const qint64 beepsBefore = rig.beeps();
        cpus.push_back(rig.feed(sent, std::chrono::milliseconds(15), Traffic::BarcodeChars) * 1000
                       / double(count));
        // From each write to the barcode display's next repaint.
        const std::vector<qint64> &paints = rig.barcodePaints();
        auto paint = paints.begin();
        for (const qint64 written : rig.feeder().pacedWriteTimes()) {
            if ((paint = std::lower_bound(paint, paints.end(), written)) != paints.end())
                shown.push_back(double(*paint - written) / 1e6);
        }
        damaged += rig.damaged(Traffic::historyOf(sent));
        beepsAmiss += std::abs(rig.beeps() - beepsBefore - sent.size());
    }
    Report::Figure &cpu
        = report.add(u"pace.cpu_seconds_per_1000"_s, u"CPU per 1,000 barcodes, median run"_s,
                     percentile(cpus, 0.5), u"s"_s, Report::AtMost, 0.5, 2);
    if (runs > 1)
        cpu.parts = {{u"lowest"_s, cpus.front()}, {u"highest"_s, cpus.back()}};
    report.add(u"pace.display_p99_ms"_s, u"write to the barcode display's repaint, p99"_s,
               percentile(shown, 0.99), u"ms"_s, Report::AtMost, 50, 1);

    rig.clear();
    const QByteArray back = Traffic::barcodes(20'000, 40'000'000);
    report.add(u"pace.burst_cpu_seconds_per_20000"_s, u"20,000 barcodes back to back, CPU"_s,
               rig.feed(back), u"s"_s, Report::AtMost, 0.1, 3);
    report.addIntegrity(u"pace"_s, damaged + rig.damaged(Traffic::historyOf(back)), beepsAmiss);
}

void flood(BenchRig &rig, bool quick, Report &report)
{
    const qint64 count = quick ? 14'286 : 71'429; // 200,004 or 1,000,006 characters
    const QByteArray sent = Traffic::barcodes(count);
    const qint64 total = sent.size();
    report.setSection(u"Flood: %1 barcodes (%2 characters) at full speed"_s.arg(count).arg(total));
    rig.clear();
    const qint64 beepsBefore = rig.beeps();
    rig.feed(sent);

    const std::vector<Progress> &progress = rig.progress();
    const qint64 started = progress.front().ns;
    const qint64 done = reached(progress, total).ns;
    // The slowest tenth shows whether the pace holds while the history grows. A tenth that one
    // paint showed whole has no rate of its own; the paints around it do.
    double slowest = qQNaN(); // fmin() passes over a NaN
    for (int tenth = 0; tenth < 10; ++tenth)
        slowest = std::fmin(slowest,
                            rateBetween(progress, total * tenth / 10, total * (tenth + 1) / 10));
    report.add(u"flood.chars_per_second"_s, u"written to the pty -> in the history"_s,
               rateBetween(progress, 0, total), u"chars/s"_s, Report::AtLeast, RateTarget);
    report.add(u"flood.slowest_tenth_chars_per_second"_s, u"slowest tenth of the flood"_s, slowest,
               u"chars/s"_s, Report::AtLeast, RateTarget);
    report.addIntegrity(u"flood"_s, rig.damaged(Traffic::historyOf(sent)),
                        std::abs(rig.beeps() - beepsBefore - total));
    report.add(u"flood.peak_rss_mib"_s, u"peak resident memory of the process"_s,
               double(memoryBytes("VmHWM")) / (1 << 20), u"MiB"_s, Report::AtMost, 80, 1);
    report.add(u"flood.longest_tick_gap_ms"_s, u"longest gap between Timer1 ticks (every 25 ms)"_s,
               longestGapMs(rig.ticks(), started, done), u"ms"_s, Report::AtMost, StallTargetMs, 1);
    report.add(u"flood.longest_repaint_gap_ms"_s, u"longest gap between history repaints"_s,
               longestGapMs(rig.historyPaints(), started, done), u"ms"_s, Report::AtMost,
               StallTargetMs, 1);
}

// The CPU of the process without the thread writing to the pty, per character: the median of
// rounds of 20,000 characters at full speed, and 300 (100 quick) characters at 100 a second.
void history(BenchRig &rig, bool quick, Report &report)
{
    report.setSection(u"Cost per character against what the history holds"_s);
    std::vector<Case> cases{
        {u"10k"_s, u"10k characters of barcodes"_s, shortLines(10'000)},
        {u"100k"_s, u"100k characters of barcodes"_s, shortLines(100'000)},
        {u"1M"_s, u"1M characters of barcodes"_s, shortLines(1'000'000), Case::Barcodes, 0, 1.3},
        {u"200k_line_end"_s, u"the last quarter of one 200k-character line"_s,
         QString::fromLatin1(Traffic::digits(150'000, 20'000'000)), Case::LineGoesOn, 0, 2},
        {u"paced_short_line"_s, u"a short line, at 100 a second"_s, shortLines(10'000),
         Case::Paced},
        {u"paced_1M_line_end"_s, u"the end of one 1M-character line, at 100 a second"_s,
         u"0123456789"_s.repeated(100'000), Case::Paced, 4, 2},
    };
    // Rounds visit every case in turn, so that a change in the machine's load while the part
    // runs touches all cases alike instead of skewing their ratios. Characters at 100 a second
    // take seconds; they come in the first round only.
    const qint64 batchBarcodes = 20'000 / Traffic::BarcodeChars;
    qint64 damaged = 0;
    for (int round = 0; round < (quick ? 3 : 5); ++round) {
        const qint64 first = 20'000'000 + (round + 1) * batchBarcodes;
        for (Case &c : cases) {
            if (c.arrival == Case::Paced && round > 0)
                continue;
            const QByteArray sent = c.arrival == Case::Paced ? QByteArray(quick ? 100 : 300, '7')
                                    : c.arrival == Case::LineGoesOn
                                        ? Traffic::digits(50'000, first)
                                        : Traffic::barcodes(batchBarcodes, first);
            rig.setHistory(c.before);
            const auto interval = std::chrono::milliseconds(c.arrival == Case::Paced ? 10 : 0);
            c.costs.push_back(rig.feed(sent, interval) * 1e9 / double(sent.size()));
            damaged += rig.damaged(c.before + Traffic::historyOf(sent));
        }
    }
    for (Case &c : cases) {
        const double cost = percentile(c.costs, 0.5);
        report.add(u"history.ns_per_char_"_s + c.key, c.label, cost, u"ns/char"_s);
        if (c.baseline >= 0) {
            Case &base = cases[size_t(c.baseline)];
            report.add(u"history.ratio_"_s + c.key, u"    times the cost on "_s + base.label,
                       cost / percentile(base.costs, 0.5), u"x"_s, Report::AtMost, c.ratioTarget,
                       2);
        }
    }
    report.addIntegrity(u"history"_s, damaged);
}

} // namespace Scenarios
