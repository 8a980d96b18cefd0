#pragma once

#include <QtGlobal>

class BenchRig;
class Report;

// The parts of the benchmark (README, Performance): each adds its figures to the report; a
// quick run does less of each, for CI.
namespace Scenarios {

// The most a key press may take to reach the screen.
constexpr double KeyTargetMs = 50;

using Scenario = void(BenchRig &rig, bool quick, Report &report);
Scenario idle, linePace, flood, history, memory, typing, waiting, longBarcode;
// From launching this program again (--probe startup) to its window's first paint.
void startup(Report &report);
int startupProbe();
// waiting() starts this program again as another user (--probe PORT), waiting for a port this
// one holds.
int waitingProbe(const QString &port);

} // namespace Scenarios
