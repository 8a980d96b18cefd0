#pragma once

#include <QByteArray>

// Every byte value 0 to 255 once, in order, except CR, which would complete a barcode.
inline QByteArray everyByteExceptCr()
{
    QByteArray bytes;
    for (int b = 0; b < 256; ++b) {
        if (b != '\r')
            bytes.append(char(b));
    }
    return bytes;
}
