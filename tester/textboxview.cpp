#include "textbox.h"

#include "controlpictures.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextLayout>

// How the box draws: a line edit's panel and margins, and a slice of the text from the first
// character in view, laid out as one line.

namespace {

// A line edit's room between the panel's contents and its text, left and right.
constexpr int HorizontalMargin = 2;
// How many characters are laid out at first to fill the view; four times as many while they
// fall short, up to MaxSliceChars whatever their widths (marks of no width).
constexpr qsizetype SliceChars = 128;
constexpr qsizetype MaxSliceChars = 1 << 16;

// The characters as drawn: control characters as pictures, and the separators that text layout
// would take for line breaks or objects as spaces, as a line edit draws them.
QString drawn(QStringView raw)
{
    QString shown = ControlPictures::toVisible(raw);
    for (QChar &c : shown) {
        if (c == QChar::LineSeparator || c == QChar::ParagraphSeparator
            || c == QChar::ObjectReplacementCharacter)
            c = u' ';
    }
    return shown;
}

QTextLine layOutLine(QTextLayout &layout)
{
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    return line;
}

} // namespace

void TextBox::initStyleOption(QStyleOptionFrame *option) const
{
    option->initFrom(this);
    option->rect = contentsRect();
    option->lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, option, this);
    option->midLineWidth = 0;
    option->state |= QStyle::State_Sunken;
    option->features = QStyleOptionFrame::None;
}

// The line the text is drawn on, centred in the panel's contents as a line edit's is.
QRect TextBox::lineRect() const
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    const int height = fontMetrics().height();
    return QRect(contents.x() + HorizontalMargin,
                 contents.y() + (contents.height() - height + 1) / 2,
                 contents.width() - 2 * HorizontalMargin, height);
}

int TextBox::cursorWidth() const
{
    return style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, this);
}

void TextBox::layOut(QTextLayout &layout, qsizetype from, qreal width) const
{
    const QStringView text = raw();
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    option.setTextDirection(layoutDirection());
    layout.setTextOption(option);
    layout.setFont(font());
    layout.setCacheEnabled(true);
    for (qsizetype count = SliceChars;; count *= 4) {
        layout.setText(drawn(text.mid(from, count)));
        const bool composing = !m_preedit.isEmpty() && m_cursor >= from && m_cursor <= from + count;
        layout.setPreeditArea(composing ? int(m_cursor - from) : -1,
                              composing ? m_preedit : QString());
        const QTextLine line = layOutLine(layout);
        if (line.naturalTextWidth() > width || from + count >= text.size()
            || count >= MaxSliceChars)
            return;
    }
}

// Where `position` is in a layout from the first character in view: what an input method is
// composing comes before the character at the cursor.
int TextBox::layoutIndex(qsizetype position) const
{
    const qsizetype index = position - m_first;
    return int(!m_preedit.isEmpty() && position >= m_cursor ? index + m_preedit.size() : index);
}

qsizetype TextBox::firstToShowBefore(qsizetype position) const
{
    const QStringView text = raw();
    const qreal room = lineRect().width() - cursorWidth();
    for (qsizetype count = SliceChars;; count *= 4) {
        const qsizetype from = std::max<qsizetype>(0, position - count);
        QTextLayout layout(drawn(text.mid(from, position - from)), font());
        QTextOption option;
        option.setWrapMode(QTextOption::NoWrap);
        option.setFlags(QTextOption::IncludeTrailingSpaces);
        layout.setTextOption(option);
        const QTextLine line = layOutLine(layout);
        const qreal width = line.cursorToX(int(position - from));
        if (width <= room) {
            if (from == 0 || count >= MaxSliceChars)
                return from;
            continue;
        }
        // The first character that starts no more than `room` before the end.
        const qreal start = width - room;
        int first = line.xToCursor(start, QTextLine::CursorBetweenCharacters);
        if (line.cursorToX(first) < start)
            first = layout.nextCursorPosition(first);
        return from + first;
    }
}

