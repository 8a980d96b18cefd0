#include "historybox.h"

#include "controlpictures.h"
#include "historyrows.h"
#include "quietscrollbar.h"

#include <QMimeData>
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
    m_updating = true;
    clear();
    m_updating = false;
    m_softBreaks = 0;
    const QList<QStringView> lines = text.split(u"\r\n");
    m_pending.clear();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            m_pending += u'\n';
        m_pending += ControlPictures::toVisible(lines.at(i));
    }
    flush();
    m_textLength = textLength();
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
    // and after inserting: each would lay out the whole last row for a cursor thrown away.
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    m_softBreaks += HistoryRows::append(cursor, m_pending);
    cursor.endEditBlock();
    m_updating = false;
    m_pending.clear();
    m_textLength = textLength();
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

QMimeData *HistoryBox::createMimeDataFromSelection() const
{
    if (m_softBreaks == 0)
        return QPlainTextEdit::createMimeDataFromSelection();
    // What is copied or dragged joins the rows of a long line again, as the text does.
    const QTextCursor selection = textCursor();
    auto *data = new QMimeData;
    data->setText(
        HistoryRows::text(document(), selection.selectionStart(), selection.selectionEnd(), u"\n"));
    return data;
}

qsizetype HistoryBox::textLength() const
{
    // A line break is one character on screen and two (CR LF) in the text, a soft break one
    // and none.
    const qsizetype breaks = document()->blockCount() - 1;
    return document()->characterCount() - 1 + breaks - 2 * m_softBreaks;
}

// Turns a change of the document by the user into an edit of the history's text: characters
// stand for themselves, line breaks for CR LF and soft breaks for nothing.
void HistoryBox::documentChanged(int position, int removed, int added)
{
    Q_UNUSED(removed) // the change in length tells, whatever range the document reports
    if (m_updating)
        return;
    QTextDocument *doc = document();
    // The document may report a wider range than it changed, past its end included.
    added = qBound(0, added, doc->characterCount() - 1 - position);
    if (m_softBreaks > 0) {
        HistoryRows::repair(doc, position, added);
        m_softBreaks = HistoryRows::softBreaks(doc);
    }
    const qsizetype oldLength = std::exchange(m_textLength, textLength());
    const QString inserted = HistoryRows::text(doc, position, position + added, u"\r\n");
    const qsizetype at = m_softBreaks > 0 ? HistoryRows::textPosition(doc, position)
                                          : position + doc->findBlock(position).blockNumber();
    const qsizetype removedText = inserted.size() - (m_textLength - oldLength);
    if (removedText == 0 && inserted.isEmpty())
        return; // a soft break went: the text stays as it is
    Q_EMIT edited(at, removedText, inserted);
}
