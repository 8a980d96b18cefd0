#pragma once

#include <QtGlobal>

// Clocks in nanoseconds: monotonic wall time, and CPU time of this process and this thread.
qint64 monotonicNs();
qint64 processCpuNs();
qint64 threadCpuNs();
