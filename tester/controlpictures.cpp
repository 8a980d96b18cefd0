#include "controlpictures.h"

namespace {

constexpr char16_t FirstPicture = 0x2400; // SYMBOL FOR NULL
constexpr char16_t DeletePicture = 0x2421;
constexpr char16_t Delete = 0x7F;

} // namespace

namespace ControlPictures {

QString toVisible(QStringView raw)
{
    QString visible(raw.size(), Qt::Uninitialized);
    QChar *out = visible.data();
    for (const QChar c : raw) {
        const char16_t u = c.unicode();
        if (u < 0x20)
            *out++ = QChar(char16_t(FirstPicture + u));
        else if (u == Delete)
            *out++ = QChar(DeletePicture);
        else
            *out++ = c;
    }
    return visible;
}

QString fromVisible(QStringView visible)
{
    QString raw(visible.size(), Qt::Uninitialized);
    QChar *out = raw.data();
    for (const QChar c : visible) {
        const char16_t u = c.unicode();
        if (u >= FirstPicture && u < FirstPicture + 0x20)
            *out++ = QChar(char16_t(u - FirstPicture));
        else if (u == DeletePicture)
            *out++ = QChar(Delete);
        else
            *out++ = c;
    }
    return raw;
}

} // namespace ControlPictures
