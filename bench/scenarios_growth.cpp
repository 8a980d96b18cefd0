#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include <sys/resource.h>

namespace {

constexpr double RateTarget = 100'000;
constexpr double RssTargetMiB = 80;
constexpr double StallTargetMs = 100;
constexpr double GrowthRatioTarget = 1.3;
constexpr double LongLineRatioTarget = 2.0;
constexpr qint64 BarcodeChars = 14;
constexpr qint64 LongLine = 200'000;
constexpr qint64 PacedLine = 1'000'000;
constexpr auto PacedInterval = std::chrono::milliseconds(10);

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PrefillFirst = 10'000'000;
constexpr qint64 BatchFirst = 20'000'000;

QString shortLines(qint64 chars)
{
    return Traffic::historyOf(
        Traffic::barcodes((chars + BarcodeChars - 1) / BarcodeChars, PrefillFirst));
}

// One line of `chars` digits without a CR, starting at barcode `first`.
QByteArray oneLine(qint64 chars, qint64 first)
{
    QByteArray line = Traffic::barcodes(chars / (BarcodeChars - 1) + 1, first);
    line.replace('\r', QByteArray());
    line.truncate(chars);
    return line;
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
    report.setSection(
        QStringLiteral("Flood: %1 barcodes (%2 characters) at full speed").arg(count).arg(total));
    rig.setHistory(QString());
    rig.runFor(100);
    const qint64 beepsBefore = rig.beeps();
    const qint64 started = monotonicNs();
    rig.feeder().start(sent);
    rig.waitForChars(total);
    rig.feeder().stop();

    const qint64 done = Traffic::reachedNs(rig.progress(), total);
    const double rate = done ? double(total) * 1e9 / double(done - started)
                             : std::numeric_limits<double>::quiet_NaN();
    // The slowest tenth of the flood shows whether the pace holds while the history grows. A
    // tenth that one frame brought in whole has no rate of its own; the frames around it do.
    std::vector<Progress> fromStart{{started, 0}};
    fromStart.insert(fromStart.end(), rig.progress().begin(), rig.progress().end());
    double slowest = std::numeric_limits<double>::quiet_NaN();
    for (int tenth = 0; tenth < 10; ++tenth) {
        const double rate
            = Traffic::rateBetween(fromStart, total * tenth / 10, total * (tenth + 1) / 10);
        if (std::isnan(slowest) || rate < slowest)
            slowest = rate;
    }

    const auto perSecond = QStringLiteral("chars/s");
    const auto ms = QStringLiteral("ms");
    report.add(QStringLiteral("flood.chars_per_second"),
               QStringLiteral("written to the pty -> in the history"), rate, perSecond,
               Report::Bound::AtLeast, RateTarget);
    report.add(QStringLiteral("flood.slowest_tenth_chars_per_second"),
               QStringLiteral("slowest tenth of the flood"), slowest, perSecond,
               Report::Bound::AtLeast, RateTarget);
    report.addIntegrity(QStringLiteral("flood.lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
    report.addIntegrity(QStringLiteral("flood.beeps_not_one_per_char"),
                        QStringLiteral("beeps missing or extra (one per character)"),
                        std::abs(rig.beeps() - beepsBefore - total));
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    report.add(QStringLiteral("flood.peak_rss_mib"),
               QStringLiteral("peak resident memory of the process"),
               double(usage.ru_maxrss) / 1024, QStringLiteral("MiB"), Report::Bound::AtMost,
               RssTargetMiB, 1);
    report.add(QStringLiteral("flood.longest_tick_gap_ms"),
               QStringLiteral("longest gap between Timer1 ticks (every 25 ms)"),
               Traffic::longestGapMs(rig.ticks(), started, done), ms, Report::Bound::AtMost,
               StallTargetMs, 1);
    report.add(QStringLiteral("flood.longest_repaint_gap_ms"),
               QStringLiteral("longest gap between history repaints"),
               Traffic::longestGapMs(rig.historyPaints(), started, done), ms, Report::Bound::AtMost,
               StallTargetMs, 1);
}

// The CPU of the process without the thread writing to the pty, per character: the median of
// rounds of 20,000 characters at full speed, and 300 (100 quick) characters at 100 a second.
void history(BenchRig &rig, bool quick, Report &report)
{
    report.setSection(QStringLiteral("Cost per character against what the history holds"));
    const QString longLine = QString::fromLatin1(oneLine(LongLine * 3 / 4, BatchFirst));
    std::vector<Case> cases{
        {QStringLiteral("10k"), QStringLiteral("10k characters of barcodes"), shortLines(10'000)},
        {QStringLiteral("100k"), QStringLiteral("100k characters of barcodes"),
         shortLines(100'000)},
        {QStringLiteral("1M"), QStringLiteral("1M characters of barcodes"), shortLines(1'000'000),
         Case::Barcodes, 0, GrowthRatioTarget},
        {QStringLiteral("200k_line_end"),
         QStringLiteral("the last quarter of one 200k-character line"), longLine, Case::LineGoesOn,
         0, LongLineRatioTarget},
        {QStringLiteral("paced_short_line"), QStringLiteral("a short line, at 100 a second"),
         shortLines(10'000), Case::Paced},
        {QStringLiteral("paced_1M_line_end"),
         QStringLiteral("the end of one 1M-character line, at 100 a second"),
         QStringLiteral("0123456789").repeated(PacedLine / 10), Case::Paced, 4,
         LongLineRatioTarget},
    };
    // Rounds visit every case in turn, so that a change in the machine's load while the part
    // runs touches all cases alike instead of skewing their ratios. Characters at 100 a second
    // take seconds; they come in the first round only.
    const qint64 batchBarcodes = 20'000 / BarcodeChars;
    const QByteArray typed(quick ? 100 : 300, '7');
    qint64 damaged = 0;
    for (int round = 0; round < (quick ? 3 : 5); ++round) {
        const qint64 first = BatchFirst + (round + 1) * batchBarcodes;
        const QByteArray barcodes = Traffic::barcodes(batchBarcodes, first);
        for (Case &c : cases) {
            if (c.arrival == Case::Paced && round > 0)
                continue;
            const QByteArray sent = c.arrival == Case::Paced        ? typed
                                    : c.arrival == Case::LineGoesOn ? oneLine(LongLine / 4, first)
                                                                    : barcodes;
            rig.setHistory(c.before);
            const double cpu
                = c.arrival == Case::Paced ? rig.feed(sent, PacedInterval) : rig.feed(sent);
            c.costs.push_back(cpu * 1e9 / double(sent.size()));
            damaged
                += Traffic::damagedChars(rig.core().history(), c.before + Traffic::historyOf(sent));
        }
    }
    for (Case &c : cases) {
        const double cost = Traffic::percentile(c.costs, 0.5);
        report.add(QStringLiteral("history.ns_per_char_") + c.key, c.label, cost,
                   QStringLiteral("ns/char"));
        if (c.baseline >= 0) {
            Case &base = cases[size_t(c.baseline)];
            report.add(QStringLiteral("history.ratio_") + c.key,
                       QStringLiteral("    times the cost on ") + base.label,
                       cost / Traffic::percentile(base.costs, 0.5), QStringLiteral("x"),
                       Report::Bound::AtMost, c.ratioTarget, 2);
        }
    }
    report.addIntegrity(QStringLiteral("history.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
}

} // namespace Scenarios
