#pragma once

#include <QLineEdit>

// The single-line box of the current barcode. It draws a text (control characters as
// pictures) from its first character, and hands what the user types back as edits. A text
// may be kept for the next frame; it goes on screen before the user's input is handled, so
// an edit always applies to the text the user sees.
class TextBox : public QLineEdit
{
    Q_OBJECT

public:
    explicit TextBox(QWidget *parent = nullptr);

    // Shows `raw` anew, scrolled to its beginning; the rest stays reachable by scrolling.
    void showText(QStringView raw);
    // The same at the next flush().
    void showLater(const QString &raw);
    void flush();

Q_SIGNALS:
    // The user replaced `removed` characters at `position` with `inserted`.
    void edited(qsizetype position, qsizetype removed, const QString &inserted);

protected:
    bool event(QEvent *event) override;

private:
    void userEdited(const QString &text);

    QString m_shown;
    QString m_later;
    bool m_hasLater = false;
};
