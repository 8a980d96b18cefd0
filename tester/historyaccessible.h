#pragma once

#include <QAccessibleWidget>

class HistoryBox;

// What a screen reader is told of the history: its text as shown (control characters as
// pictures, a line break as '\n'), the cursor and the selection, and edits made through it.
// Every answer reads only the part of the history asked about, however long it is.
class HistoryAccessible : public QAccessibleWidget,
                          public QAccessibleTextInterface,
                          public QAccessibleEditableTextInterface
{
public:
    explicit HistoryAccessible(HistoryBox *box);
    // Makes every HistoryBox answer through this class.
    static void install();

    void *interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                             int *startOffset, int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                            int *startOffset, int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

    void deleteText(int startOffset, int endOffset) override;
    void insertText(int offset, const QString &text) override;
    void replaceText(int startOffset, int endOffset, const QString &text) override;

    using QAccessibleWidget::text;

private:
    HistoryBox *box() const;
    // Where a question about `offset` is answered: the row for characters, words and lines,
    // the line for sentences and paragraphs, everything otherwise. In shown offsets.
    std::pair<int, int> span(int offset, QAccessible::TextBoundaryType boundaryType) const;
    template<typename Ask>
    QString inSpan(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                   int *endOffset, Ask ask) const;
};
