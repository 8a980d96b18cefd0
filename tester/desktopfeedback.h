#pragma once

#include "feedback.h"

#include <QElapsedTimer>

// The platform's bell and message boxes.
class DesktopFeedback : public Feedback
{
public:
    DesktopFeedback();

    // Rings that follow each other closely are merged, so a fast scanner never piles up a
    // queue of sounds.
    void beep() override;
    void messageBox(const QString &text, const QString &title) override;

private:
    QElapsedTimer m_sinceBeep;
};
