#pragma once

#include "feedback.h"
#include "soundbell.h"

#include <QElapsedTimer>

// The desktop's bell sound and message boxes.
class DesktopFeedback : public Feedback
{
public:
    DesktopFeedback();

    // Sounds the desktop's bell (see SoundBell), or the windowing system's (the X bell) where
    // that cannot sound. Rings that follow each other closely are merged, so a fast scanner
    // never piles up a queue of sounds.
    void beep() override;
    void messageBox(const QString &text, const QString &title) override;

private:
    QElapsedTimer m_sinceBeep;
    SoundBell m_sound;
};
