#pragma once

#include <QElapsedTimer>
#include <QString>

// What the window gives the user besides its controls: the beep and modal message boxes.
// Tests put a recorder in its place.
class Feedback
{
public:
    virtual ~Feedback() = default;
    virtual void beep() = 0;
    // A modal message box with `text`, `title`, one OK button and no icon; returns when the
    // user dismisses it. Lines of `text` are separated by carriage returns.
    virtual void messageBox(const QString &text, const QString &title) = 0;
};

class DesktopFeedback : public Feedback
{
public:
    DesktopFeedback();

    // The platform's bell. Rings that follow each other closely are merged, so a fast
    // scanner never piles up a queue of sounds.
    void beep() override;
    void messageBox(const QString &text, const QString &title) override;

private:
    QElapsedTimer m_sinceBeep;
};
