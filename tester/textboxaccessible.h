#pragma once

#include <QAccessibleWidget>

class TextBox;

// What screen readers are given of the barcode box: an editable line of text holding the box's
// first AccessibleChars characters as shown, with the cursor and the selection within them. A
// barcode of millions of characters is more than a screen reader can take in; one of a scanner
// is a few dozen.
class TextBoxAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    static constexpr qsizetype AccessibleChars = 4096;

    explicit TextBoxAccessible(TextBox *box);
    // For QAccessible::installFactory().
    static QAccessibleInterface *create(const QString &className, QObject *object);

    // Tell screen readers, while one is listening, that the text is no longer `spoken` (which
    // becomes what it is now), or that the cursor or the selection moved.
    static void textChanged(TextBox *box, QString &spoken);
    static void cursorMoved(TextBox *box);

    void *interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text kind) const override;
    QAccessible::State state() const override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

private:
    TextBox *box() const;
    static int bounded(qsizetype position);
};
