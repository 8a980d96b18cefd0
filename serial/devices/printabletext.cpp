#include "printabletext.h"

#include <QChar>

namespace {

// The code point a UTF-8 sequence at `bytes[i]` encodes, and its length in bytes; a length
// of 0 when the byte there starts no valid sequence (overlong forms and surrogates included).
std::pair<char32_t, qsizetype> decodeUtf8(QByteArrayView bytes, qsizetype i)
{
    const auto byte = [&](qsizetype at) {
        return uchar(bytes.at(at));
    };
    const uchar lead = byte(i);
    if (lead < 0x80)
        return {lead, 1};
    qsizetype length = 0;
    char32_t least = 0;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        least = 0x80;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        least = 0x800;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        least = 0x10000;
        cp = lead & 0x07;
    } else {
        return {0, 0};
    }
    if (i + length > bytes.size())
        return {0, 0};
    for (qsizetype k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return {0, 0};
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0, 0};
    return {cp, length};
}

bool isInvisible(char32_t cp)
{
    switch (QChar::category(cp)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

QString printableText(QByteArrayView bytes, qsizetype maxLength)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    QString text;
    qsizetype characters = 0;
    qsizetype cutAt = 0; // where the text ends if an ellipsis has to follow
    for (qsizetype i = 0; i < bytes.size();) {
        const auto [cp, length] = decodeUtf8(bytes, i);
        QString piece;
        bool escaped = true;
        if (length == 0 || cp < 0x20 || cp == 0x7F) {
            const uchar byte = uchar(bytes.at(i));
            piece = QStringLiteral("\\x") + QLatin1Char(Hex[byte >> 4])
                    + QLatin1Char(Hex[byte & 0xF]);
        } else if (isInvisible(cp)) {
            piece = QStringLiteral("\\u")
                    + QString::number(quint32(cp), 16).toUpper().rightJustified(4, u'0');
        } else if (cp == u'\\') {
            piece = QStringLiteral("\\\\");
        } else {
            piece = QString::fromUcs4(&cp, 1);
            escaped = false;
        }
        i += length == 0 ? 1 : length;

        // An escape is shown whole or not at all.
        const qsizetype pieceLength = escaped ? piece.size() : 1;
        if (characters + pieceLength > maxLength) {
            text.truncate(cutAt);
            return text + QChar(0x2026);
        }
        text += piece;
        characters += pieceLength;
        if (characters <= maxLength - 1)
            cutAt = text.size();
    }
    return text;
}
