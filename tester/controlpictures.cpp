#include "controlpictures.h"

namespace ControlPictures {

QString toVisible(QStringView raw)
{
    QString shown(raw.size(), Qt::Uninitialized);
    QChar *out = shown.data();
    for (const QChar c : raw)
        *out++ = toVisible(c);
    return shown;
}

} // namespace ControlPictures
