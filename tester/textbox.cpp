#include "textbox.h"

#include "controlpictures.h"
#include "textboxaccessible.h"

#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QInputMethod>

#include <algorithm>

// The box's state (the cursor, the selection, the first character in view), what it shows of
// the text, and its edits: the clipboard and undo.

TextBox::TextBox(const QString *text, QWidget *parent)
    : QWidget(parent)
    , m_text(text)
{
    static const bool accessible = (QAccessible::installFactory(&TextBoxAccessible::create), true);
    Q_UNUSED(accessible)
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setBackgroundRole(QPalette::Base);
    setCursor(Qt::IBeamCursor);
}

TextBox::~TextBox() = default;

void TextBox::showLater()
{
    m_hasLater = true;
}

void TextBox::flush()
{
    if (m_hasLater)
        showText();
}

void TextBox::showText()
{
    m_hasLater = false;
    m_cursor = m_anchor = m_first = 0;
    m_undo.clear();
    m_redo.clear();
    if (!m_preedit.isEmpty()) {
        m_preedit.clear();
        QGuiApplication::inputMethod()->reset();
    }
    changed();
    TextBoxAccessible::textChanged(this, m_spoken);
}

bool TextBox::event(QEvent *event)
{
    // Typing, clicks and an input method's text edit what is on screen.
    if (m_hasLater && (event->isInputEvent() || event->type() == QEvent::InputMethod))
        flush();
    switch (event->type()) {
    case QEvent::FontChange:
    case QEvent::StyleChange:
    case QEvent::Resize:
        ensureCursorVisible();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

QString TextBox::text() const
{
    return ControlPictures::toVisible(raw());
}

QString TextBox::text(qsizetype from, qsizetype count) const
{
    return ControlPictures::toVisible(raw().mid(from, count));
}

void TextBox::setCursorPosition(qsizetype position)
{
    moveCursor(position);
}

void TextBox::setSelection(qsizetype anchor, qsizetype position)
{
    m_anchor = std::clamp<qsizetype>(anchor, 0, textSize());
    moveCursor(position, true);
}

void TextBox::moveCursor(qsizetype position, bool select)
{
    m_cursor = std::clamp<qsizetype>(position, 0, textSize());
    if (!select)
        m_anchor = m_cursor;
    changed();
}

// After the cursor, the selection or the text changed.
void TextBox::changed()
{
    ensureCursorVisible();
    restartBlink();
    update();
    updateMicroFocus();
    TextBoxAccessible::cursorMoved(this);
}

void TextBox::selectAll()
{
    flush();
    m_anchor = 0;
    moveCursor(textSize(), true);
}

void TextBox::deselect()
{
    moveCursor(m_cursor);
}

void TextBox::copy() const
{
    copyTo(QClipboard::Clipboard);
}

void TextBox::copyTo(QClipboard::Mode mode) const
{
    if (hasSelectedText())
        QGuiApplication::clipboard()->setText(
            text(selectionStart(), selectionEnd() - selectionStart()), mode);
}

void TextBox::cut()
{
    flush();
    copy();
    if (hasSelectedText())
        insert({});
}

void TextBox::paste()
{
    insert(QGuiApplication::clipboard()->text());
}

void TextBox::insert(const QString &inserted)
{
    flush();
    replace(selectionStart(), selectionEnd() - selectionStart(), inserted);
}

void TextBox::replace(qsizetype position, qsizetype removed, const QString &inserted)
{
    if (removed == 0 && inserted.isEmpty())
        return;
    m_redo.clear();
    apply({position, raw().mid(position, removed).toString(), inserted}, m_undo, false);
}

// Puts `edit` into the text and notes it in `done`, to be taken back from there. With
// `selectInserted`, what it put in is selected (as undo shows what it brought back).
void TextBox::apply(const Edit &edit, std::vector<Edit> &done, bool selectInserted)
{
    Q_EMIT edited(edit.position, edit.removed.size(), edit.inserted);
    done.push_back(edit);
    m_cursor = edit.position + edit.inserted.size();
    m_anchor = selectInserted ? edit.position : m_cursor;
    changed();
    TextBoxAccessible::textChanged(this, m_spoken);
}

void TextBox::undo()
{
    flush();
    if (m_undo.empty())
        return;
    const Edit edit = std::move(m_undo.back());
    m_undo.pop_back();
    apply({edit.position, edit.inserted, edit.removed}, m_redo, true);
}

void TextBox::redo()
{
    flush();
    if (m_redo.empty())
        return;
    const Edit edit = std::move(m_redo.back());
    m_redo.pop_back();
    apply({edit.position, edit.inserted, edit.removed}, m_undo, false);
}
