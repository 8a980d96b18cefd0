#include "historytext.h"

#include "controlpictures.h"

#include <algorithm>

namespace {

bool breakAt(const QString &text, qsizetype i)
{
    return i + 1 < text.size() && text[i] == u'\r' && text[i + 1] == u'\n';
}

} // namespace

HistoryText::HistoryText()
    : m_lineStarts{0}
{}

qsizetype HistoryText::lineLength(qsizetype line) const
{
    const qsizetype end = line + 1 < lineCount() ? lineStart(line + 1) - 2 : size();
    return end - lineStart(line);
}

qsizetype HistoryText::lineAt(qsizetype position) const
{
    const auto after = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), position);
    return std::max<qsizetype>(0, after - m_lineStarts.begin() - 1);
}

void HistoryText::append(QStringView chars)
{
    if (chars.isEmpty())
        return;
    const qsizetype oldSize = size();
    const qsizetype lastLine = lineCount() - 1;
    m_text.append(chars);
    // A CR at the old end and an LF arriving make a line break too.
    for (qsizetype i = std::max<qsizetype>(0, oldSize - 1); i + 1 < size(); ++i) {
        i = m_text.indexOf(u'\r', i);
        if (i < 0)
            break;
        if (breakAt(m_text, i))
            m_lineStarts.push_back(i + 2);
    }
    for (qsizetype line = lastLine; line < lineCount(); ++line)
        noteLastLine(line);
}

void HistoryText::noteLastLine(qsizetype line)
{
    const qsizetype length = lineLength(line);
    m_longestRow = std::max(m_longestRow, std::min(length, RowChars));
    const qsizetype extra = rowsOf(length) - 1;
    if (!m_longLines.empty() && m_longLines.back().line == line) {
        m_extraRows += extra - m_longLines.back().extra;
        m_longLines.back().extra = extra;
        if (extra == 0)
            m_longLines.pop_back();
    } else if (extra > 0) {
        m_longLines.push_back({line, m_extraRows, extra});
        m_extraRows += extra;
    }
}

void HistoryText::replace(qsizetype position, qsizetype removed, QStringView inserted)
{
    if (position == size() && removed == 0) {
        append(inserted);
        return;
    }
    m_text.replace(position, removed, inserted.data(), inserted.size());
    const qsizetype delta = inserted.size() - removed;

    // Line starts up to `position` stand, and so do those after the old end of the change
    // that are not the CR LF's just after it; between them, the changed text is read again.
    auto first = std::upper_bound(m_lineStarts.begin(), m_lineStarts.end(), position);
    auto last = std::lower_bound(first, m_lineStarts.end(), position + removed + 2);
    const qsizetype changedLine = first - m_lineStarts.begin() - 1;
    const qsizetype oldLines = last - first;
    for (auto it = last; it != m_lineStarts.end(); ++it)
        *it += delta;
    std::vector<qsizetype> found;
    const qsizetype scanEnd = std::min(position + inserted.size(), size() - 1);
    for (qsizetype i = std::max<qsizetype>(0, position - 1); i < scanEnd; ++i) {
        if (breakAt(m_text, i))
            found.push_back(i + 2);
    }
    first = m_lineStarts.erase(first, last);
    m_lineStarts.insert(first, found.begin(), found.end());
    const qsizetype newLines = qsizetype(found.size());

    // The long lines: those before the change stand, those after it move by the lines added.
    const auto byLine = [](const LongLine &l, qsizetype line) {
        return l.line < line;
    };
    auto from = std::lower_bound(m_longLines.begin(), m_longLines.end(), changedLine, byLine);
    auto to = std::lower_bound(from, m_longLines.end(), changedLine + oldLines + 1, byLine);
    std::vector<LongLine> after(to, m_longLines.end());
    m_longLines.erase(from, m_longLines.end());
    m_extraRows
        = m_longLines.empty() ? 0 : m_longLines.back().extraBefore + m_longLines.back().extra;
    for (qsizetype line = changedLine; line <= changedLine + newLines; ++line) {
        const qsizetype length = lineLength(line);
        m_longestRow = std::max(m_longestRow, std::min(length, RowChars));
        if (const qsizetype extra = rowsOf(length) - 1) {
            m_longLines.push_back({line, m_extraRows, extra});
            m_extraRows += extra;
        }
    }
    for (LongLine l : after) {
        l.line += newLines - oldLines;
        l.extraBefore = m_extraRows;
        m_longLines.push_back(l);
        m_extraRows += l.extra;
    }
}

void HistoryText::clear()
{
    // Swapped out, so that the memory goes back now.
    QString().swap(m_text);
    std::vector<qsizetype>{0}.swap(m_lineStarts);
    std::vector<LongLine>().swap(m_longLines);
    m_extraRows = 0;
    m_longestRow = 0;
}

qsizetype HistoryText::firstRowOf(qsizetype line) const
{
    const auto after = std::lower_bound(m_longLines.begin(), m_longLines.end(), line,
                                        [](const LongLine &l, qsizetype n) { return l.line < n; });
    if (after == m_longLines.begin())
        return line;
    const LongLine &before = *std::prev(after);
    return line + before.extraBefore + before.extra;
}

HistoryText::Row HistoryText::row(qsizetype index) const
{
    index = std::clamp<qsizetype>(index, 0, rowCount() - 1);
    const auto after
        = std::upper_bound(m_longLines.begin(), m_longLines.end(), index,
                           [](qsizetype n, const LongLine &l) { return n < l.firstRow(); });
    qsizetype line = index;
    qsizetype inLine = 0;
    if (after != m_longLines.begin()) {
        const LongLine &l = *std::prev(after);
        if (index <= l.firstRow() + l.extra) {
            line = l.line;
            inLine = index - l.firstRow();
        } else {
            line = index - l.extraBefore - l.extra;
        }
    }
    const qsizetype length = lineLength(line);
    Row row;
    row.line = line;
    row.start = lineStart(line) + inLine * RowChars;
    row.length = std::min(RowChars, length - inLine * RowChars);
    row.lastOfLine = inLine == rowsOf(length) - 1;
    return row;
}

qsizetype HistoryText::rowAt(qsizetype position) const
{
    const qsizetype line = lineAt(position);
    const qsizetype column = position - lineStart(line);
    return firstRowOf(line) + std::min(column / RowChars, rowsOf(lineLength(line)) - 1);
}

qsizetype HistoryText::rowsUpTo(qsizetype position) const
{
    const qsizetype line = lineAt(position);
    const qsizetype column = position - lineStart(line);
    return firstRowOf(line) + (column > 0 ? (column - 1) / RowChars : 0) + 1;
}

qsizetype HistoryText::fromShown(qsizetype shown) const
{
    // The last line whose shown start, its start less the line breaks before it, is at or
    // before `shown`.
    qsizetype low = 0;
    qsizetype high = lineCount();
    while (high - low > 1) {
        const qsizetype mid = (low + high) / 2;
        if (lineStart(mid) - mid <= shown)
            low = mid;
        else
            high = mid;
    }
    return std::clamp<qsizetype>(shown + low, lineStart(low), lineStart(low) + lineLength(low));
}

QString HistoryText::shownText(qsizetype from, qsizetype to) const
{
    from = std::clamp<qsizetype>(from, 0, size());
    to = std::clamp<qsizetype>(to, from, size());
    QString shown;
    shown.reserve(to - from);
    for (qsizetype i = from; i < to; ++i) {
        if (breakAt(m_text, i)) {
            shown += u'\n';
            ++i;
        } else {
            shown += ControlPictures::toVisible(m_text[i]);
        }
    }
    return shown;
}
