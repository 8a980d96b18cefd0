#pragma once

#include <QString>

// Whether process `pid` runs: it exists (whether or not we may signal it) and is not a
// zombie, which has ended and only waits for its parent.
bool isProcessRunning(qint64 pid);
// Whether `pid` is a thread of the kernel (kthreadd and its children): it has no files, so it
// holds no device and leaves no lock file.
bool isKernelThread(qint64 pid);
// The process's command name, made printable; empty when it cannot be read.
QString processName(qint64 pid);
qint64 currentProcessId();
