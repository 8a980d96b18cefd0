#include "historybox.h"

#include "controlpictures.h"
#include "historyaccessible.h"
#include "historytext.h"
#include "quietscrollbar.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

// Space around the text, as in Qt's own text boxes.
constexpr int Margin = 4;
// No row is ever this wide: a row is laid out on one line, however long.
constexpr qreal Unwrapped = 1e6;
// Rows laid out and kept for drawing again: a screenful and some.
constexpr size_t KeptLayouts = 96;

bool isWordChar(QChar c)
{
    return c.isLetterOrNumber() || c == u'_';
}

// Typed or pasted text as the history's text: each kind of line break becomes CR LF.
QString asHistory(const QString &typed)
{
    QString out;
    out.reserve(typed.size());
    for (qsizetype i = 0; i < typed.size(); ++i) {
        const QChar c = typed[i];
        if (c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator
            || c == QChar::LineSeparator) {
            out += QStringLiteral("\r\n");
            if (c == u'\r' && i + 1 < typed.size() && typed[i + 1] == u'\n')
                ++i;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

struct HistoryBox::CachedRow
{
    qsizetype start;
    qsizetype length;
    QTextLayout layout;
    quint64 usedIn;
};

HistoryBox::HistoryBox(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    HistoryAccessible::install();
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
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setBackgroundRole(QPalette::Base);
    m_rowHeight = fontMetrics().lineSpacing();
}

HistoryBox::~HistoryBox() = default;

void HistoryBox::setHistory(const HistoryText *history)
{
    m_history = history;
    m_knownSize = history->size();
    m_cursor = m_anchor = m_knownSize;
    m_layouts.clear();
    updateRanges();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
}

void HistoryBox::flush()
{
    if (!m_history || m_history->size() == m_knownSize)
        return;
    if (m_history->size() < m_knownSize) {
        reset();
        return;
    }
    const qsizetype oldSize = std::exchange(m_knownSize, m_history->size());
    QScrollBar *bar = verticalScrollBar();
    const bool followEnd = bar->value() == bar->maximum();
    // A cursor at the end stays at the end.
    const bool cursorMoves = m_cursor == oldSize;
    if (cursorMoves)
        m_cursor = m_knownSize;
    if (m_anchor == oldSize)
        m_anchor = m_knownSize;
    const qsizetype firstChanged = m_history->rowAt(oldSize);
    updateRanges();
    if (followEnd)
        bar->setValue(bar->maximum());
    updateRows(firstChanged, shownRows() - 1);
    if (QAccessible::isActive()) {
        QAccessibleTextInsertEvent inserted(this, int(m_history->toShown(oldSize)),
                                            m_history->shownText(oldSize, m_knownSize));
        QAccessible::updateAccessibility(&inserted);
        if (cursorMoves)
            announceCursor();
    }
}

void HistoryBox::reset()
{
    m_knownSize = m_history ? m_history->size() : 0;
    m_cursor = m_anchor = std::min(m_cursor, m_knownSize);
    m_atRowEnd = false;
    m_preedit.clear();
    m_layouts.clear();
    m_widest = 0;
    m_measuredLongest = 0;
    updateRanges();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextUpdateEvent changed(this, 0, QString(),
                                           m_history->shownText(0, m_knownSize));
        QAccessible::updateAccessibility(&changed);
    }
}

// Rows and pixels

qsizetype HistoryBox::shownRows() const
{
    return m_history->rowsUpTo(m_knownSize);
}

// A row as on screen: what arrived since the last frame is not there yet.
HistoryText::Row HistoryBox::shownRow(qsizetype index) const
{
    HistoryText::Row row = m_history->row(index);
    if (row.start + row.length > m_knownSize) {
        row.length = std::max<qsizetype>(0, m_knownSize - row.start);
        row.lastOfLine = true;
    }
    return row;
}

int HistoryBox::visibleRows() const
{
    return std::max(1, (viewport()->height() - Margin) / m_rowHeight);
}

int HistoryBox::rowTop(qsizetype row) const
{
    return Margin + int(row - verticalScrollBar()->value()) * m_rowHeight;
}

int HistoryBox::contentX() const
{
    return Margin - horizontalScrollBar()->value();
}

QTextLayout &HistoryBox::layout(qsizetype index) const
{
    const HistoryText::Row row = shownRow(index);
    for (const auto &cached : m_layouts) {
        if (cached->start == row.start && cached->length == row.length) {
            cached->usedIn = m_paints;
            return cached->layout;
        }
    }
    if (m_layouts.size() >= KeptLayouts) {
        // Those not drawn in the last two paints go.
        std::erase_if(m_layouts, [this](const auto &c) { return c->usedIn + 1 < m_paints; });
        if (m_layouts.size() >= KeptLayouts)
            m_layouts.clear();
    }
    auto cached = std::make_unique<CachedRow>();
    cached->start = row.start;
    cached->length = row.length;
    cached->usedIn = m_paints;
    QTextLayout &tl = cached->layout;
    tl.setText(
        ControlPictures::toVisible(QStringView(m_history->text()).mid(row.start, row.length)));
    tl.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    tl.setTextOption(option);
    tl.setCacheEnabled(true);
    tl.beginLayout();
    QTextLine line = tl.createLine();
    line.setLineWidth(Unwrapped);
    line.setPosition(QPointF(0, 0));
    tl.endLayout();
    if (line.naturalTextWidth() > m_widest) {
        m_widest = line.naturalTextWidth();
        m_widthGrew = true;
    }
    m_layouts.push_back(std::move(cached));
    return tl;
}

void HistoryBox::updateRanges()
{
    m_widthGrew = false;
    const qsizetype rows = m_history ? shownRows() : 1;
    QScrollBar *vertical = verticalScrollBar();
    vertical->setPageStep(visibleRows());
    vertical->setRange(0, int(std::max<qsizetype>(0, rows - visibleRows())));
    // Rows not yet drawn count at the width of a digit a character; a row drawn wider widens
    // the range.
    if (m_history && m_history->longestRow() > m_measuredLongest) {
        m_measuredLongest = m_history->longestRow();
        m_widest
            = std::max<qreal>(m_widest, m_measuredLongest * fontMetrics().horizontalAdvance(u'0'));
    }
    QScrollBar *horizontal = horizontalScrollBar();
    const int width = int(std::ceil(m_widest)) + 2 * Margin + 1;
    horizontal->setPageStep(viewport()->width());
    horizontal->setSingleStep(fontMetrics().averageCharWidth() * 4);
    horizontal->setRange(0, std::max(0, width - viewport()->width()));
}

void HistoryBox::updateRows(qsizetype from, qsizetype to)
{
    const qsizetype first = std::max<qsizetype>(from, verticalScrollBar()->value());
    const qsizetype last = std::min<qsizetype>(to, verticalScrollBar()->value() + visibleRows());
    if (last < first)
        return;
    viewport()->update(
        QRect(0, rowTop(first), viewport()->width(), int(last - first + 1) * m_rowHeight));
}

void HistoryBox::scrollContentsBy(int dx, int dy)
{
    // The vertical bar counts rows, the horizontal one pixels.
    // The margin above the rows stays as it is.
    if (dx == 0 && std::abs(dy) < visibleRows())
        viewport()->scroll(0, dy * m_rowHeight,
                           QRect(0, Margin, viewport()->width(), viewport()->height() - Margin));
    else
        viewport()->update();
}

void HistoryBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateRanges();
}

void HistoryBox::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_rowHeight = fontMetrics().lineSpacing();
        m_layouts.clear();
        m_widest = 0;
        m_measuredLongest = 0;
        updateRanges();
        viewport()->update();
    }
}

