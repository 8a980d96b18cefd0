#include "desktopfeedback.h"

#include <QApplication>
#include <QMessageBox>

namespace {

constexpr qint64 MinBeepGapMs = 50;

} // namespace

DesktopFeedback::DesktopFeedback() = default;

void DesktopFeedback::beep()
{
    if (m_sinceBeep.isValid() && m_sinceBeep.elapsed() < MinBeepGapMs)
        return;
    m_sinceBeep.start();
    if (!m_sound.ring())
        QApplication::beep();
}

void DesktopFeedback::messageBox(const QString &text, const QString &title)
{
    QMessageBox box(QMessageBox::NoIcon, title, QString(text).replace(u'\r', u'\n'),
                    QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}
