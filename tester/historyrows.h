#pragma once

#include <QString>
#include <QStringView>

class QTextBlock;
class QTextCursor;
class QTextDocument;

// The history shows a line longer than RowChars characters in rows of that many, each row a
// block of the document of its own: a character added to a long line then lays out one row,
// not the whole line, at every frame. The breaks between the rows of a line are soft: they
// stand for nothing in the history's text, while every other break between blocks stands for
// CR LF. Each block's user state notes whether the break before it and the one after it are
// soft (-1: neither).
namespace HistoryRows {

constexpr int RowChars = 1024;

// Inserts `shown` (the on-screen characters, '\n' for a line break) at `cursor`, which is at the
// end of the document, continuing its last row. Returns how many soft breaks it made.
qsizetype append(QTextCursor &cursor, const QString &shown);
// Puts the notes right after the user changed the document's characters [position, position +
// added) (as the document reports it). Joining two blocks, Qt keeps the later block's state for
// the joined one, whose break before is the earlier block's; a block split off gets -1 though
// it ends where the split block ended.
void repair(QTextDocument *document, int position, int added);

bool startsSoft(const QTextBlock &block);
qsizetype softBreaks(const QTextDocument *document);
// The position in the history's text of the document's `position`.
qsizetype textPosition(const QTextDocument *document, int position);
// The history's text for the document's characters [from, to): characters as on screen, a soft
// break as nothing, any other break as `lineBreak`.
QString text(const QTextDocument *document, int from, int to, QStringView lineBreak);

} // namespace HistoryRows
