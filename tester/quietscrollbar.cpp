#include "quietscrollbar.h"

#include <QStyle>
#include <QStyleOptionSlider>

QuietScrollBar::QuietScrollBar(Qt::Orientation orientation, QWidget *parent)
    : QScrollBar(orientation, parent)
{}

QuietScrollBar::Look QuietScrollBar::currentLook() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {
        style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
        value() == minimum(), value() == maximum()};
}

void QuietScrollBar::sliderChange(SliderChange change)
{
    if (change == SliderOrientationChange) {
        QScrollBar::sliderChange(change);
        return;
    }
    // The view sets the range, the steps and the value one after the other, and the bar often
    // ends where it was; the look is compared once they are all done, before the next paint.
    if (m_checkPosted)
        return;
    m_checkPosted = true;
    QMetaObject::invokeMethod(this, &QuietScrollBar::updateIfChanged, Qt::QueuedConnection);
}

void QuietScrollBar::updateIfChanged()
{
    m_checkPosted = false;
    if (currentLook() != m_shown)
        QScrollBar::sliderChange(SliderValueChange); // repaints, and lets a transient bar show
}

void QuietScrollBar::paintEvent(QPaintEvent *event)
{
    m_shown = currentLook();
    QScrollBar::paintEvent(event);
}
