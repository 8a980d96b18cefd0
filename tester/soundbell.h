#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct ca_context;

// The desktop's "bell" event sound (from the freedesktop sound theme) played by the sound
// server: PulseAudio, or PipeWire's PulseAudio service, through libcanberra. Talking to the
// server takes round trips, so a thread of its own does that and ring() never waits for it.
class SoundBell
{
public:
    // A server that could not be reached is tried again by a ring at least `retryAfter` after
    // the last attempt.
    explicit SoundBell(std::chrono::milliseconds retryAfter = std::chrono::seconds(5));
    ~SoundBell();

    // Starts the bell, cutting short the one still sounding, so rings never queue up. Returns
    // false while no sound server can be reached: the caller sounds something else.
    bool ring();

private:
    void run(std::stop_token stop);
    void sound();
    bool connect();
    void disconnect();
    int play();

    const std::chrono::milliseconds m_retryAfter;
    std::atomic<bool> m_reachable = true; // until an attempt fails
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    bool m_ringPending = false; // guarded by m_mutex
    // The thread's own, not guarded:
    ca_context *m_context = nullptr;
    std::chrono::steady_clock::time_point m_lastAttempt;
    std::jthread m_thread; // last: stopped and joined before the rest goes
};
