#include "benchrig.h"
#include "historybox.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double RateTarget = 100'000;
constexpr double RssTargetMiB = 80;
constexpr double StallTargetMs = 100;
constexpr double GrowthRatioTarget = 1.3;
constexpr double LongLineRatioTarget = 2.0;
constexpr qint64 BarcodeChars = 14;

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PrefillFirst = 10'000'000;
constexpr qint64 BatchFirst = 20'000'000;

struct Batch
{
    double cpuPerChar = std::numeric_limits<double>::quiet_NaN(); // in ns
    double longestTickGapMs = std::numeric_limits<double>::quiet_NaN();
    double longestRepaintGapMs = std::numeric_limits<double>::quiet_NaN();
    qint64 damaged = 0;
};

// Sends `sent` at full speed into a history holding `before`. The cost is the CPU time of the
// window's thread, from the first write to the repaint showing the last character: wall time
// would also count the wait for the last frame, which no batch short enough to leave the
// history's size nearly unchanged can make small.
Batch sendBatch(BenchRig &rig, const QString &before, const QByteArray &sent, int stallMs)
{
    rig.setHistory(before);
    rig.resetNotes();
    const qint64 base = rig.historyChars();
    const qint64 cpuFrom = threadCpuNs();
    rig.feeder().startFlood(sent);
    rig.waitForChars(base + sent.size(), stallMs);
    rig.waitForRepaint(monotonicNs(), stallMs);
    const qint64 cpu = threadCpuNs() - cpuFrom;
    rig.feeder().stop();
    Batch batch;
    batch.cpuPerChar = double(cpu) / double(sent.size());
    const qint64 started = rig.feeder().firstWriteNs();
    if (const qint64 done = Traffic::reachedNs(rig.progress(), base + sent.size())) {
        batch.longestTickGapMs = Traffic::longestGapMs(rig.ticks(), started, done);
        batch.longestRepaintGapMs = Traffic::longestGapMs(rig.historyPaints(), started, done);
    }
    batch.damaged = Traffic::damagedChars(rig.core().history(), before + Traffic::historyOf(sent));
    return batch;
}

double median(std::vector<double> values)
{
    return Traffic::percentile(values, 0.5);
}

} // namespace

