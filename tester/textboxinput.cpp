#include "textbox.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QInputMethod>
#include <QMenu>
#include <QMouseEvent>
#include <QTextBoundaryFinder>

#include <algorithm>

// How the box takes the keyboard, the mouse, the focus and an input method, as a line edit does.

namespace {

// Enough characters around a position to hold a whole character of any script.
constexpr qsizetype ClusterChars = 32;
// What an input method is told of the text around the cursor, either side.
constexpr qsizetype SurroundingChars = 256;

enum class Kind { Word, Space, Other };

Kind kindOf(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80) {
        if ((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z')
            || u == u'_')
            return Kind::Word;
        return u == u' ' || (u >= 0x09 && u <= 0x0D) ? Kind::Space : Kind::Other;
    }
    if (c.isLetterOrNumber())
        return Kind::Word;
    return c.isSpace() ? Kind::Space : Kind::Other;
}

// Whether a key's text is meant as typing: printable characters and format characters (which
// some layouts type with Ctrl+Shift), but not what Ctrl alone makes of a letter.
bool isTyping(const QKeyEvent *event)
{
    const QString text = event->text();
    if (text.isEmpty())
        return false;
    const QChar c = text.front();
    if (c.category() == QChar::Other_Format)
        return true;
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::ControlModifier || modifiers == (Qt::ControlModifier | Qt::ShiftModifier))
        return false;
    return c.isPrint() || c.category() == QChar::Other_PrivateUse
           || (c.isHighSurrogate() && text.size() > 1 && text.at(1).isLowSurrogate());
}

bool matchesAny(QKeyEvent *event, std::initializer_list<QKeySequence::StandardKey> keys)
{
    return std::any_of(keys.begin(), keys.end(), [event](auto key) { return event->matches(key); });
}

} // namespace

qsizetype TextBox::nextChar(qsizetype position) const
{
    const QStringView text = raw();
    if (position >= text.size())
        return text.size();
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text.mid(position, ClusterChars));
    const qsizetype next = finder.toNextBoundary();
    return position + std::max<qsizetype>(next, 1);
}

qsizetype TextBox::previousChar(qsizetype position) const
{
    if (position <= 0)
        return 0;
    const qsizetype from = std::max<qsizetype>(0, position - ClusterChars);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, raw().mid(from, position - from));
    finder.toEnd();
    const qsizetype previous = finder.toPreviousBoundary();
    return previous >= 0 ? from + previous : position - 1;
}

// The start of the next word: past the rest of this run of letters and digits (or of other
// signs), then past spaces.
qsizetype TextBox::nextWord(qsizetype position) const
{
    const QStringView text = raw();
    const qsizetype size = text.size();
    if (position < size && kindOf(text[position]) != Kind::Space) {
        const Kind kind = kindOf(text[position]);
        while (position < size && kindOf(text[position]) == kind)
            ++position;
    }
    while (position < size && kindOf(text[position]) == Kind::Space)
        ++position;
    return position;
}

qsizetype TextBox::previousWord(qsizetype position) const
{
    const QStringView text = raw();
    while (position > 0 && kindOf(text[position - 1]) == Kind::Space)
        --position;
    if (position > 0) {
        const Kind kind = kindOf(text[position - 1]);
        while (position > 0 && kindOf(text[position - 1]) == kind)
            --position;
    }
    return position;
}

