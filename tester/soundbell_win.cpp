#include "soundbell.h"

#include <windows.h>

// MessageBeep() plays the sound the user chose for the default beep and returns at once; it
// needs no state of its own.
class SoundBell::Player
{
};

SoundBell::SoundBell(std::chrono::milliseconds) {}

SoundBell::~SoundBell() = default;

bool SoundBell::ring()
{
    return ::MessageBeep(MB_OK);
}
