#pragma once

#include "historytext.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>

#include <memory>
#include <vector>

class QTextLayout;

// Draws the history of everything received, and hands what the user types back as edits of
// the history's text. It keeps no text of its own: it reads the history's one store, and lays
// out and draws only the rows in view, so that its cost does not grow with the history.
//
// Text that arrived reaches the screen at the next flush(), once per frame; before the user's
// key press, click or paste is handled, whatever arrived before it is put on screen, so typing
// lands after it. A cursor at the end stays at the end as text arrives. On screen a completed
// line ends in a line break, which is CR LF in the text and one step of the cursor; control
// characters are shown as pictures. A long line is shown in rows of HistoryText::RowChars.
class HistoryBox : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit HistoryBox(QWidget *parent = nullptr);
    ~HistoryBox() override;

    // The text shown. Changes to it other than the user's are appends, shown at flush(), and
    // clearing, shown at once with reset().
    void setHistory(const HistoryText *history);
    const HistoryText &history() const { return *m_history; }
    void flush();
    void reset();

    // Positions in the history's text.
    qsizetype cursorPosition() const { return m_cursor; }
    qsizetype anchorPosition() const { return m_anchor; }
    void setSelection(qsizetype anchor, qsizetype position);
    // Replaces [from, to) of the history's text by `typed` (a line break as '\n'), as the
    // user's edit.
    void replace(qsizetype from, qsizetype to, const QString &typed);
    // Where `position` is drawn, in the viewport; empty when not in view.
    QRect characterRect(qsizetype position) const;
    qsizetype positionAt(const QPoint &viewportPoint) const;
    void ensureVisible(qsizetype position);

    void copy() const;
    void cut();
    void paste();
    void selectAll();

Q_SIGNALS:
    // The user replaced `removed` characters of the history's text at `position` with
    // `inserted` (a line break as CR LF).
    void edited(qsizetype position, qsizetype removed, const QString &inserted);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent *event) override;
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
    bool event(QEvent *event) override;

private:
    enum class Move {
        Left,
        Right,
        WordLeft,
        WordRight,
        Up,
        Down,
        PageUp,
        PageDown,
        RowStart,
        RowEnd,
        Start,
        End
    };
    struct CachedRow;
    // A place for the cursor: a position, and at a row break which row shows it.
    struct Place
    {
        qsizetype position = 0;
        bool atRowEnd = false;
    };

    bool moveKey(QKeyEvent *event);
    bool editKey(QKeyEvent *event);
    Place target(Move move) const;
    Place placeAt(const QPointF &viewportPoint) const;
    void moveCursor(qsizetype position, bool select, bool atRowEnd = false);
    void insertTyped(const QString &typed);
    qsizetype shownRows() const;
    HistoryText::Row shownRow(qsizetype index) const;
    qsizetype rowOfCursor() const;
    qreal cursorX() const;
    QTextLayout &layout(qsizetype row) const;
    int rowTop(qsizetype row) const;
    int visibleRows() const;
    int contentX() const;
    void updateRanges();
    void updateRows(qsizetype from, qsizetype to);
    void updateSelectionChange(qsizetype oldCursor, qsizetype oldAnchor);
    void restartBlink();
    void announceCursor();
    QString selectedText() const;
    void setSelectionClipboard() const;

    const HistoryText *m_history = nullptr;
    qsizetype m_knownSize = 0; // of the text on screen
    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    // At a row break, the cursor is drawn at the end of the row before rather than the start of
    // the next one (after End, say).
    bool m_atRowEnd = false;
    qreal m_preferredX = -1; // kept while moving up and down
    QString m_preedit;
    int m_preeditCursor = 0;
    bool m_caretShown = true;
    QBasicTimer m_blink;
    bool m_mouseSelecting = false;
    int m_rowHeight = 1;
    mutable qreal m_widest = 0; // pixels, the widest row seen since the text was cleared
    mutable bool m_widthGrew = false;
    qsizetype m_measuredLongest = 0;
    mutable std::vector<std::unique_ptr<CachedRow>> m_layouts;
    mutable quint64 m_paints = 0;
};
