#include "textboxaccessible.h"

#include "textbox.h"

#include <algorithm>

TextBoxAccessible::TextBoxAccessible(TextBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{}

QAccessibleInterface *TextBoxAccessible::create(const QString &className, QObject *object)
{
    if (className == QLatin1String(TextBox::staticMetaObject.className()) && object
        && object->isWidgetType())
        return new TextBoxAccessible(static_cast<TextBox *>(object));
    return nullptr;
}

TextBox *TextBoxAccessible::box() const
{
    return static_cast<TextBox *>(widget());
}

int TextBoxAccessible::bounded(qsizetype position)
{
    return int(std::clamp<qsizetype>(position, 0, AccessibleChars));
}

void TextBoxAccessible::textChanged(TextBox *box, QString &spoken)
{
    if (!QAccessible::isActive())
        return;
    QString now = box->text(0, AccessibleChars);
    QAccessibleTextUpdateEvent event(box, 0, spoken, now);
    spoken = std::move(now);
    QAccessible::updateAccessibility(&event);
}

void TextBoxAccessible::cursorMoved(TextBox *box)
{
    if (!QAccessible::isActive())
        return;
    if (box->hasSelectedText()) {
        QAccessibleTextSelectionEvent event(box, bounded(box->selectionStart()),
                                            bounded(box->selectionEnd()));
        event.setCursorPosition(bounded(box->cursorPosition()));
        QAccessible::updateAccessibility(&event);
    } else {
        QAccessibleTextCursorEvent event(box, bounded(box->cursorPosition()));
        QAccessible::updateAccessibility(&event);
    }
}

void *TextBoxAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QString TextBoxAccessible::text(QAccessible::Text kind) const
{
    if (kind == QAccessible::Value)
        return box()->text(0, AccessibleChars);
    return QAccessibleWidget::text(kind);
}

QAccessible::State TextBoxAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = true;
    state.selectableText = true;
    return state;
}

void TextBoxAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex == 0 && selectionCount() == 1) {
        *startOffset = bounded(box()->selectionStart());
        *endOffset = bounded(box()->selectionEnd());
    }
}

int TextBoxAccessible::selectionCount() const
{
    return box()->hasSelectedText() && box()->selectionStart() < AccessibleChars ? 1 : 0;
}

void TextBoxAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void TextBoxAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        box()->deselect();
}

void TextBoxAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        box()->setSelection(bounded(startOffset), bounded(endOffset));
}

int TextBoxAccessible::cursorPosition() const
{
    return bounded(box()->cursorPosition());
}

void TextBoxAccessible::setCursorPosition(int position)
{
    box()->setCursorPosition(bounded(position));
}

QString TextBoxAccessible::text(int startOffset, int endOffset) const
{
    const int from = bounded(startOffset);
    return box()->text(from, bounded(endOffset) - from);
}

int TextBoxAccessible::characterCount() const
{
    return bounded(box()->textSize());
}

QRect TextBoxAccessible::characterRect(int offset) const
{
    const QRect local = box()->characterRect(offset);
    return local.isValid() ? QRect(box()->mapToGlobal(local.topLeft()), local.size()) : QRect();
}

int TextBoxAccessible::offsetAtPoint(const QPoint &point) const
{
    const QPoint local = box()->mapFromGlobal(point);
    if (!box()->rect().contains(local))
        return -1;
    const qsizetype position = box()->positionAt(local);
    return position < AccessibleChars ? int(position) : -1;
}

void TextBoxAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    box()->setCursorPosition(bounded(endIndex));
    box()->setCursorPosition(bounded(startIndex));
}

QString TextBoxAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = offset;
    return {};
}
