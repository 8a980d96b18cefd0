#pragma once

#include "feedback.h"

#include <QList>

#include <functional>

// Counts beeps and records message boxes instead of showing them.
class RecordingFeedback : public Feedback
{
public:
    struct Box
    {
        QString text;
        QString title;
    };

    void beep() override { ++*beeps; }
    void messageBox(const QString &text, const QString &title) override
    {
        boxes->append({text, title});
        if (*onBox)
            (*onBox)(text);
    }

    // Shared with the test, which keeps them after the window took the recorder.
    std::shared_ptr<int> beeps = std::make_shared<int>(0);
    std::shared_ptr<QList<Box>> boxes = std::make_shared<QList<Box>>();
    // Runs while a box is "open", as if the user did something before dismissing it.
    std::shared_ptr<std::function<void(const QString &)>> onBox
        = std::make_shared<std::function<void(const QString &)>>();
};
