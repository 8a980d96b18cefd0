#include "textbox.h"

#include "controlpictures.h"

#include <limits>

TextBox::TextBox(QWidget *parent)
    : QLineEdit(parent)
    , m_backColor(palette().color(QPalette::Base))
{
    // A barcode has no length limit; QLineEdit's default would cut it at 32767 characters.
    setMaxLength(std::numeric_limits<int>::max());
}

QString TextBox::Text() const
{
    return ControlPictures::fromVisible(QLineEdit::text());
}

void TextBox::setText(const QString &raw)
{
    QLineEdit::setText(ControlPictures::toVisible(raw));
}

bool TextBox::setBackColor(const QColor &color)
{
    // Called for every received character; repainting only on a change keeps that cheap.
    if (color == m_backColor)
        return false;
    m_backColor = color;
    QPalette p = palette();
    p.setColor(QPalette::Base, color);
    setPalette(p);
    return true;
}