bool TextBox::moveKey(QKeyEvent *event)
{
    using Key = QKeySequence;
    const qsizetype end = textSize();
    if (event->matches(Key::MoveToNextChar))
        moveCursor(hasSelectedText() ? selectionEnd() : nextChar(m_cursor));
    else if (event->matches(Key::MoveToPreviousChar))
        moveCursor(hasSelectedText() ? selectionStart() : previousChar(m_cursor));
    else if (event->matches(Key::SelectNextChar))
        moveCursor(nextChar(m_cursor), true);
    else if (event->matches(Key::SelectPreviousChar))
        moveCursor(previousChar(m_cursor), true);
    else if (event->matches(Key::MoveToNextWord))
        moveCursor(nextWord(m_cursor));
    else if (event->matches(Key::MoveToPreviousWord))
        moveCursor(previousWord(m_cursor));
    else if (event->matches(Key::SelectNextWord))
        moveCursor(nextWord(m_cursor), true);
    else if (event->matches(Key::SelectPreviousWord))
        moveCursor(previousWord(m_cursor), true);
    else if (matchesAny(event, {Key::MoveToStartOfLine, Key::MoveToStartOfBlock,
                                Key::MoveToStartOfDocument}))
        moveCursor(0);
    else if (matchesAny(event, {Key::SelectStartOfLine, Key::SelectStartOfBlock,
                                Key::SelectStartOfDocument}))
        moveCursor(0, true);
    else if (matchesAny(event,
                        {Key::MoveToEndOfLine, Key::MoveToEndOfBlock, Key::MoveToEndOfDocument}))
        moveCursor(end);
    else if (matchesAny(event,
                        {Key::SelectEndOfLine, Key::SelectEndOfBlock, Key::SelectEndOfDocument}))
        moveCursor(end, true);
    else
        return false;
    return true;
}

bool TextBox::editKey(QKeyEvent *event)
{
    using Key = QKeySequence;
    const auto erase = [this](qsizetype from, qsizetype to) {
        if (hasSelectedText())
            insert({});
        else
            replace(std::min(from, to), std::abs(to - from), {});
    };
    if (event->matches(Key::SelectAll))
        selectAll();
    else if (event->matches(Key::Copy))
        copy();
    else if (event->matches(Key::Cut))
        cut();
    else if (event->matches(Key::Paste))
        paste();
    else if (event->matches(Key::Undo))
        undo();
    else if (event->matches(Key::Redo))
        redo();
    else if (event->matches(Key::Delete))
        erase(m_cursor, nextChar(m_cursor));
    else if (event->matches(Key::Backspace)
             || (event->key() == Qt::Key_Backspace
                 && !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))))
        erase(previousChar(m_cursor), m_cursor);
    else if (event->matches(Key::DeleteStartOfWord))
        erase(previousWord(m_cursor), m_cursor);
    else if (event->matches(Key::DeleteEndOfWord))
        erase(m_cursor, nextWord(m_cursor));
    else if (event->matches(Key::DeleteEndOfLine)) {
        // As in a line edit, the rest of the line goes to the clipboard.
        setSelection(m_cursor, textSize());
        cut();
    } else
        return false;
    return true;
}

void TextBox::keyPressEvent(QKeyEvent *event)
{
    if (moveKey(event) || editKey(event))
        event->accept();
    else if (isTyping(event))
        insert(event->text());
    else
        event->ignore();
}

void TextBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton && event->button() != Qt::MiddleButton)
        return;
    moveCursor(positionAt(event->position().toPoint()),
               event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier));
    m_selecting = event->button() == Qt::LeftButton;
}

void TextBox::mouseMoveEvent(QMouseEvent *event)
{
    if (m_selecting && (event->buttons() & Qt::LeftButton))
        moveCursor(positionAt(event->position().toPoint()), true);
}

void TextBox::mouseReleaseEvent(QMouseEvent *event)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (event->button() == Qt::LeftButton) {
        m_selecting = false;
        if (clipboard->supportsSelection())
            copyTo(QClipboard::Selection);
    } else if (event->button() == Qt::MiddleButton && clipboard->supportsSelection()) {
        insert(clipboard->text(QClipboard::Selection));
    }
}

