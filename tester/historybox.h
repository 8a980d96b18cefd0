#pragma once

#include <QPlainTextEdit>

// Draws the history of everything received, and hands what the user types back as edits of
// the history's text. Received text is appended at the end and reaches the screen at the next
// flush(), once per frame; before the user's key press, paste or drop is handled, whatever was
// received before it is put on screen, so typing lands after it. On screen a completed line ends in
// a line break; in the history's text that is CR LF. Control characters are shown as pictures.
// A long line is shown in rows (see HistoryRows), whose breaks stand for nothing in the text.
class HistoryBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit HistoryBox(QWidget *parent = nullptr);

    void appendReceived(QStringView chars, bool lineBreak);
    // Shows `text` in place of everything, each CR LF as a line break.
    void showAll(QStringView text);
    // Puts pending appends on screen now.
    void flush();
    // Breaks between the rows of long lines: characters of the document that stand for
    // nothing in the history's text.
    qsizetype rowBreaks() const { return m_softBreaks; }

Q_SIGNALS:
    // The user replaced `removed` characters of the history's text at `position` with
    // `inserted` (a line break as CR LF).
    void edited(qsizetype position, qsizetype removed, const QString &inserted);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;
    QMimeData *createMimeDataFromSelection() const override;

private:
    void documentChanged(int position, int removed, int added);
    qsizetype textLength() const;

    QString m_pending;       // on-screen form of appends not yet in the document
    bool m_updating = false; // the document changes by our hand, not the user's
    qsizetype m_softBreaks = 0;
    qsizetype m_textLength = 0; // of the history's text the document shows
};
