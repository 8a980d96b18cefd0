#include "historyrows.h"

#include <QList>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace HistoryRows {

namespace {

constexpr int StartsSoft = 0x1;
constexpr int EndsSoft = 0x2;

int notes(const QTextBlock &block)
{
    return qMax(0, block.userState());
}

bool endsSoft(const QTextBlock &block)
{
    return notes(block) & EndsSoft;
}

void note(QTextBlock block, bool softBefore, bool softAfter)
{
    const int state = (softBefore ? StartsSoft : 0) | (softAfter ? EndsSoft : 0);
    block.setUserState(state ? state : -1);
}

// Whether every line of `shown` fits its row, the first one into `room`.
bool fits(QStringView shown, qsizetype room)
{
    qsizetype lineStart = 0;
    for (;;) {
        const qsizetype lineEnd = shown.indexOf(u'\n', lineStart);
        const qsizetype length = (lineEnd < 0 ? shown.size() : lineEnd) - lineStart;
        if (length > room)
            return false;
        if (lineEnd < 0)
            return true;
        lineStart = lineEnd + 1;
        room = RowChars;
    }
}

void breakRow(QTextCursor &cursor)
{
    const QTextBlock before = cursor.block();
    cursor.insertBlock();
    note(before, startsSoft(before), true);
    note(cursor.block(), true, false);
}

} // namespace

bool startsSoft(const QTextBlock &block)
{
    return notes(block) & StartsSoft;
}

qsizetype append(QTextCursor &cursor, const QString &shown)
{
    qsizetype room = RowChars - (cursor.block().length() - 1);
    // Nearly always: one insertion, in which each '\n' becomes one block break.
    if (fits(shown, room)) {
        cursor.insertText(shown);
        return 0;
    }
    qsizetype made = 0;
    QStringView rest(shown);
    for (;;) {
        const qsizetype lineEnd = rest.indexOf(u'\n');
        QStringView line = lineEnd < 0 ? rest : rest.first(lineEnd);
        while (line.size() > room) {
            // A row the user made longer than RowChars ends where it is.
            const qsizetype taken = qMax<qsizetype>(0, room);
            cursor.insertText(line.first(taken).toString());
            line = line.sliced(taken);
            breakRow(cursor);
            ++made;
            room = RowChars;
        }
        cursor.insertText(line.toString());
        room -= line.size();
        if (lineEnd < 0)
            return made;
        cursor.insertBlock(); // a block made so has no notes: its break is a line break
        room = RowChars;
        rest = rest.sliced(lineEnd + 1);
    }
}

void repair(QTextDocument *document, int position, int added)
{
    const QTextBlock first = document->findBlock(position);
    const QTextBlock last = document->findBlock(position + added);
    // Whether the break after each block from `first` to `last` is soft. The blocks before
    // `first` and after `last` are untouched, and so are their notes.
    QList<bool> softAfter;
    bool splitEnd = endsSoft(first);
    for (QTextBlock block = first;; block = block.next()) {
        const QTextBlock next = block.next();
        bool soft = false;
        if (!next.isValid())
            soft = false;
        else if (block == last)
            soft = startsSoft(next);
        else if (next.userState() == -1)
            soft = false; // the user's line break, or the break before an ordinary line
        else if (block.userState() == -1 && block != first)
            soft = splitEnd; // split off: it ends where the split block ended
        else
            soft = endsSoft(block);
        if (block.userState() != -1)
            splitEnd = endsSoft(block);
        softAfter.append(soft);
        if (block == last)
            break;
    }
    const QTextBlock previous = first.previous();
    bool softBefore = previous.isValid() && endsSoft(previous);
    qsizetype i = 0;
    for (QTextBlock block = first;; block = block.next()) {
        note(block, softBefore, softAfter.at(i));
        softBefore = softAfter.at(i++);
        if (block == last)
            break;
    }
}

qsizetype softBreaks(const QTextDocument *document)
{
    qsizetype count = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        count += startsSoft(block);
    return count;
}

qsizetype textPosition(const QTextDocument *document, int position)
{
    const QTextBlock at = document->findBlock(position);
    qsizetype soft = 0;
    for (QTextBlock block = document->begin(); block.isValid() && block != at; block = block.next())
        soft += endsSoft(block);
    // A line break is one character on screen and two (CR LF) in the text, a soft break one
    // and none.
    return position + at.blockNumber() - 2 * soft;
}

QString text(const QTextDocument *document, int from, int to, QStringView lineBreak)
{
    QString out;
    for (QTextBlock block = document->findBlock(from); block.isValid() && block.position() <= to;
         block = block.next()) {
        const int start = block.position();
        if (start > from && !startsSoft(block))
            out += lineBreak;
        const int begin = qMax(from, start) - start;
        const int end = qMin(to, start + block.length() - 1) - start;
        if (end > begin)
            out += QStringView(block.text()).sliced(begin, end - begin);
    }
    return out;
}

} // namespace HistoryRows
