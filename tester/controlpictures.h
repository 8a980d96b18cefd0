#pragma once

#include <QString>
#include <QStringView>

// How received characters are shown, so that every byte a scanner sends can be told apart on
// screen, one character on screen for each byte:
// - C0 controls and DEL appear as their Unicode control pictures (U+2400 + code, U+2421);
// - NEL (0x85), which text layout would take as a line break, as the picture for newline ␤;
// - no-break space (0xA0) as ⍽, the keyboard symbol for it, not as a plain space;
// - soft hyphen (0xAD), which text layout hides, as ⸗;
// - the other C1 controls 0x80 to 0x9F stay themselves: the window's fonts draw them as boxes
//   holding their names.
// What was received is kept apart from this: pictures are never read back as controls.
namespace ControlPictures {

inline QChar toVisible(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= 0x20 && u < 0x7F)
        return c;
    if (u < 0x20)
        return QChar(char16_t(0x2400 + u)); // SYMBOL FOR NULL and on
    switch (u) {
    case 0x7F:
        return QChar(char16_t(0x2421)); // SYMBOL FOR DELETE
    case 0x85:
        return QChar(char16_t(0x2424)); // SYMBOL FOR NEWLINE
    case 0xA0:
        return QChar(char16_t(0x237D)); // SHOULDERED OPEN BOX
    case 0xAD:
        return QChar(char16_t(0x2E17)); // DOUBLE OBLIQUE HYPHEN
    default:
        return c;
    }
}

QString toVisible(QStringView raw);

} // namespace ControlPictures