void HistoryBox::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    painter.fillRect(event->rect(), palette().brush(QPalette::Base));
    if (!m_history)
        return;
    ++m_paints;
    const qsizetype top = verticalScrollBar()->value();
    const qsizetype first
        = std::max<qsizetype>(top, top + (event->rect().top() - Margin) / m_rowHeight);
    const qsizetype last = std::min<qsizetype>(
        shownRows() - 1, top + (event->rect().bottom() - Margin) / m_rowHeight);
    const qsizetype selStart = std::min(m_cursor, m_anchor);
    const qsizetype selEnd = std::max(m_cursor, m_anchor);
    const qsizetype caretRow = rowOfCursor();
    const int ascent = fontMetrics().ascent();
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    QTextCharFormat selected;
    selected.setBackground(palette().brush(group, QPalette::Highlight));
    selected.setForeground(palette().brush(group, QPalette::HighlightedText));
    painter.setPen(palette().color(group, QPalette::Text));

    for (qsizetype r = first; r <= last; ++r) {
        const HistoryText::Row row = shownRow(r);
        QTextLayout *tl = &layout(r);
        const qsizetype column = m_cursor - row.start;
        QTextLayout withPreedit;
        if (r == caretRow && !m_preedit.isEmpty()) {
            withPreedit.setText(tl->text());
            withPreedit.setFont(font());
            withPreedit.setTextOption(tl->textOption());
            withPreedit.setPreeditArea(int(column), m_preedit);
            QTextLayout::FormatRange underline;
            underline.start = int(column);
            underline.length = int(m_preedit.size());
            underline.format.setFontUnderline(true);
            withPreedit.setFormats({underline});
            withPreedit.beginLayout();
            withPreedit.createLine().setLineWidth(Unwrapped);
            withPreedit.endLayout();
            tl = &withPreedit;
        }
        const QTextLine line = tl->lineAt(0);
        const QPointF at(contentX(), rowTop(r) + ascent - line.ascent());
        QList<QTextLayout::FormatRange> selections;
        const qsizetype from = std::max(selStart, row.start) - row.start;
        const qsizetype to = std::min(selEnd, row.start + row.length) - row.start;
        if (to > from)
            selections.append({int(from), int(to - from), selected});
        tl->draw(&painter, at, selections);
        // A selected line break shows as a space's width after its line.
        if (row.lastOfLine && row.line + 1 < m_history->lineCount()
            && selStart <= row.start + row.length && selEnd >= row.start + row.length + 2) {
            painter.fillRect(QRectF(at.x() + line.naturalTextWidth(), rowTop(r),
                                    fontMetrics().horizontalAdvance(u' '), m_rowHeight),
                             selected.background());
        }
        if (r == caretRow && hasFocus() && m_caretShown)
            tl->drawCursor(&painter, at, int(column) + m_preeditCursor, 1);
    }
    if (m_widthGrew)
        QMetaObject::invokeMethod(this, &HistoryBox::updateRanges, Qt::QueuedConnection);
}