// Selects the run of letters and digits (or of spaces, or of other signs) under the mouse.
void TextBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QStringView text = raw();
    qsizetype from = std::min(positionAt(event->position().toPoint()), text.size());
    if (from == text.size() && from > 0)
        --from;
    if (from >= text.size())
        return;
    const Kind kind = kindOf(text[from]);
    qsizetype to = from;
    while (from > 0 && kindOf(text[from - 1]) == kind)
        --from;
    while (to < text.size() && kindOf(text[to]) == kind)
        ++to;
    setSelection(from, to);
    m_selecting = false;
    if (QGuiApplication::clipboard()->supportsSelection())
        copyTo(QClipboard::Selection);
}

void TextBox::contextMenuEvent(QContextMenuEvent *event)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto add = [this, menu](const QString &name, QKeySequence key, bool enabled, auto slot) {
        const QString shortcut = key.toString(QKeySequence::NativeText);
        QAction *action = menu->addAction(shortcut.isEmpty() ? name : name + u'\t' + shortcut);
        action->setEnabled(enabled);
        connect(action, &QAction::triggered, this, slot);
    };
    const bool selected = hasSelectedText();
    add(tr("&Undo"), QKeySequence::Undo, !m_undo.empty(), &TextBox::undo);
    add(tr("&Redo"), QKeySequence::Redo, !m_redo.empty(), &TextBox::redo);
    menu->addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, selected, &TextBox::cut);
    add(tr("&Copy"), QKeySequence::Copy, selected, &TextBox::copy);
    add(tr("&Paste"), QKeySequence::Paste, !QGuiApplication::clipboard()->text().isEmpty(),
        &TextBox::paste);
    add(tr("Delete"), QKeySequence(), selected, [this] { insert({}); });
    menu->addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, selectionEnd() - selectionStart() < textSize(),
        &TextBox::selectAll);
    menu->popup(event->globalPos());
}

void TextBox::focusInEvent(QFocusEvent *event)
{
    // Tabbing into a line edit selects its text, so that typing replaces it.
    const Qt::FocusReason reason = event->reason();
    if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason
        || reason == Qt::ShortcutFocusReason)
        selectAll();
    restartBlink();
    update();
    QWidget::focusInEvent(event);
}

void TextBox::focusOutEvent(QFocusEvent *event)
{
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
        deselect();
    m_blink.stop();
    m_cursorOn = false;
    update();
    QWidget::focusOutEvent(event);
}

void TextBox::restartBlink()
{
    const int period = QApplication::cursorFlashTime() / 2;
    m_cursorOn = hasFocus();
    if (m_cursorOn && period > 0)
        m_blink.start(period, this);
    else
        m_blink.stop();
}

void TextBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_blink.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    // The text may have changed under the cursor: then the whole box is drawn anew.
    if (m_hasLater) {
        flush();
        return;
    }
    m_cursorOn = !m_cursorOn;
    update(cursorRect());
}

void TextBox::inputMethodEvent(QInputMethodEvent *event)
{
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        if (event->replacementLength() > 0 && !hasSelectedText()) {
            const qsizetype from = m_cursor + event->replacementStart();
            setSelection(from, from + event->replacementLength());
        }
        insert(event->commitString());
    }
    m_preedit = event->preeditString();
    changed();
}

QVariant TextBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    const qsizetype from = std::max<qsizetype>(0, m_cursor - SurroundingChars);
    const auto relative = [from](qsizetype position) {
        return int(std::clamp<qsizetype>(position - from, 0, 2 * SurroundingChars));
    };
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImCursorRectangle:
        return cursorRect();
    case Qt::ImFont:
        return font();
    case Qt::ImCursorPosition:
        return relative(m_cursor);
    case Qt::ImAnchorPosition:
        return relative(m_anchor);
    case Qt::ImSurroundingText:
        return text(from, m_cursor - from + SurroundingChars);
    case Qt::ImCurrentSelection:
        return text(selectionStart(),
                    std::min(selectionEnd() - selectionStart(), SurroundingChars));
    default:
        return QWidget::inputMethodQuery(query);
    }
}
