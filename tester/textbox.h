#pragma once

#include <QColor>
#include <QLineEdit>

// A single-line text box. Text() and setText() work on the original characters; control
// characters are shown as their pictures.
class TextBox : public QLineEdit
{
    Q_OBJECT

public:
    explicit TextBox(QWidget *parent = nullptr);

    QString Text() const;
    void setText(const QString &raw);
    QColor BackColor() const { return m_backColor; }
    // Returns whether the colour changed.
    bool setBackColor(const QColor &color);

private:
    QColor m_backColor;
};