// Scrolls as little as shows the cursor, and no further than shows the end at the right edge.
void TextBox::ensureCursorVisible()
{
    const qsizetype size = textSize();
    m_cursor = std::min(m_cursor, size);
    m_anchor = std::min(m_anchor, size);
    if (m_cursor < m_first) {
        m_first = m_cursor;
    } else {
        const qreal room = lineRect().width() - cursorWidth();
        QTextLayout layout;
        layOut(layout, m_first, room);
        const int index = layoutIndex(m_cursor);
        if (index > layout.text().size() + m_preedit.size()
            || layout.lineAt(0).cursorToX(index) > room)
            m_first = firstToShowBefore(m_cursor);
    }
    m_first = std::min(m_first, firstToShowBefore(size));
}

void TextBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
    painter.setClipRect(contents, Qt::IntersectClip);

    const QRect line = lineRect();
    QTextLayout layout;
    layOut(layout, m_first, line.width());
    // The baseline stays where the box's font puts it, whatever fallback fonts are in view.
    const QPointF origin(line.left(),
                         line.top() - (qRound(layout.lineAt(0).ascent()) - fontMetrics().ascent()));
    QList<QTextLayout::FormatRange> selections;
    const qsizetype shownEnd = m_first + layout.text().size();
    // Until a new text is shown, the cursor and the selection are positions in the old one.
    const bool current = !m_hasLater;
    if (current && hasSelectedText() && m_preedit.isEmpty() && selectionEnd() > m_first
        && selectionStart() < shownEnd) {
        QTextLayout::FormatRange selection;
        selection.start = layoutIndex(std::max(selectionStart(), m_first));
        selection.length = layoutIndex(std::min(selectionEnd(), shownEnd)) - selection.start;
        selection.format.setBackground(palette().brush(QPalette::Highlight));
        selection.format.setForeground(palette().brush(QPalette::HighlightedText));
        selections.append(selection);
    }
    painter.setPen(palette().text().color());
    layout.draw(&painter, origin, selections, contents);
    if (current && hasFocus() && m_cursorOn && !hasSelectedText())
        layout.drawCursor(&painter, origin, layoutIndex(m_cursor), cursorWidth());
}

QRect TextBox::cursorRect() const
{
    const QRect line = lineRect();
    QTextLayout layout;
    layOut(layout, m_first, line.width());
    const int x = line.left() + qRound(layout.lineAt(0).cursorToX(layoutIndex(m_cursor)));
    // Wide enough for the cursor however a style draws it.
    return QRect(x - 4, line.top(), cursorWidth() + 8, line.height());
}

QRect TextBox::characterRect(qsizetype position) const
{
    if (position < m_first || position >= textSize())
        return {};
    const QRect line = lineRect();
    QTextLayout layout;
    layOut(layout, m_first, line.width());
    const int index = layoutIndex(position);
    if (index >= layout.text().size() + m_preedit.size())
        return {};
    const QTextLine textLine = layout.lineAt(0);
    const int left = qRound(textLine.cursorToX(index));
    if (left >= line.width())
        return {};
    const int right = qRound(textLine.cursorToX(layout.nextCursorPosition(index)));
    return QRect(line.left() + left, line.top(), right - left, line.height());
}

qsizetype TextBox::positionAt(QPoint point) const
{
    const QRect line = lineRect();
    const int x = point.x() - line.left();
    // Left of the text while it is scrolled: one character back, so that dragging scrolls.
    if (x < 0 && m_first > 0)
        return previousChar(m_first);
    QTextLayout layout;
    layOut(layout, m_first, std::max(line.width(), x + 1));
    qsizetype index = layout.lineAt(0).xToCursor(x, QTextLine::CursorBetweenCharacters);
    if (!m_preedit.isEmpty() && m_first + index > m_cursor)
        index = std::max(m_cursor - m_first, index - m_preedit.size());
    return std::min(m_first + index, textSize());
}
