#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Paces the window's redraws: whatever changed since the last frame goes on screen together,
// in one frame, and frames come at most once per interval however fast characters arrive.
// The first change after a quiet spell is drawn as soon as the event loop is free.
class FramePacer : public QObject
{
    Q_OBJECT

public:
    explicit FramePacer(int intervalMs, QObject *parent = nullptr);

    // Asks for a frame: at once if the last one is an interval ago, else when it will be.
    void request();

Q_SIGNALS:
    // The views put what they hold back on screen now.
    void frame();

private:
    void emitFrame();

    int m_intervalMs;
    QTimer m_timer;
    QElapsedTimer m_sinceFrame;
};