namespace Scenarios {

void flood(BenchRig &rig, const BenchOptions &options, Report &report)
{
    const QByteArray sent = Traffic::barcodes(options.floodBarcodes);
    const qint64 total = sent.size();
    report.setSection(QStringLiteral("Flood: %1 barcodes (%2 characters) at full speed")
                          .arg(options.floodBarcodes)
                          .arg(total));
    rig.setHistory(QString());
    rig.runFor(100);
    rig.resetNotes();
    const qint64 beepsBefore = rig.beeps();
    rig.feeder().startFlood(sent);
    rig.waitForChars(total, options.stallMs);
    rig.feeder().stop();
    const qint64 peakKiB = peakRssKiB();
    const qint64 rssKiB = currentRssKiB();

    const qint64 started = rig.feeder().firstWriteNs();
    const qint64 done = Traffic::reachedNs(rig.progress(), total);
    const double rate = done ? double(total) * 1e9 / double(done - started)
                             : std::numeric_limits<double>::quiet_NaN();
    // The slowest tenth of the flood shows whether the pace holds while the history grows.
    std::vector<BenchRig::Progress> fromStart{{started, 0, 0}};
    fromStart.insert(fromStart.end(), rig.progress().begin(), rig.progress().end());
    // A tenth that one frame brought in whole has no rate of its own; the frames around it do.
    double slowest = std::numeric_limits<double>::quiet_NaN();
    for (int tenth = 0; tenth < 10; ++tenth) {
        const double rate
            = Traffic::rateBetween(fromStart, total * tenth / 10, total * (tenth + 1) / 10);
        if (std::isnan(slowest) || rate < slowest)
            slowest = rate;
    }

    const auto perSecond = QStringLiteral("chars/s");
    report.addTarget(QStringLiteral("flood.chars_per_second"),
                     QStringLiteral("written to the pty -> in the history"), rate, perSecond,
                     Report::Bound::AtLeast, RateTarget);
    report.addTarget(QStringLiteral("flood.slowest_tenth_chars_per_second"),
                     QStringLiteral("slowest tenth of the flood"), slowest, perSecond,
                     Report::Bound::AtLeast, RateTarget);
    report.addIntegrity(QStringLiteral("flood.lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
    report.addIntegrity(QStringLiteral("flood.beeps_not_one_per_char"),
                        QStringLiteral("beeps missing or extra (one per character)"),
                        std::abs(rig.beeps() - beepsBefore - total));
    report.addTarget(QStringLiteral("flood.peak_rss_mib"),
                     QStringLiteral("peak resident memory of the process"), double(peakKiB) / 1024,
                     QStringLiteral("MiB"), Report::Bound::AtMost, RssTargetMiB, 1);
    report.add(QStringLiteral("flood.rss_mib"), QStringLiteral("resident memory at the end"),
               double(rssKiB) / 1024, QStringLiteral("MiB"), 1);

    report.setSection(QStringLiteral("Responsiveness during the flood (window shown)"));
    const auto ms = QStringLiteral("ms");
    report.addTarget(QStringLiteral("flood.longest_tick_gap_ms"),
                     QStringLiteral("longest gap between Timer1 ticks (every 25 ms)"),
                     Traffic::longestGapMs(rig.ticks(), started, done), ms, Report::Bound::AtMost,
                     StallTargetMs, 1);
    report.addTarget(QStringLiteral("flood.longest_repaint_gap_ms"),
                     QStringLiteral("longest gap between history repaints"),
                     Traffic::longestGapMs(rig.historyPaints(), started, done), ms,
                     Report::Bound::AtMost, StallTargetMs, 1);
    report.add(QStringLiteral("flood.repaints"), QStringLiteral("history repaints"),
               double(std::count_if(rig.historyPaints().begin(), rig.historyPaints().end(),
                                    [&](qint64 at) { return at >= started && at <= done; })),
               QString());
}

double growth(BenchRig &rig, const BenchOptions &options, Report &report)
{
    report.setSection(QStringLiteral("Growth: cost per character with the history holding ..."));
    struct Level
    {
        qint64 held;
        QString before;
        std::vector<double> costs;
    };
    std::vector<Level> levels;
    for (const qint64 held : {10'000, 100'000, 1'000'000}) {
        levels.push_back({held,
                          Traffic::historyOf(Traffic::barcodes(
                              (held + BarcodeChars - 1) / BarcodeChars, PrefillFirst)),
                          {}});
    }
    // Rounds visit every level in turn, so that a change in the machine's load while the part
    // runs touches all levels alike instead of skewing their ratio.
    const qint64 batchBarcodes = options.growthBatch / BarcodeChars;
    qint64 damaged = 0;
    for (int round = 0; round < options.growthRepeats; ++round) {
        const QByteArray sent
            = Traffic::barcodes(batchBarcodes, BatchFirst + round * batchBarcodes);
        for (Level &level : levels) {
            const Batch batch = sendBatch(rig, level.before, sent, options.stallMs);
            damaged += batch.damaged;
            level.costs.push_back(batch.cpuPerChar);
        }
    }
    for (const Level &level : levels) {
        report.add(QStringLiteral("growth.ns_per_char_%1").arg(Traffic::thousands(level.held)),
                   QStringLiteral("%1 characters (median of %2 x %3 chars)")
                       .arg(Traffic::thousands(level.held))
                       .arg(options.growthRepeats)
                       .arg(batchBarcodes * BarcodeChars),
                   median(level.costs), QStringLiteral("ns/char"));
    }
    report.note(QStringLiteral("CPU time of the window's thread per character received, "
                               "repaints included"));
    const double shortHistory = median(levels.front().costs);
    report.addTarget(QStringLiteral("growth.ratio_1M_10k"), QStringLiteral("ratio 1M / 10k"),
                     median(levels.back().costs) / shortHistory, QStringLiteral("x"),
                     Report::Bound::AtMost, GrowthRatioTarget, 2);
    report.addIntegrity(QStringLiteral("growth.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
    return shortHistory;
}

void longLine(BenchRig &rig, const BenchOptions &options, double shortHistoryCost, Report &report)
{
    report.setSection(QStringLiteral("One line without a CR"));
    // Received whole into an empty history, and its last quarter received into a history
    // already holding the rest, where the line is longest.
    QByteArray line = Traffic::barcodes(options.longLine / (BarcodeChars - 1) + 1, BatchFirst);
    line.replace('\r', QByteArray());
    line.truncate(options.longLine);
    const Batch whole = sendBatch(rig, QString(), line, options.stallMs);
    const qsizetype split = line.size() * 3 / 4;
    const Batch end
        = sendBatch(rig, QString::fromLatin1(line.left(split)), line.mid(split), options.stallMs);
    const qint64 damaged = whole.damaged + end.damaged;
    report.add(QStringLiteral("long_line.ns_per_char"),
               QStringLiteral("one %1-character line, whole").arg(Traffic::thousands(line.size())),
               whole.cpuPerChar, QStringLiteral("ns/char"));
    report.add(
        QStringLiteral("long_line.last_quarter_ns_per_char"),
        QStringLiteral("one %1-character line, last quarter").arg(Traffic::thousands(line.size())),
        end.cpuPerChar, QStringLiteral("ns/char"));
    if (!std::isnan(shortHistoryCost))
        report.addTarget(QStringLiteral("long_line.ratio_to_10k_history"),
                         QStringLiteral("ratio long line (last quarter) / 10k history"),
                         end.cpuPerChar / shortHistoryCost, QStringLiteral("x"),
                         Report::Bound::AtMost, LongLineRatioTarget, 2);
    const auto ms = QStringLiteral("ms");
    report.addTarget(QStringLiteral("long_line.longest_tick_gap_ms"),
                     QStringLiteral("longest gap between Timer1 ticks"),
                     std::fmax(whole.longestTickGapMs, end.longestTickGapMs), ms,
                     Report::Bound::AtMost, StallTargetMs, 1);
    report.addTarget(QStringLiteral("long_line.longest_repaint_gap_ms"),
                     QStringLiteral("longest gap between history repaints"),
                     std::fmax(whole.longestRepaintGapMs, end.longestRepaintGapMs), ms,
                     Report::Bound::AtMost, StallTargetMs, 1);
    report.addIntegrity(QStringLiteral("long_line.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
}

} // namespace Scenarios