// The cursor

qsizetype HistoryBox::rowOfCursor() const
{
    const qsizetype r = m_history->rowAt(m_cursor);
    if (m_atRowEnd && r > 0) {
        const HistoryText::Row row = shownRow(r);
        if (m_cursor == row.start && m_cursor > m_history->lineStart(row.line))
            return r - 1;
    }
    return r;
}

qreal HistoryBox::cursorX() const
{
    const qsizetype r = rowOfCursor();
    return layout(r).lineAt(0).cursorToX(int(m_cursor - shownRow(r).start));
}

HistoryBox::Place HistoryBox::target(Move move) const
{
    const QString &text = m_history->text();
    const qsizetype size = text.size();
    const qsizetype c = m_cursor;
    switch (move) {
    case Move::Left:
        if (c == 0)
            return {0};
        if (c >= 2
            && ((text[c - 2] == u'\r' && text[c - 1] == u'\n')
                || (text[c - 1].isLowSurrogate() && text[c - 2].isHighSurrogate())))
            return {c - 2};
        return {c - 1};
    case Move::Right:
        if (c == size)
            return {size};
        if (c + 1 < size
            && ((text[c] == u'\r' && text[c + 1] == u'\n')
                || (text[c].isHighSurrogate() && text[c + 1].isLowSurrogate())))
            return {c + 2};
        return {c + 1};
    case Move::WordRight: {
        const qsizetype line = m_history->lineAt(c);
        const qsizetype end = m_history->lineStart(line) + m_history->lineLength(line);
        if (c == end)
            return target(Move::Right);
        qsizetype i = c;
        while (i < end && isWordChar(text[i]))
            ++i;
        while (i < end && !isWordChar(text[i]))
            ++i;
        return {i};
    }
    case Move::WordLeft: {
        const qsizetype start = m_history->lineStart(m_history->lineAt(c));
        if (c == start)
            return target(Move::Left);
        qsizetype i = c;
        while (i > start && !isWordChar(text[i - 1]))
            --i;
        while (i > start && isWordChar(text[i - 1]))
            --i;
        return {i};
    }
    case Move::Up:
    case Move::Down:
    case Move::PageUp:
    case Move::PageDown: {
        const qsizetype from = rowOfCursor();
        const qsizetype step = move == Move::Up       ? -1
                               : move == Move::Down   ? 1
                               : move == Move::PageUp ? -visibleRows()
                                                      : visibleRows();
        const qsizetype to = std::clamp<qsizetype>(from + step, 0, shownRows() - 1);
        if (to == from)
            return {step < 0 ? 0 : size};
        const qreal x = m_preferredX >= 0 ? m_preferredX : cursorX();
        const HistoryText::Row row = shownRow(to);
        const qsizetype column = layout(to).lineAt(0).xToCursor(x);
        return {row.start + column, column == row.length && !row.lastOfLine};
    }
    case Move::RowStart:
        return {shownRow(rowOfCursor()).start};
    case Move::RowEnd: {
        const HistoryText::Row row = shownRow(rowOfCursor());
        return {row.start + row.length, !row.lastOfLine};
    }
    case Move::Start:
        return {0};
    case Move::End:
        return {size};
    }
    return {c};
}

