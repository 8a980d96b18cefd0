#pragma once

#include <QtGlobal>

class BenchRig;
class Report;

// The parts of the benchmark (README: Performance), each adding its figures to the report; a
// quick run does less of each, for CI.
namespace Scenarios {

// The most a key press may take to reach the screen.
constexpr double KeyTargetMs = 50;

// This program started again (--startup-probe): from its launch to its window's first paint.
void startup(Report &report);
int startupProbe(qint64 mainEntryNs);
// CPU with the port open and nothing arriving, and with one barcode a second.
void idle(BenchRig &rig, bool quick, Report &report);
// Barcodes at a scanner's pace and back to back: CPU, time to the barcode display, loss.
void linePace(BenchRig &rig, bool quick, Report &report);
// Barcodes at full speed: throughput, memory, loss, and stalls of the timer and the history.
void flood(BenchRig &rig, bool quick, Report &report);
// The cost of a character against what the history holds.
void history(BenchRig &rig, bool quick, Report &report);
// Memory per character held, and a day's characters: peak memory, CPU, then Clear.
void memory(BenchRig &rig, bool quick, Report &report);
// A key press or paste in a large history, to the screen.
void typing(BenchRig &rig, bool quick, Report &report);
// Full runs as root only: Lumora as another user (--waiting-probe) waiting for a port this
// process holds, beside 2,000 processes of that user: its CPU and a key's time to the screen.
void waiting(BenchRig &rig, bool quick, Report &report);
int waitingProbe(const QString &port, int seconds);
// A long run of characters, then the late CR: its CPU and memory, and keys in the barcode box.
void longBarcode(BenchRig &rig, bool quick, Report &report);

} // namespace Scenarios
