#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <cmath>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

constexpr double RateTarget = 100'000;
constexpr double StallTargetMs = 100;
constexpr double LongLineRatioTarget = 2.0;

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PrefillFirst = 10'000'000;
constexpr qint64 BatchFirst = 20'000'000;

QString shortLines(qint64 chars)
{
    return Traffic::historyOf(Traffic::barcodes(
        (chars + Traffic::BarcodeChars - 1) / Traffic::BarcodeChars, PrefillFirst));
}

// What the history holds before a batch arrives, how the batch arrives, and which case its cost
// is held against.
struct Case
{
    enum Arrival { Barcodes, LineGoesOn, Paced }; // at full speed, but Paced at 100 a second

    QString key;
    QString label;
    QString before;
    Arrival arrival = Barcodes;
    // The case this one's cost is held against (an index, -1 for none), and the most it may cost
    // as a multiple of that.
    int baseline = -1;
    double ratioTarget = 0;
    std::vector<double> costs = {};
};

} // namespace

namespace Scenarios {

void flood(BenchRig &rig, bool quick, Report &report)
{
    const qint64 count = quick ? 14'286 : 71'429; // 200,004 or 1,000,006 characters
    const QByteArray sent = Traffic::barcodes(count);
    const qint64 total = sent.size();
    report.setSection(u"Flood: %1 barcodes (%2 characters) at full speed"_s.arg(count).arg(total));
    rig.clear();
    const qint64 beepsBefore = rig.beeps();
    const qint64 started = monotonicNs();
    rig.feeder().start(sent);
    rig.waitForChars(total);
    rig.feeder().stop();

    const qint64 done = Traffic::reachedNs(rig.progress(), total);
    // The slowest tenth of the flood shows whether the pace holds while the history grows. A
    // tenth that one frame brought in whole has no rate of its own; the frames around it do.
    std::vector<Progress> fromStart{{started, 0}};
    fromStart.insert(fromStart.end(), rig.progress().begin(), rig.progress().end());
    double slowest = qQNaN();
    for (int tenth = 0; tenth < 10; ++tenth) {
        const double rate
            = Traffic::rateBetween(fromStart, total * tenth / 10, total * (tenth + 1) / 10);
        if (std::isnan(slowest) || rate < slowest)
            slowest = rate;
    }

    report.add(u"flood.chars_per_second"_s, u"written to the pty -> in the history"_s,
               Traffic::rateBetween(fromStart, 0, total), u"chars/s"_s, Report::AtLeast,
               RateTarget);
    report.add(u"flood.slowest_tenth_chars_per_second"_s, u"slowest tenth of the flood"_s, slowest,
               u"chars/s"_s, Report::AtLeast, RateTarget);
    report.addIntegrity(u"flood.lost_or_altered"_s, u"characters lost or altered"_s,
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
    report.addIntegrity(u"flood.beeps_not_one_per_char"_s,
                        u"beeps missing or extra (one per character)"_s,
                        std::abs(rig.beeps() - beepsBefore - total));
    report.add(u"flood.peak_rss_mib"_s, u"peak resident memory of the process"_s,
               double(memoryBytes("VmHWM")) / (1 << 20), u"MiB"_s, Report::AtMost, 80, 1);
    report.add(u"flood.longest_tick_gap_ms"_s, u"longest gap between Timer1 ticks (every 25 ms)"_s,
               Traffic::longestGapMs(rig.ticks(), started, done), u"ms"_s, Report::AtMost,
               StallTargetMs, 1);
    report.add(u"flood.longest_repaint_gap_ms"_s, u"longest gap between history repaints"_s,
               Traffic::longestGapMs(rig.historyPaints(), started, done), u"ms"_s, Report::AtMost,
               StallTargetMs, 1);
}

// The CPU of the process without the thread writing to the pty, per character: the median of
// rounds of 20,000 characters at full speed, and 300 (100 quick) characters at 100 a second.
void history(BenchRig &rig, bool quick, Report &report)
{
    report.setSection(u"Cost per character against what the history holds"_s);
    constexpr qint64 LongLine = 200'000;
    std::vector<Case> cases{
        {u"10k"_s, u"10k characters of barcodes"_s, shortLines(10'000)},
        {u"100k"_s, u"100k characters of barcodes"_s, shortLines(100'000)},
        {u"1M"_s, u"1M characters of barcodes"_s, shortLines(1'000'000), Case::Barcodes, 0, 1.3},
        {u"200k_line_end"_s, u"the last quarter of one 200k-character line"_s,
         QString::fromLatin1(Traffic::digits(LongLine * 3 / 4, BatchFirst)), Case::LineGoesOn, 0,
         LongLineRatioTarget},
        {u"paced_short_line"_s, u"a short line, at 100 a second"_s, shortLines(10'000),
         Case::Paced},
        {u"paced_1M_line_end"_s, u"the end of one 1M-character line, at 100 a second"_s,
         u"0123456789"_s.repeated(100'000), Case::Paced, 4, LongLineRatioTarget},
    };
    // Rounds visit every case in turn, so that a change in the machine's load while the part
    // runs touches all cases alike instead of skewing their ratios. Characters at 100 a second
    // take seconds; they come in the first round only.
    const qint64 batchBarcodes = 20'000 / Traffic::BarcodeChars;
    const QByteArray typed(quick ? 100 : 300, '7');
    qint64 damaged = 0;
    for (int round = 0; round < (quick ? 3 : 5); ++round) {
        const qint64 first = BatchFirst + (round + 1) * batchBarcodes;
        const QByteArray barcodes = Traffic::barcodes(batchBarcodes, first);
        for (Case &c : cases) {
            if (c.arrival == Case::Paced && round > 0)
                continue;
            const QByteArray sent = c.arrival == Case::Paced ? typed
                                    : c.arrival == Case::LineGoesOn
                                        ? Traffic::digits(LongLine / 4, first)
                                        : barcodes;
            rig.setHistory(c.before);
            const double cpu
                = rig.feed(sent, c.arrival == Case::Paced ? std::chrono::milliseconds(10)
                                                          : std::chrono::milliseconds(0));
            c.costs.push_back(cpu * 1e9 / double(sent.size()));
            damaged
                += Traffic::damagedChars(rig.core().history(), c.before + Traffic::historyOf(sent));
        }
    }
    for (Case &c : cases) {
        const double cost = Traffic::percentile(c.costs, 0.5);
        report.add(u"history.ns_per_char_"_s + c.key, c.label, cost, u"ns/char"_s);
        if (c.baseline >= 0) {
            Case &base = cases[size_t(c.baseline)];
            report.add(u"history.ratio_"_s + c.key, u"    times the cost on "_s + base.label,
                       cost / Traffic::percentile(base.costs, 0.5), u"x"_s, Report::AtMost,
                       c.ratioTarget, 2);
        }
    }
    report.addIntegrity(u"history.lost_or_altered"_s, u"characters lost or altered"_s, damaged);
}

} // namespace Scenarios