void HistoryBox::moveCursor(qsizetype position, bool select, bool atRowEnd)
{
    const qsizetype oldCursor = m_cursor;
    const qsizetype oldAnchor = m_anchor;
    const bool oldAtRowEnd = m_atRowEnd;
    m_cursor = std::clamp<qsizetype>(position, 0, m_history->size());
    if (!select)
        m_anchor = m_cursor;
    m_atRowEnd = atRowEnd;
    ensureVisible(m_cursor);
    restartBlink();
    if (oldCursor != m_cursor || oldAnchor != m_anchor || oldAtRowEnd != m_atRowEnd) {
        updateSelectionChange(oldCursor, oldAnchor);
        announceCursor();
    }
}

void HistoryBox::setSelection(qsizetype anchor, qsizetype position)
{
    flush();
    m_preferredX = -1;
    const qsizetype oldCursor = m_cursor;
    m_anchor = std::clamp<qsizetype>(anchor, 0, m_history->size());
    moveCursor(position, true);
    updateSelectionChange(oldCursor, m_anchor);
}

void HistoryBox::updateSelectionChange(qsizetype oldCursor, qsizetype oldAnchor)
{
    const qsizetype low = std::min({oldCursor, oldAnchor, m_cursor, m_anchor});
    const qsizetype high = std::max({oldCursor, oldAnchor, m_cursor, m_anchor});
    updateRows(m_history->rowAt(low) - 1, m_history->rowAt(high) + 1);
}

void HistoryBox::ensureVisible(qsizetype position)
{
    if (!m_history)
        return;
    const qsizetype r = position == m_cursor ? rowOfCursor() : m_history->rowAt(position);
    QScrollBar *vertical = verticalScrollBar();
    if (r < vertical->value())
        vertical->setValue(int(r));
    else if (r >= vertical->value() + visibleRows())
        vertical->setValue(int(r - visibleRows() + 1));
    const qreal x = layout(r).lineAt(0).cursorToX(int(position - shownRow(r).start));
    if (m_widthGrew)
        updateRanges();
    QScrollBar *horizontal = horizontalScrollBar();
    const int room = viewport()->width() - 2 * Margin - 1;
    if (x < horizontal->value())
        horizontal->setValue(int(x) - room / 3);
    else if (x > horizontal->value() + room)
        horizontal->setValue(int(std::ceil(x)) - room + room / 3);
}

