#include "historybox.h"

#include "controlpictures.h"
#include "quietscrollbar.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

HistoryBox::HistoryBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBar(new QuietScrollBar(Qt::Horizontal, this));
    setVerticalScrollBar(new QuietScrollBar(Qt::Vertical, this));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The scroll area lays its children out again after every change of a bar's range, to show
    // or hide the bar. Both bars are always shown, so that changes nothing, but the layout
    // raises each bar's container, which repaints both bars and the window behind them at
    // every new line. Resizing and style changes still lay them out.
    for (QScrollBar *bar : {horizontalScrollBar(), verticalScrollBar()})
        disconnect(bar, &QScrollBar::rangeChanged, this, nullptr);
    // Tab moves on to the next control, as in every other field of the window.
    setTabChangesFocus(true);
    // The history's text is kept apart; undo here would keep a second copy of it.
    setUndoRedoEnabled(false);
    connect(document(), &QTextDocument::contentsChange, this, &HistoryBox::documentChanged);
}

void HistoryBox::appendReceived(QStringView chars, bool lineBreak)
{
    if (lineBreak)
        m_pending += u'\n';
    else if (chars.size() == 1) // nearly always: one character a read
        m_pending += ControlPictures::toVisible(chars.front());
    else
        m_pending += ControlPictures::toVisible(chars);
}

void HistoryBox::showAll(QStringView text)
{
    m_pending.clear();
    QStringList lines;
    for (const QStringView line : text.split(u"\r\n"))
        lines.append(ControlPictures::toVisible(line));
    m_updating = true;
    setPlainText(lines.join(u'\n'));
    m_updating = false;
    noteLength();
}

void HistoryBox::flush()
{
    if (m_pending.isEmpty())
        return;
    QScrollBar *bar = verticalScrollBar();
    const bool followEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    m_updating = true;
    // Inside an edit block the cursor does not work out its on-screen position after moving
    // and after inserting: each would lay out the whole last line for a cursor thrown away.
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // One insertion: a '\n' becomes exactly one paragraph break.
    cursor.insertText(m_pending);
    cursor.endEditBlock();
    m_updating = false;
    m_pending.clear();
    noteLength();
    if (followEnd)
        bar->setValue(bar->maximum());
}

void HistoryBox::keyPressEvent(QKeyEvent *event)
{
    flush();
    QPlainTextEdit::keyPressEvent(event);
}

void HistoryBox::inputMethodEvent(QInputMethodEvent *event)
{
    flush();
    QPlainTextEdit::inputMethodEvent(event);
}

void HistoryBox::insertFromMimeData(const QMimeData *source)
{
    flush();
    QPlainTextEdit::insertFromMimeData(source);
}

void HistoryBox::noteLength()
{
    m_length = document()->characterCount() - 1;
    m_blocks = document()->blockCount();
}

// Turns a change of the document by the user into an edit of the history's text. Each line
// break on screen is CR LF in the text and every other character on screen stands for one in
// the text, so a position on screen maps to the same position plus the line breaks before it.
void HistoryBox::documentChanged(int position, int removed, int added)
{
    if (m_updating)
        return;
    const int oldLength = std::exchange(m_length, document()->characterCount() - 1);
    const int oldBlocks = std::exchange(m_blocks, document()->blockCount());
    // The document may report a wider range than it changed, past its end included.
    added = qBound(0, added, m_length - position);
    removed = qMax(0, added - (m_length - oldLength));

    QTextCursor cursor(document());
    cursor.setPosition(position);
    cursor.setPosition(position + added, QTextCursor::KeepAnchor);
    QString inserted = cursor.selectedText();
    const int breaksAdded = int(inserted.count(QChar::ParagraphSeparator));
    inserted.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    const int breaksRemoved = oldBlocks - m_blocks + breaksAdded;
    const int linesBefore = document()->findBlock(position).blockNumber();
    Q_EMIT edited(position + linesBefore, removed + breaksRemoved, inserted);
}
