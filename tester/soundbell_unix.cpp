#include "soundbell.h"

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <canberra.h>

namespace {

// One id for every ring, so that cancelling it stops whichever ring still sounds.
constexpr uint32_t BellId = 1;
constexpr char CannotPlay[]
    = "The sound server cannot play the bell (%s); the X bell rings instead";

} // namespace

// The sound server's side of the bell, on a thread of its own.
class SoundBell::Player
{
public:
    explicit Player(std::chrono::milliseconds retryAfter)
        : m_retryAfter(retryAfter)
        , m_thread([this](std::stop_token stop) { run(stop); })
    {}

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

SoundBell::SoundBell(std::chrono::milliseconds retryAfter)
    : m_player(std::make_unique<Player>(retryAfter))
{}

SoundBell::~SoundBell() = default;

bool SoundBell::ring()
{
    return m_player->ring();
}

bool SoundBell::Player::ring()
{
    {
        std::lock_guard lock(m_mutex);
        m_ringPending = true;
    }
    m_wake.notify_one();
    return m_reachable;
}

void SoundBell::Player::run(std::stop_token stop)
{
    connect();
    std::unique_lock lock(m_mutex);
    while (m_wake.wait(lock, stop, [this] { return m_ringPending; })) {
        m_ringPending = false;
        lock.unlock();
        sound();
        lock.lock();
    }
    disconnect();
}

void SoundBell::Player::sound()
{
    if (!m_context && std::chrono::steady_clock::now() - m_lastAttempt >= m_retryAfter)
        connect();
    if (!m_context || play() == CA_SUCCESS)
        return;
    // A server that restarted has dropped the connection: one more try on a new one.
    disconnect();
    if (!connect())
        return;
    if (const int error = play(); error != CA_SUCCESS) {
        qWarning(CannotPlay, ca_strerror(error));
        disconnect();
        m_reachable = false;
    }
}

bool SoundBell::Player::connect()
{
    m_lastAttempt = std::chrono::steady_clock::now();
    int error = ca_context_create(&m_context);
    // Only a sound server will do: where there is none, the X bell is the better fallback
    // than a sound card opened behind the desktop's back.
    if (error == CA_SUCCESS)
        error = ca_context_set_driver(m_context, "pulse");
    if (error == CA_SUCCESS)
        error = ca_context_change_props(m_context, CA_PROP_APPLICATION_NAME, "Lumora",
                                        CA_PROP_APPLICATION_ID, "io.github.lumora.Lumora",
                                        CA_PROP_APPLICATION_ICON_NAME, "lumora", CA_PROP_MEDIA_ROLE,
                                        "event", nullptr);
    if (error == CA_SUCCESS)
        error = ca_context_open(m_context);
    // Loaded into the server's cache now, the sound is not decoded and uploaded on the first
    // character, and every ring is one request to the server.
    if (error == CA_SUCCESS)
        error = ca_context_cache(m_context, CA_PROP_EVENT_ID, "bell", nullptr);
    if (error != CA_SUCCESS) {
        if (m_reachable)
            qWarning(CannotPlay, ca_strerror(error));
        disconnect();
    }
    m_reachable = error == CA_SUCCESS;
    return m_reachable;
}

void SoundBell::Player::disconnect()
{
    if (m_context)
        ca_context_destroy(m_context);
    m_context = nullptr;
}

int SoundBell::Player::play()
{
    ca_context_cancel(m_context, BellId);
    return ca_context_play(m_context, BellId, CA_PROP_EVENT_ID, "bell", CA_PROP_EVENT_DESCRIPTION,
                           "Character received", CA_PROP_CANBERRA_CACHE_CONTROL, "permanent",
                           nullptr);
}
