#pragma once

#include <QPlainTextEdit>
#include <QTimer>

// The multi-line history of everything received. Received text is appended at the end;
// appends are coalesced and reach the screen once per frame, while Text() always gives the
// exact current history: whatever the user typed, then the received characters, with each
// completed line ended by CR LF. Control characters are shown as their pictures.
class HistoryBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit HistoryBox(QWidget *parent = nullptr);

    QString Text();
    void setText(const QString &raw);
    // Appends received characters, shown as they are (control characters as pictures).
    void appendReceived(QStringView raw);
    // Appends a real line break, read back as CR LF.
    void appendLineBreak();
    // Puts pending appends on screen now.
    void flush();

private:
    void schedule();

    QString m_pending; // on-screen form of appends not yet in the document
    QTimer m_flushTimer;
};
