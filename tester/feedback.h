#pragma once

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
