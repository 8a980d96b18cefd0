#pragma once

#include <QString>
#include <QStringView>

// Received control characters are shown as what they are: NUL, LF, TAB, ESC, ... appear as
// their Unicode control pictures (U+2400 + code, U+2421 for DEL), so that a tester shows every
// byte a scanner sends. The text boxes keep the pictures on screen and give the original
// characters back when read.
namespace ControlPictures {

// The on-screen form of `raw`: C0 controls and DEL become their pictures.
QString toVisible(QStringView raw);
// The original characters behind an on-screen text.
QString fromVisible(QStringView visible);

} // namespace ControlPictures
