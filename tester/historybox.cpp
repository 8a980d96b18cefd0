#include "historybox.h"

#include "controlpictures.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace {

constexpr int FlushIntervalMs = 10;

} // namespace

HistoryBox::HistoryBox(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // An undo step per received chunk would keep a second copy of the whole history.
    setUndoRedoEnabled(false);
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(FlushIntervalMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &HistoryBox::flush);
}

QString HistoryBox::Text()
{
    flush();
    // The raw text keeps no-break spaces, which toPlainText() would turn into spaces. Its
    // paragraph and line separators are the history's line breaks, CR LF.
    QString visible = document()->toRawText();
    visible.replace(QChar::ParagraphSeparator, QStringLiteral("\r\n"));
    visible.replace(QChar::LineSeparator, QStringLiteral("\r\n"));
    return ControlPictures::fromVisible(visible);
}

void HistoryBox::setText(const QString &raw)
{
    m_pending.clear();
    m_flushTimer.stop();
    // Only CR LF pairs are line breaks; every other control character is shown as itself.
    const QStringList lines = raw.split(QStringLiteral("\r\n"));
    QStringList shown;
    shown.reserve(lines.size());
    for (const QString &line : lines)
        shown.append(ControlPictures::toVisible(line));
    setPlainText(shown.join(u'\n'));
}

void HistoryBox::appendReceived(QStringView raw)
{
    // Most appends are one character; a picture is only needed for a control character.
    if (raw.size() == 1 && raw.front().unicode() >= 0x20 && raw.front().unicode() != 0x7F)
        m_pending += raw.front();
    else
        m_pending += ControlPictures::toVisible(raw);
    schedule();
}

void HistoryBox::appendLineBreak()
{
    m_pending += u'\n';
    schedule();
}

void HistoryBox::schedule()
{
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void HistoryBox::flush()
{
    m_flushTimer.stop();
    if (m_pending.isEmpty())
        return;
    QScrollBar *bar = verticalScrollBar();
    const bool followEnd = bar->value() == bar->maximum();
    QTextCursor cursor(document());
    // Inside an edit block the cursor does not work out its on-screen position after moving
    // and after inserting: each would lay out the whole last line for a cursor thrown away.
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // One insertion: a '\n' becomes exactly one paragraph break.
    cursor.insertText(m_pending);
    cursor.endEditBlock();
    m_pending.clear();
    if (followEnd)
        bar->setValue(bar->maximum());
}
