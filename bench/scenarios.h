#pragma once

#include <QtGlobal>

class BenchRig;
class Report;

// The parts of the benchmark, each adding its figures to the report; a quick run does less of
// each, for CI.
namespace Scenarios {

// The most a key press may take to reach the screen.
constexpr double KeyTargetMs = 50;

// What a process started with --startup-probe does: shows the window, prints when main()
// began (`mainEntryNs`) and when the window first painted, and returns the exit code.
int startupProbe(qint64 mainEntryNs);
// Starts this program again as a probe: from its launch to its window's first paint.
void startup(Report &report);
// CPU with the port open and nothing arriving, then (in a full run) above that with one
// barcode a second.
void idle(BenchRig &rig, bool quick, Report &report);
// Barcodes at the pace of a scanner and back to back: CPU of the process, time to the barcode
// display, and nothing lost.
void linePace(BenchRig &rig, bool quick, Report &report);
// Barcodes at full speed: throughput, memory, loss, and how often the timer ticked and the
// history repainted meanwhile.
void flood(BenchRig &rig, bool quick, Report &report);
// The cost of a character against what the history holds: many short lines, one long line,
// at full speed and at 100 characters a second.
void history(BenchRig &rig, bool quick, Report &report);
// Resident memory per character held, and (in a full run) a day's characters at full speed:
// peak memory, CPU, then Clear.
void memory(BenchRig &rig, bool quick, Report &report);
// The time from a key press or paste in the history to the screen, with a large history.
void typing(BenchRig &rig, bool quick, Report &report);
// Full runs only (it starts 2,000 processes): Lumora run as another user (nobody), waiting for
// a port this process holds exclusively, with 2,000 of that user's processes holding 100
// descriptors each: CPU and key presses. Needs root; skipped otherwise. The probe is this
// program with --waiting-probe.
void waiting(BenchRig &rig, bool quick, Report &report);
int waitingProbe(const QString &port, int seconds);
// A scanner without a CR suffix: a long run of characters, then the CR that makes it the
// current barcode: CPU and memory of the CR, and how soon the barcode box answers keys after.
void longBarcode(BenchRig &rig, bool quick, Report &report);

} // namespace Scenarios
