#pragma once

#include <QtGlobal>

class BenchRig;
class Report;

// How much each part of the benchmark does; --quick scales everything down.
struct BenchOptions
{
    int idleMs = 10'000;
    // Line pace: barcodes in one write each, one every paceIntervalMs; paceRuns times, for the
    // median CPU figure.
    qint64 paceBarcodes = 1'000;
    int paceIntervalMs = 15;
    int paceRuns = 3;
    // Barcodes written back to back, for the CPU they cost.
    qint64 burstBarcodes = 20'000;
    // One barcode a second, for this many seconds; 0 skips it.
    int slowSeconds = 20;
    qint64 floodBarcodes = 71'429; // 1,000,006 characters
    // The cost against the history: rounds of a batch of this many characters at full speed,
    // and pacedChars characters at 100 a second once.
    int historyRounds = 5;
    qint64 historyBatch = 20'000;
    int pacedChars = 300;
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
// Barcodes at the pace of a scanner and back to back: CPU of the process, time to the barcode
// display, and nothing lost.
void linePace(BenchRig &rig, const BenchOptions &options, Report &report);
// One barcode a second: CPU above `idlePercent` (measured again when NaN).
void slow(BenchRig &rig, const BenchOptions &options, double idlePercent, Report &report);
// Barcodes at full speed: throughput, memory, loss, and how often the timer ticked and the
// history repainted meanwhile.
void flood(BenchRig &rig, const BenchOptions &options, Report &report);
// The cost of a character against what the history holds: many short lines, one long line,
// at full speed and at 100 characters a second.
void history(BenchRig &rig, const BenchOptions &options, Report &report);

} // namespace Scenarios
