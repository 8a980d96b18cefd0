#pragma once

#include "feedback.h"

#include <QList>

#include <functional>
#include <memory>

// Counts beeps and records message boxes instead of showing them.
class RecordingFeedback : public Feedback
{
public:
    struct Box
    {
        QString text;
        QString title;
    };
    // Kept by the test, which goes on reading it after the window took the recorder.
    struct Record
    {
        qint64 beeps = 0;
        QList<Box> boxes;
        // Runs while a box is "open", as if the user did something before dismissing it.
        std::function<void(const QString &text)> onBox;
    };

    void beep() override { ++m_record->beeps; }
    void messageBox(const QString &text, const QString &title) override
    {
        m_record->boxes.append({text, title});
        if (m_record->onBox)
            m_record->onBox(text);
    }

    std::shared_ptr<Record> record() const { return m_record; }

private:
    std::shared_ptr<Record> m_record = std::make_shared<Record>();
};
