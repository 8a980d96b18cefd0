#pragma once

#include <QBasicTimer>
#include <QClipboard>
#include <QWidget>

#include <algorithm>
#include <vector>

class QStyleOptionFrame;
class QTextLayout;

// The single-line box of the current barcode, drawn and edited as a line edit: the style's
// line-edit panel, a blinking cursor, selection by mouse and Shift with the cursor keys, word
// moves, copy, cut, paste, undo and a context menu; Tab focus selects all.
//
// It is a view of a text kept elsewhere (the logic's current barcode), which it reads where it
// is and never copies: the cursor, the selection's anchor and the first character in view
// are positions in that text. Only what is in view is laid out (a slice of the text from the
// first character in view, control characters as pictures), so a barcode of ten million
// characters costs what a short one does, to show, scroll through and type into. What the user
// types goes back as edits (edited()), which the owner applies to the text before the signal
// returns. A new text is shown from its first character at the next flush(), which comes
// before the user's next input is handled, so an edit always applies to the text on screen.
//
// The clipboard gets characters as they are shown, control characters as their pictures; text
// is not dragged or dropped. Screen readers are given the first AccessibleChars characters
// (textboxaccessible.h).
class TextBox : public QWidget
{
    Q_OBJECT

public:
    // Shows `text`, which must outlive the box.
    explicit TextBox(const QString *text, QWidget *parent = nullptr);
    ~TextBox() override;

    // The text changed: it is shown anew, from its first character, at the next flush().
    void showLater();
    void flush();

    // The text as shown: one character for each of the text's, control characters as pictures.
    QString text() const;
    QString text(qsizetype from, qsizetype count) const;
    qsizetype textSize() const { return m_text->size(); }

    qsizetype cursorPosition() const { return m_cursor; }
    void setCursorPosition(qsizetype position);
    // Selects from `anchor` to `position`, where the cursor goes.
    void setSelection(qsizetype anchor, qsizetype position);
    qsizetype selectionStart() const { return std::min(m_anchor, m_cursor); }
    qsizetype selectionEnd() const { return std::max(m_anchor, m_cursor); }
    bool hasSelectedText() const { return m_anchor != m_cursor; }
    // Where the character at `position` is drawn, in the box's coordinates; empty when it is
    // out of view.
    QRect characterRect(qsizetype position) const;
    // The position nearest to `point`, in the box's coordinates.
    qsizetype positionAt(QPoint point) const;

    void selectAll();
    void deselect();
    void copy() const;
    void cut();
    void paste();
    void undo();
    void redo();

Q_SIGNALS:
    // The user replaced `removed` characters at `position` with `inserted`; the text must hold
    // the change when the signal returns.
    void edited(qsizetype position, qsizetype removed, const QString &inserted);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

private:
    // One change of the text: `removed` (as it was) at `position` became `inserted`.
    struct Edit
    {
        qsizetype position;
        QString removed;
        QString inserted;
    };

    void showText();
    // Replaces the selection with `inserted`, as typing does.
    void insert(const QString &inserted);
    void replace(qsizetype position, qsizetype removed, const QString &inserted);
    void apply(const Edit &edit, std::vector<Edit> &done, bool selectInserted);
    bool moveKey(QKeyEvent *event);
    bool editKey(QKeyEvent *event);
    // Puts the cursor (and with `select` false, the anchor) at `position`.
    void moveCursor(qsizetype position, bool select = false);
    void changed();
    void restartBlink();
    void copyTo(QClipboard::Mode mode) const;
    qsizetype nextChar(qsizetype position) const;
    qsizetype previousChar(qsizetype position) const;
    qsizetype nextWord(qsizetype position) const;
    qsizetype previousWord(qsizetype position) const;

    // Drawing: textboxview.cpp.
    void initStyleOption(QStyleOptionFrame *option) const;
    QRect lineRect() const;
    // Where the cursor is drawn.
    QRect cursorRect() const;
    int cursorWidth() const;
    // Where `position` is in a layout from the first character in view.
    int layoutIndex(qsizetype position) const;
    // Lays out the text from `from` on, until it reaches past `width` pixels or the end.
    void layOut(QTextLayout &layout, qsizetype from, qreal width) const;
    // The first character to show for the text before `position` to fill the view.
    qsizetype firstToShowBefore(qsizetype position) const;
    void ensureCursorVisible();

    QStringView raw() const { return *m_text; }

    const QString *m_text;
    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    qsizetype m_first = 0; // the first character in view
    QString m_preedit;     // what an input method is composing, at the cursor
    std::vector<Edit> m_undo;
    std::vector<Edit> m_redo;
    QBasicTimer m_blink;
    bool m_cursorOn = false;
    bool m_hasLater = false;
    bool m_selecting = false; // the mouse is selecting
    QString m_spoken;         // what screen readers were last told the text is
};
