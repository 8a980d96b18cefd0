#include "framepacer.h"

FramePacer::FramePacer(int intervalMs, QObject *parent)
    : QObject(parent)
    , m_intervalMs(intervalMs)
{
    m_timer.setSingleShot(true);
    // A coarse timer may fire up to 5% late and, worse, early: frames would bunch up.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FramePacer::emitFrame);
}

void FramePacer::request()
{
    if (m_timer.isActive())
        return;
    const qint64 since = m_sinceFrame.isValid() ? m_sinceFrame.elapsed() : m_intervalMs;
    m_timer.start(int(qMax<qint64>(0, m_intervalMs - since)));
}

void FramePacer::emitFrame()
{
    m_sinceFrame.start();
    Q_EMIT frame();
}