void HistoryBox::restartBlink()
{
    m_caretShown = true;
    const int flash = QApplication::cursorFlashTime();
    if (hasFocus() && flash > 0)
        m_blink.start(flash / 2, this);
    else
        m_blink.stop();
    if (m_history) {
        const qsizetype r = rowOfCursor();
        updateRows(r, r);
    }
}

void HistoryBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_blink.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    m_caretShown = !m_caretShown;
    const qsizetype r = rowOfCursor();
    updateRows(r, r);
}

void HistoryBox::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
    viewport()->update(); // the selection's colours follow the focus
}

void HistoryBox::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_blink.stop();
    m_mouseSelecting = false;
    viewport()->update();
}

void HistoryBox::announceCursor()
{
    if (!QAccessible::isActive())
        return;
    QAccessibleTextCursorEvent moved(this, int(m_history->toShown(m_cursor)));
    QAccessible::updateAccessibility(&moved);
    if (m_cursor != m_anchor) {
        QAccessibleTextSelectionEvent selection(
            this, int(m_history->toShown(std::min(m_cursor, m_anchor))),
            int(m_history->toShown(std::max(m_cursor, m_anchor))));
        QAccessible::updateAccessibility(&selection);
    }
}

// Keys

bool HistoryBox::moveKey(QKeyEvent *event)
{
    struct KeyMove
    {
        QKeySequence::StandardKey key;
        Move move;
        bool select;
    };
    static const KeyMove moves[] = {
        {QKeySequence::MoveToNextChar, Move::Right, false},
        {QKeySequence::MoveToPreviousChar, Move::Left, false},
        {QKeySequence::MoveToNextWord, Move::WordRight, false},
        {QKeySequence::MoveToPreviousWord, Move::WordLeft, false},
        {QKeySequence::MoveToNextLine, Move::Down, false},
        {QKeySequence::MoveToPreviousLine, Move::Up, false},
        {QKeySequence::MoveToNextPage, Move::PageDown, false},
        {QKeySequence::MoveToPreviousPage, Move::PageUp, false},
        {QKeySequence::MoveToStartOfLine, Move::RowStart, false},
        {QKeySequence::MoveToEndOfLine, Move::RowEnd, false},
        {QKeySequence::MoveToStartOfBlock, Move::RowStart, false},
        {QKeySequence::MoveToEndOfBlock, Move::RowEnd, false},
        {QKeySequence::MoveToStartOfDocument, Move::Start, false},
        {QKeySequence::MoveToEndOfDocument, Move::End, false},
        {QKeySequence::SelectNextChar, Move::Right, true},
        {QKeySequence::SelectPreviousChar, Move::Left, true},
        {QKeySequence::SelectNextWord, Move::WordRight, true},
        {QKeySequence::SelectPreviousWord, Move::WordLeft, true},
        {QKeySequence::SelectNextLine, Move::Down, true},
        {QKeySequence::SelectPreviousLine, Move::Up, true},
        {QKeySequence::SelectNextPage, Move::PageDown, true},
        {QKeySequence::SelectPreviousPage, Move::PageUp, true},
        {QKeySequence::SelectStartOfLine, Move::RowStart, true},
        {QKeySequence::SelectEndOfLine, Move::RowEnd, true},
        {QKeySequence::SelectStartOfBlock, Move::RowStart, true},
        {QKeySequence::SelectEndOfBlock, Move::RowEnd, true},
        {QKeySequence::SelectStartOfDocument, Move::Start, true},
        {QKeySequence::SelectEndOfDocument, Move::End, true},
    };
    for (const KeyMove &m : moves) {
        if (!event->matches(m.key))
            continue;
        const bool vertical = m.move == Move::Up || m.move == Move::Down || m.move == Move::PageUp
                              || m.move == Move::PageDown;
        if (vertical && m_preferredX < 0)
            m_preferredX = cursorX();
        else if (!vertical)
            m_preferredX = -1;
        // Without Shift, Left and Right from a selection go to its edge.
        if (!m.select && m_cursor != m_anchor && (m.move == Move::Left || m.move == Move::Right)) {
            moveCursor(m.move == Move::Left ? std::min(m_cursor, m_anchor)
                                            : std::max(m_cursor, m_anchor),
                       false);
            return true;
        }
        if (m.move == Move::PageUp || m.move == Move::PageDown)
            verticalScrollBar()->triggerAction(m.move == Move::PageUp
                                                   ? QAbstractSlider::SliderPageStepSub
                                                   : QAbstractSlider::SliderPageStepAdd);
        const Place to = target(m.move);
        moveCursor(to.position, m.select, to.atRowEnd);
        if (m.select)
            setSelectionClipboard();
        return true;
    }
    return false;
}

