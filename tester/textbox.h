#pragma once

#include <QLineEdit>

// The single-line box of the current barcode. It draws a text (control characters as
// pictures) from its first character, and hands what the user types back as edits.
class TextBox : public QLineEdit
{
    Q_OBJECT

public:
    explicit TextBox(QWidget *parent = nullptr);

    // Shows `raw` anew, scrolled to its beginning; the rest stays reachable by scrolling.
    void showText(QStringView raw);

Q_SIGNALS:
    // The user replaced `removed` characters at `position` with `inserted`.
    void edited(qsizetype position, qsizetype removed, const QString &inserted);

private:
    void userEdited(const QString &text);

    QString m_shown;
};
