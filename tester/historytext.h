#pragma once

#include <QString>
#include <QStringView>

#include <vector>

// The received history's text, the one copy of it, with an index of where its lines start so
// that a view can find any row without reading the text. A line ends at CR LF; any other CR or
// LF is a character of the line. A line longer than RowChars is shown in rows of that many
// characters; rows are worked out from the lines' lengths and stand for nothing in the text.
//
// The index costs 8 bytes a line and 16 a long line, so a history of 14-character barcodes
// costs under 3 bytes a received character in all.
class HistoryText
{
public:
    static constexpr qsizetype RowChars = 1024;

    struct Row
    {
        qsizetype line = 0;
        qsizetype start = 0;  // position in the text of its first character
        qsizetype length = 0; // characters, without the line's CR LF
        bool lastOfLine = true;
    };

    HistoryText();

    const QString &text() const { return m_text; }
    qsizetype size() const { return m_text.size(); }
    bool isEmpty() const { return m_text.isEmpty(); }

    void append(QStringView chars);
    // Replaces `removed` characters at `position` (both kept within the text) by `inserted`.
    void replace(qsizetype position, qsizetype removed, QStringView inserted);
    void clear();

    qsizetype lineCount() const { return qsizetype(m_lineStarts.size()); }
    qsizetype lineStart(qsizetype line) const { return m_lineStarts[size_t(line)]; }
    // Characters of the line, without its CR LF.
    qsizetype lineLength(qsizetype line) const;
    qsizetype lineAt(qsizetype position) const;

    qsizetype rowCount() const { return lineCount() + m_extraRows; }
    // The rows that show the text's first `position` characters.
    qsizetype rowsUpTo(qsizetype position) const;
    Row row(qsizetype index) const;
    // The row showing `position`: one at a row break is at the start of the next row, but the
    // end of a line is at the end of its last row.
    qsizetype rowAt(qsizetype position) const;
    // The most characters any row has held since the last clear().
    qsizetype longestRow() const { return m_longestRow; }

    // Positions on screen, where a line break is one character: what a screen reader and the
    // clipboard are given.
    qsizetype shownSize() const { return size() - (lineCount() - 1); }
    qsizetype toShown(qsizetype position) const { return position - lineAt(position); }
    qsizetype fromShown(qsizetype shown) const;
    // The text of [from, to) as shown: control characters as pictures, CR LF as '\n'.
    QString shownText(qsizetype from, qsizetype to) const;

private:
    // A line of more than one row.
    struct LongLine
    {
        qsizetype line;
        qsizetype extraBefore; // rows beyond their first of the long lines before this one
        qsizetype extra;       // its rows beyond the first
        qsizetype firstRow() const { return line + extraBefore; }
    };

    static qsizetype rowsOf(qsizetype length)
    {
        return length > RowChars ? (length - 1) / RowChars + 1 : 1;
    }
    qsizetype firstRowOf(qsizetype line) const;
    // Notes the length of `line`, the last line or one that was just added after the last
    // long line.
    void noteLastLine(qsizetype line);

    QString m_text;
    std::vector<qsizetype> m_lineStarts;
    std::vector<LongLine> m_longLines; // by line
    qsizetype m_extraRows = 0;
    qsizetype m_longestRow = 0;
};
