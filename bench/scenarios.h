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
    // Line pace: barcodes in one write each, one every paceIntervalMs; paceRuns times, for the
    // median CPU figure.
    qint64 paceBarcodes = 1'000;
    int paceIntervalMs = 15;
    int paceRuns = 3;
    // Barcodes written back to back, for the CPU they cost.
    qint64 burstBarcodes = 20'000;
    // One barcode a second, for this many seconds; 0 skips it.
    int slowSeconds = 20;
    // Characters at 100 a second at the end of a line of pacedLineLength characters, and on
    // a short line.
    int pacedLineChars = 300;
    qint64 pacedLineLength = 1'000'000;
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
// CPU used with the port open and nothing arriving; returns it in percent of a core.
double idle(BenchRig &rig, const BenchOptions &options, Report &report);
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
// CPU of characters at 100 a second at the end of a very long line, compared with the same on a
// short line.
void pacedLongLine(BenchRig &rig, const BenchOptions &options, Report &report);
// Barcodes at the pace of a scanner and back to back: CPU of the whole process (without the
// feeder), time to the barcode display, and nothing lost.
void linePace(BenchRig &rig, const BenchOptions &options, Report &report);
// One barcode a second: CPU above `idlePercent` (measured again when NaN).
void slow(BenchRig &rig, const BenchOptions &options, double idlePercent, Report &report);

} // namespace Scenarios
