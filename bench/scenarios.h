#pragma once

#include <QtGlobal>

class BenchRig;
class Report;

// How much each part of the benchmark does; --quick scales everything down.
struct BenchOptions
{
    qint64 floodBarcodes = 71'429; // 1,000,006 characters
    int idleMs = 10'000;
    int latencySamples = 3'000;
    int growthRepeats = 7;
    qint64 growthBatch = 20'000;
    qint64 longLine = 200'000;
    // A part gives up when the history stops growing for this long.
    int stallMs = 15'000;

    static BenchOptions quick();
};

namespace Scenarios {

// What a process started with --startup-probe does: shows the window, prints when main()
// began (`mainEntryNs`) and when the window first painted, and returns the exit code.
int startupProbe(qint64 mainEntryNs);
// Starts this program again as a probe: from its launch to its window's first paint.
void startup(Report &report);
// CPU used with the port open and nothing arriving.
void idle(BenchRig &rig, const BenchOptions &options, Report &report);
// A character a millisecond: time from its write to its arrival in the history.
void latency(BenchRig &rig, const BenchOptions &options, Report &report);
// Barcodes at full speed: throughput, memory, loss, and how often the timer ticked and the
// history repainted meanwhile.
void flood(BenchRig &rig, const BenchOptions &options, Report &report);
// Cost per character with 10k, 100k and 1M characters already in the history; returns the
// cost at 10k, in CPU nanoseconds.
double growth(BenchRig &rig, const BenchOptions &options, Report &report);
// Cost per character along one long line without a line break, compared with
// `shortHistoryCost` (NaN when not measured).
void longLine(BenchRig &rig, const BenchOptions &options, double shortHistoryCost, Report &report);

} // namespace Scenarios
