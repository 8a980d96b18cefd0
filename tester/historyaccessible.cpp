#include "historyaccessible.h"

#include "historybox.h"
#include "historytext.h"

#include <QScrollBar>

namespace {

// A piece of the history's shown text, for Qt's own reading of characters, words and lines.
class Piece : public QAccessibleTextInterface
{
public:
    explicit Piece(QString text)
        : m_text(std::move(text))
    {}
    void selection(int, int *start, int *end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override { return m_text.mid(start, end - start); }
    int characterCount() const override { return int(m_text.size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int *start, int *end) const override
    {
        *start = *end = 0;
        return {};
    }

private:
    QString m_text;
};

QAccessibleInterface *historyFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("HistoryBox") && object && object->isWidgetType())
        return new HistoryAccessible(static_cast<HistoryBox *>(object));
    return nullptr;
}

} // namespace

HistoryAccessible::HistoryAccessible(HistoryBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{}

void HistoryAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(historyFactory);
        return true;
    }();
    Q_UNUSED(installed)
}

HistoryBox *HistoryAccessible::box() const
{
    return static_cast<HistoryBox *>(widget());
}

void *HistoryAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    if (type == QAccessible::EditableTextInterface)
        return static_cast<QAccessibleEditableTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State HistoryAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.editable = true;
    s.multiLine = true;
    s.selectableText = true;
    s.focusable = true;
    return s;
}

void HistoryAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    const HistoryBox *b = box();
    if (selectionIndex != 0 || b->cursorPosition() == b->anchorPosition())
        return;
    const HistoryText &h = b->history();
    *startOffset = int(h.toShown(std::min(b->cursorPosition(), b->anchorPosition())));
    *endOffset = int(h.toShown(std::max(b->cursorPosition(), b->anchorPosition())));
}

int HistoryAccessible::selectionCount() const
{
    return box()->cursorPosition() != box()->anchorPosition() ? 1 : 0;
}

void HistoryAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void HistoryAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        box()->setSelection(box()->cursorPosition(), box()->cursorPosition());
}

void HistoryAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex != 0)
        return;
    const HistoryText &h = box()->history();
    box()->setSelection(h.fromShown(startOffset), h.fromShown(endOffset));
}

int HistoryAccessible::cursorPosition() const
{
    return int(box()->history().toShown(box()->cursorPosition()));
}

void HistoryAccessible::setCursorPosition(int position)
{
    const qsizetype at = box()->history().fromShown(position);
    box()->setSelection(at, at);
}

QString HistoryAccessible::text(int startOffset, int endOffset) const
{
    const HistoryText &h = box()->history();
    return h.shownText(h.fromShown(startOffset), h.fromShown(endOffset));
}

int HistoryAccessible::characterCount() const
{
    return int(box()->history().shownSize());
}

std::pair<int, int> HistoryAccessible::span(int offset,
                                            QAccessible::TextBoundaryType boundaryType) const
{
    const HistoryText &h = box()->history();
    const qsizetype at = h.fromShown(std::clamp<qsizetype>(offset, 0, h.shownSize()));
    switch (boundaryType) {
    case QAccessible::CharBoundary:
    case QAccessible::WordBoundary:
    case QAccessible::LineBoundary: {
        const HistoryText::Row row = h.row(h.rowAt(at));
        // With its line break, so that the next row's start is found after it.
        const qsizetype end = row.start + row.length + (row.lastOfLine ? 2 : 0);
        return {int(h.toShown(row.start)), int(h.toShown(std::min(end, h.size())))};
    }
    case QAccessible::SentenceBoundary:
    case QAccessible::ParagraphBoundary: {
        const qsizetype line = h.lineAt(at);
        const qsizetype end = h.lineStart(line) + h.lineLength(line) + 2;
        return {int(h.toShown(h.lineStart(line))), int(h.toShown(std::min(end, h.size())))};
    }
    case QAccessible::NoBoundary:
        break;
    }
    return {0, int(h.shownSize())};
}

template<typename Ask>
QString HistoryAccessible::inSpan(int offset, QAccessible::TextBoundaryType boundaryType,
                                  int *startOffset, int *endOffset, Ask ask) const
{
    const auto [from, to] = span(offset, boundaryType);
    const Piece piece(text(from, to));
    const QString found = ask(piece, offset - from);
    if (*startOffset >= 0)
        *startOffset += from;
    if (*endOffset >= 0)
        *endOffset += from;
    return found;
}

QString HistoryAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    // What comes before the span's start is in the span before.
    const int from = span(offset, boundaryType).first;
    if (offset == from && from > 0 && boundaryType != QAccessible::NoBoundary)
        return textAtOffset(from - 1, boundaryType, startOffset, endOffset);
    return inSpan(offset, boundaryType, startOffset, endOffset, [&](const Piece &p, int at) {
        return p.textBeforeOffset(at, boundaryType, startOffset, endOffset);
    });
}

QString HistoryAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                           int *startOffset, int *endOffset) const
{
    const int to = span(offset, boundaryType).second;
    const QString after
        = inSpan(offset, boundaryType, startOffset, endOffset, [&](const Piece &p, int at) {
              return p.textAfterOffset(at, boundaryType, startOffset, endOffset);
          });
    if (after.isEmpty() && to < characterCount() && boundaryType != QAccessible::NoBoundary)
        return textAtOffset(to, boundaryType, startOffset, endOffset);
    return after;
}

QString HistoryAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                        int *startOffset, int *endOffset) const
{
    return inSpan(offset, boundaryType, startOffset, endOffset, [&](const Piece &p, int at) {
        return p.textAtOffset(at, boundaryType, startOffset, endOffset);
    });
}

QRect HistoryAccessible::characterRect(int offset) const
{
    const QRect r = box()->characterRect(box()->history().fromShown(offset));
    if (r.isEmpty())
        return {};
    const QWidget *viewport = box()->viewport();
    return QRect(viewport->mapToGlobal(r.topLeft()), r.size());
}

int HistoryAccessible::offsetAtPoint(const QPoint &point) const
{
    const QWidget *viewport = box()->viewport();
    const QPoint local = viewport->mapFromGlobal(point);
    if (!viewport->rect().contains(local))
        return -1;
    return int(box()->history().toShown(box()->positionAt(local)));
}

void HistoryAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    const HistoryText &h = box()->history();
    box()->ensureVisible(h.fromShown(endIndex));
    box()->ensureVisible(h.fromShown(startIndex));
}

QString HistoryAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    // One look throughout.
    Q_UNUSED(offset)
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}

void HistoryAccessible::deleteText(int startOffset, int endOffset)
{
    replaceText(startOffset, endOffset, {});
}

void HistoryAccessible::insertText(int offset, const QString &text)
{
    replaceText(offset, offset, text);
}

void HistoryAccessible::replaceText(int startOffset, int endOffset, const QString &text)
{
    const HistoryText &h = box()->history();
    box()->replace(h.fromShown(startOffset), h.fromShown(endOffset), text);
}
