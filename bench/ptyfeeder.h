#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

// The scanner's end of a pseudo-terminal: the slave (slavePath()) is the port the window
// opens, and a thread writes to the master, either as fast as the slave takes it or a chunk at
// a time at a steady pace. Times are monotonic nanoseconds (proc.h).
class PtyFeeder
{
public:
    PtyFeeder();
    ~PtyFeeder();

    // False when no pseudo-terminal could be had; errorString() says why.
    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }

    // Writes `bytes` as fast as the slave takes them, or with an `interval`, `chunk` bytes at a
    // time, one chunk every `interval`, noting when each write began.
    void start(QByteArray bytes, std::chrono::nanoseconds interval = {}, qsizetype chunk = 1);
    // Waits for the writing to end; stop() ends it early.
    void wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    void stop()
    {
        m_stop = true;
        wait();
    }

    // When each paced chunk was written, and the CPU time the writing thread used: complete
    // once wait() returned. The process's CPU without the writer's is the window's.
    const std::vector<qint64> &pacedWriteTimes() const { return m_pacedTimes; }
    qint64 cpuNs() const { return m_cpuNs; }

private:
    // Writes all of `data`, waiting while the slave's input is full; false when stopped or
    // failed.
    bool writeAll(const char *data, qsizetype size);

    int m_master = -1;
    QString m_slavePath;
    QString m_error;
    std::thread m_thread;
    std::atomic<bool> m_stop = false;
    qint64 m_cpuNs = 0;
    std::vector<qint64> m_pacedTimes;
};
