#pragma once

#include <QRect>
#include <QScrollBar>

// A scroll bar that repaints only when what it shows changes: the slider's place and size in
// pixels and which ends it has reached. The history's range grows with every line, which
// would otherwise repaint the bar at every frame, though its slider stays at the bottom at the
// same size once the history is a few hundred lines long.
class QuietScrollBar : public QScrollBar
{
    Q_OBJECT

public:
    explicit QuietScrollBar(Qt::Orientation orientation, QWidget *parent = nullptr);

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct Look
    {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look &) const = default;
    };
    Look currentLook() const;
    void updateIfChanged();

    Look m_shown;
    bool m_checkPosted = false;
};
