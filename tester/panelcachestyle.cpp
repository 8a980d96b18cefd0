#include "panelcachestyle.h"

#include <QPainter>
#include <QStyleOptionFrame>

void PanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option,
                                    QPainter *painter, const QWidget *widget) const
{
    const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option);
    if (element != PE_PanelLineEdit || !frame) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const Look look{option->rect.size(), option->state, option->palette.cacheKey(),
                    frame->lineWidth, painter->device()->devicePixelRatio()};
    if (look != m_look || m_panel.isNull()) {
        m_look = look;
        m_panel = QPixmap(look.size * look.ratio);
        m_panel.setDevicePixelRatio(look.ratio);
        m_panel.fill(option->palette.window().color());
        QStyleOptionFrame atOrigin = *frame;
        atOrigin.rect = QRect(QPoint(0, 0), look.size);
        QPainter panelPainter(&m_panel);
        QProxyStyle::drawPrimitive(element, &atOrigin, &panelPainter, widget);
    }
    painter->drawPixmap(option->rect.topLeft(), m_panel);
}
