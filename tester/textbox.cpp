#include "textbox.h"

#include "controlpictures.h"

#include <QEvent>

#include <algorithm>
#include <limits>

TextBox::TextBox(QWidget *parent)
    : QLineEdit(parent)
{
    // A barcode has no length limit; QLineEdit's default would cut it at 32767 characters.
    setMaxLength(std::numeric_limits<int>::max());
    connect(this, &QLineEdit::textEdited, this, &TextBox::userEdited);
}

void TextBox::showLater(const QString &raw)
{
    m_later = raw;
    m_hasLater = true;
}

void TextBox::flush()
{
    if (!m_hasLater)
        return;
    const QString raw = std::exchange(m_later, {});
    showText(raw);
}

bool TextBox::event(QEvent *event)
{
    // Typing, clicks, pastes and drops edit what is on screen.
    if (m_hasLater
        && (event->isInputEvent() || event->type() == QEvent::InputMethod
            || event->type() == QEvent::Drop))
        flush();
    return QLineEdit::event(event);
}

void TextBox::showText(QStringView raw)
{
    m_hasLater = false;
    m_later.clear();
    m_shown = ControlPictures::toVisible(raw);
    setText(m_shown);
    // Setting a line edit's text puts the cursor, and so the view, at the end.
    setCursorPosition(0);
}

// Every character on screen stands for one of the text, so an edit is where the old and new
// screen texts differ. For typing, the cursor tells which of two equal neighbours is new.
void TextBox::userEdited(const QString &text)
{
    const QString old = std::exchange(m_shown, text);
    const qsizetype grown = text.size() - old.size();
    const qsizetype cursor = cursorPosition();
    if (grown > 0 && cursor >= grown
        && QStringView(text).left(cursor - grown) == QStringView(old).left(cursor - grown)
        && QStringView(text).mid(cursor) == QStringView(old).mid(cursor - grown)) {
        Q_EMIT edited(cursor - grown, 0, text.mid(cursor - grown, grown));
        return;
    }
    const qsizetype shorter = std::min(old.size(), text.size());
    qsizetype prefix = 0;
    while (prefix < shorter && old[prefix] == text[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < shorter - prefix
           && old[old.size() - 1 - suffix] == text[text.size() - 1 - suffix])
        ++suffix;
    Q_EMIT edited(prefix, old.size() - prefix - suffix,
                  text.mid(prefix, text.size() - prefix - suffix));
}
