#pragma once

#include "cpuclock.h"
#include "pty.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// The scanner's end of a pseudo-terminal: a thread that writes to the master, either as fast as
// the slave takes it or a chunk at a time at a steady pace. Times are monotonic nanoseconds
// (monotonicNs()), the clock the rest of the benchmark reads.
class PtyFeeder
{
public:
    PtyFeeder();
    ~PtyFeeder();
    PtyFeeder(const PtyFeeder &) = delete;
    PtyFeeder &operator=(const PtyFeeder &) = delete;

    bool isValid() const { return m_pty.isValid(); }
    QString errorString() const { return m_pty.errorString(); }
    QString slavePath() const { return m_pty.slavePath(); }

    // Writes `bytes` in chunks of `chunk` as fast as the slave takes them.
    void startFlood(QByteArray bytes, qsizetype chunk = 4096);
    // Writes `bytes` `chunk` at a time, one chunk every `interval`, noting when each write began.
    void startPaced(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk = 1);
    // Waits for the writing to end; stop() ends it early.
    void wait();
    void stop();

    // When the first write began, 0 before it.
    qint64 firstWriteNs() const { return m_firstWriteNs.load(); }
    qint64 bytesWritten() const { return m_written.load(); }
    // When each paced chunk was written; complete once wait() returned.
    const std::vector<qint64> &pacedWriteTimes() const { return m_pacedTimes; }
    // CPU time the writing thread used, complete once wait() returned: the process's CPU
    // without it is the window's.
    qint64 cpuNs() const { return m_cpuNs.load(); }
    // A write failed (errno), 0 if none did.
    int writeError() const { return m_writeError.load(); }

private:
    void flood(QByteArray bytes, qsizetype chunk);
    void paced(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk);
    // Writes all of `data`, waiting while the slave's input is full; false when stopped or
    // failed.
    bool writeAll(const char *data, qsizetype size);
    void reset();

    Pty m_pty;
    std::thread m_thread;
    std::atomic<bool> m_stop = false;
    std::atomic<qint64> m_firstWriteNs = 0;
    std::atomic<qint64> m_written = 0;
    std::atomic<int> m_writeError = 0;
    std::atomic<qint64> m_cpuNs = 0;
    std::vector<qint64> m_pacedTimes;
};
