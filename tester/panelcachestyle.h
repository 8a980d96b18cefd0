#pragma once

#include <QPixmap>
#include <QProxyStyle>

// Draws a line edit's panel from a pixmap made once per size, state and palette. The style's
// own panel is an antialiased rounded frame, which the large barcode display would draw afresh
// for every barcode; from the pixmap it is one copy. The pixmap is opaque, corners included
// (they show the window's colour), so a box drawn with it can be marked opaque and Qt need
// not draw what is behind it. Meant for one box: it keeps the last panel it drew.
class PanelCacheStyle : public QProxyStyle
{
    Q_OBJECT

public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;

private:
    struct Look
    {
        QSize size;
        QStyle::State state;
        qint64 palette = 0;
        int lineWidth = 0;
        qreal ratio = 0;
        bool operator==(const Look &) const = default;
    };

    mutable Look m_look;
    mutable QPixmap m_panel;
};
