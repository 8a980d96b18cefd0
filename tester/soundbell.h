#pragma once

#include <chrono>
#include <memory>

// The bell as the desktop sounds it. On Linux: the "bell" event sound of the freedesktop sound
// theme, played by the sound server (PulseAudio, or PipeWire's PulseAudio service) through
// libcanberra; talking to the server takes round trips, so a thread of its own does that. On
// Windows: the system's default beep (MessageBeep), which plays on its own. ring() never waits.
class SoundBell
{
public:
    // A sound server that could not be reached is tried again by a ring at least `retryAfter`
    // after the last attempt.
    explicit SoundBell(std::chrono::milliseconds retryAfter = std::chrono::seconds(5));
    ~SoundBell();

    // Starts the bell, cutting short the one still sounding, so rings never queue up. Returns
    // false while the bell cannot sound: the caller sounds something else.
    bool ring();

private:
    class Player;
    std::unique_ptr<Player> m_player;
};
