#pragma once

#include <QProxyStyle>

// Draws a line edit's panel from a pixmap made once per size, state and palette. The style's
// own panel is an antialiased rounded frame, which the large barcode display would draw afresh
// for every barcode; from the cache it is one copy. The pixmap is opaque, corners included
// (they show the window's colour), so a box drawn with it can be marked opaque and Qt need
// not draw what is behind it.
class PanelCacheStyle : public QProxyStyle
{
    Q_OBJECT

public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;
};