bool HistoryBox::editKey(QKeyEvent *event)
{
    const qsizetype selStart = std::min(m_cursor, m_anchor);
    const qsizetype selEnd = std::max(m_cursor, m_anchor);
    const bool selection = selStart != selEnd;
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::Cut)) {
        cut();
    } else if (event->matches(QKeySequence::Paste)) {
        paste();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::DeleteStartOfWord)) {
        replace(selection ? selStart : target(Move::WordLeft).position, selEnd, {});
    } else if (event->matches(QKeySequence::DeleteEndOfWord)) {
        replace(selStart, selection ? selEnd : target(Move::WordRight).position, {});
    } else if (event->key() == Qt::Key_Backspace
               && !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        replace(selection ? selStart : target(Move::Left).position, selEnd, {});
    } else if (event->matches(QKeySequence::Delete)) {
        replace(selStart, selection ? selEnd : target(Move::Right).position, {});
    } else if (event->matches(QKeySequence::InsertParagraphSeparator)
               || event->matches(QKeySequence::InsertLineSeparator)) {
        insertTyped(QStringLiteral("\n"));
    } else {
        const QString text = event->text();
        if (text.isEmpty() || !text.front().isPrint()
            || (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
            return false;
        insertTyped(text);
    }
    return true;
}

void HistoryBox::keyPressEvent(QKeyEvent *event)
{
    if (!m_history) {
        event->ignore();
        return;
    }
    // Whatever arrived before the key is on screen before the key is handled.
    flush();
    if (moveKey(event) || editKey(event))
        event->accept();
    else
        QAbstractScrollArea::keyPressEvent(event);
}

bool HistoryBox::event(QEvent *event)
{
    // Keys this box handles are not shortcuts of the window while it has the focus.
    if (event->type() == QEvent::ShortcutOverride) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Paste)
            || key->matches(QKeySequence::Cut) || key->matches(QKeySequence::SelectAll)
            || (!key->text().isEmpty() && key->text().front().isPrint()
                && !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

// Edits

void HistoryBox::insertTyped(const QString &typed)
{
    replace(std::min(m_cursor, m_anchor), std::max(m_cursor, m_anchor), typed);
}

void HistoryBox::replace(qsizetype from, qsizetype to, const QString &typed)
{
    if (!m_history)
        return;
    flush();
    from = std::clamp<qsizetype>(from, 0, m_history->size());
    to = std::clamp<qsizetype>(to, from, m_history->size());
    const QString inserted = asHistory(typed);
    if (from == to && inserted.isEmpty())
        return;
    const bool accessible = QAccessible::isActive();
    const qsizetype shownFrom = m_history->toShown(from);
    const QString removedShown = accessible ? m_history->shownText(from, to) : QString();
    Q_EMIT edited(from, to - from, inserted);
    m_knownSize = m_history->size();
    m_layouts.clear();
    m_preferredX = -1;
    m_cursor = m_anchor = std::clamp<qsizetype>(from + inserted.size(), 0, m_knownSize);
    m_atRowEnd = false;
    updateRanges();
    ensureVisible(m_cursor);
    restartBlink();
    viewport()->update();
    if (accessible) {
        QAccessibleTextUpdateEvent changed(this, int(shownFrom), removedShown,
                                           m_history->shownText(from, m_cursor));
        QAccessible::updateAccessibility(&changed);
        announceCursor();
    }
}

QString HistoryBox::selectedText() const
{
    return m_history
               ? m_history->shownText(std::min(m_cursor, m_anchor), std::max(m_cursor, m_anchor))
               : QString();
}

void HistoryBox::copy() const
{
    if (m_cursor != m_anchor)
        QGuiApplication::clipboard()->setText(selectedText());
}

void HistoryBox::cut()
{
    copy();
    insertTyped({});
}

void HistoryBox::paste()
{
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty())
        insertTyped(text);
}

void HistoryBox::selectAll()
{
    if (!m_history)
        return;
    flush();
    m_anchor = 0;
    m_cursor = m_history->size();
    m_atRowEnd = false;
    viewport()->update();
    announceCursor();
    setSelectionClipboard();
}

void HistoryBox::setSelectionClipboard() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (clipboard->supportsSelection() && m_cursor != m_anchor)
        clipboard->setText(selectedText(), QClipboard::Selection);
}

