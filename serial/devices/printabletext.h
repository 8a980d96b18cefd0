#pragma once

#include <QByteArrayView>
#include <QString>

// Text that came from outside (a device's strings in sysfs, a process name), made fit to show
// on one line: valid UTF-8 is kept; bytes that are not UTF-8 and control bytes appear as
// \xNN, invisible or line-breaking characters (U+0085, U+200B, U+202E, ...) as \uNNNN, and a
// backslash as \\, so that what is shown always tells what was there. Longer than `maxLength`
// characters, it is cut at a character and ends in an ellipsis, `maxLength` characters in all.
// Escaping for rich text is left to whoever shows it.
QString printableText(QByteArrayView bytes, qsizetype maxLength = 64);