// The pointer

HistoryBox::Place HistoryBox::placeAt(const QPointF &point) const
{
    const qsizetype r = std::clamp<qsizetype>(
        verticalScrollBar()->value() + qsizetype(std::floor((point.y() - Margin) / m_rowHeight)), 0,
        shownRows() - 1);
    const HistoryText::Row row = shownRow(r);
    const qsizetype column = layout(r).lineAt(0).xToCursor(point.x() - contentX());
    return {row.start + column, column == row.length && !row.lastOfLine};
}

qsizetype HistoryBox::positionAt(const QPoint &viewportPoint) const
{
    return m_history ? placeAt(viewportPoint).position : 0;
}

QRect HistoryBox::characterRect(qsizetype position) const
{
    if (!m_history || position < 0 || position > m_history->size())
        return {};
    const qsizetype r = m_history->rowAt(position);
    const qsizetype top = verticalScrollBar()->value();
    if (r < top || r > top + visibleRows())
        return {};
    const HistoryText::Row row = shownRow(r);
    const QTextLine line = layout(r).lineAt(0);
    const qsizetype column = position - row.start;
    const qreal x = line.cursorToX(int(column));
    const qreal next = column < row.length ? line.cursorToX(int(column + 1))
                                           : x + fontMetrics().horizontalAdvance(u' ');
    return QRectF(contentX() + x, rowTop(r), next - x, m_rowHeight).toAlignedRect();
}

void HistoryBox::mousePressEvent(QMouseEvent *event)
{
    if (!m_history)
        return;
    flush();
    const Place place = placeAt(event->position());
    m_preferredX = -1;
    if (event->button() == Qt::LeftButton) {
        moveCursor(place.position, event->modifiers() & Qt::ShiftModifier, place.atRowEnd);
        m_mouseSelecting = true;
    } else if (event->button() == Qt::MiddleButton
               && QGuiApplication::clipboard()->supportsSelection()) {
        // Pasting the selection with the middle button, as X11 programs do.
        const QString text = QGuiApplication::clipboard()->text(QClipboard::Selection);
        moveCursor(place.position, false, place.atRowEnd);
        if (!text.isEmpty())
            insertTyped(text);
    }
    event->accept();
}

void HistoryBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_history || !m_mouseSelecting || !(event->buttons() & Qt::LeftButton))
        return;
    const Place place = placeAt(event->position());
    moveCursor(place.position, true, place.atRowEnd);
}

void HistoryBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_mouseSelecting && event->button() == Qt::LeftButton) {
        m_mouseSelecting = false;
        setSelectionClipboard();
    }
}

void HistoryBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (!m_history || event->button() != Qt::LeftButton)
        return;
    // Selects the word under the pointer, or the one character that is not part of a word.
    const qsizetype at = placeAt(event->position()).position;
    const qsizetype line = m_history->lineAt(at);
    const qsizetype lineStart = m_history->lineStart(line);
    const qsizetype lineEnd = lineStart + m_history->lineLength(line);
    const QString &text = m_history->text();
    qsizetype start = at;
    qsizetype end = at;
    while (start > lineStart && isWordChar(text[start - 1]))
        --start;
    while (end < lineEnd && isWordChar(text[end]))
        ++end;
    if (start == end && end < lineEnd)
        ++end;
    m_anchor = start;
    moveCursor(end, true);
    m_mouseSelecting = false;
    setSelectionClipboard();
}

void HistoryBox::contextMenuEvent(QContextMenuEvent *event)
{
    if (!m_history)
        return;
    flush();
    const bool selection = m_cursor != m_anchor;
    QMenu menu(this);
    menu.addAction(tr("Cu&t"), QKeySequence::Cut, this, &HistoryBox::cut)->setEnabled(selection);
    menu.addAction(tr("&Copy"), QKeySequence::Copy, this, &HistoryBox::copy)->setEnabled(selection);
    menu.addAction(tr("&Paste"), QKeySequence::Paste, this, &HistoryBox::paste)
        ->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
    menu.addAction(tr("Delete"), this, [this] { insertTyped({}); })->setEnabled(selection);
    menu.addSeparator();
    menu.addAction(tr("Select All"), QKeySequence::SelectAll, this, &HistoryBox::selectAll)
        ->setEnabled(!m_history->isEmpty());
    menu.exec(event->globalPos());
}

// Input methods

void HistoryBox::inputMethodEvent(QInputMethodEvent *event)
{
    if (!m_history) {
        event->ignore();
        return;
    }
    flush();
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        qsizetype from = std::min(m_cursor, m_anchor);
        qsizetype to = std::max(m_cursor, m_anchor);
        if (event->replacementLength() > 0) {
            // Relative to the cursor, within its row.
            const HistoryText::Row row = shownRow(rowOfCursor());
            from = std::clamp<qsizetype>(m_cursor + event->replacementStart(), row.start,
                                         row.start + row.length);
            to = std::clamp<qsizetype>(from + event->replacementLength(), from,
                                       row.start + row.length);
        }
        replace(from, to, event->commitString());
    }
    m_preedit = event->preeditString();
    m_preeditCursor = int(m_preedit.size());
    for (const QInputMethodEvent::Attribute &a : event->attributes()) {
        if (a.type == QInputMethodEvent::Cursor)
            m_preeditCursor = a.start;
    }
    const qsizetype r = rowOfCursor();
    updateRows(r, r);
    event->accept();
}

QVariant HistoryBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    if (!m_history)
        return QAbstractScrollArea::inputMethodQuery(query);
    // The text around the cursor is its row.
    const HistoryText::Row row = shownRow(rowOfCursor());
    const auto rowText = [&](qsizetype from, qsizetype to) {
        return ControlPictures::toVisible(QStringView(m_history->text()).sliced(from, to - from));
    };
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImCursorRectangle: {
        const qreal x = cursorX();
        return QRectF(contentX() + x, rowTop(rowOfCursor()), 1, m_rowHeight)
            .toAlignedRect()
            .translated(viewport()->pos());
    }
    case Qt::ImFont:
        return font();
    case Qt::ImCursorPosition:
        return int(m_cursor - row.start);
    case Qt::ImAnchorPosition:
        return int(std::clamp<qsizetype>(m_anchor, row.start, row.start + row.length) - row.start);
    case Qt::ImSurroundingText:
        return rowText(row.start, row.start + row.length);
    case Qt::ImCurrentSelection:
        return rowText(
            std::clamp<qsizetype>(std::min(m_cursor, m_anchor), row.start, row.start + row.length),
            std::clamp<qsizetype>(std::max(m_cursor, m_anchor), row.start, row.start + row.length));
    case Qt::ImTextBeforeCursor:
        return rowText(row.start, m_cursor);
    case Qt::ImTextAfterCursor:
        return rowText(m_cursor, row.start + row.length);
    case Qt::ImAbsolutePosition:
        return m_history->toShown(m_cursor);
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}
