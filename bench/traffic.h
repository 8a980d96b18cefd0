#pragma once

#include <QByteArray>
#include <QString>

#include <algorithm>

// A time, and how many characters the history held then.
struct Progress
{
    qint64 ns;
    qint64 chars;
};

// What the benchmark sends, and what counts as lost or altered.
namespace Traffic {

// The length of a barcode with its CR.
constexpr qint64 BarcodeChars = 14;

// `count` barcodes of 13 digits and a CR each, all different, starting at barcode `first`: each
// part starts elsewhere, so that none repeats another's text.
inline QByteArray barcodes(qint64 count, qint64 first = 0)
{
    QByteArray bytes;
    bytes.reserve(count * BarcodeChars);
    for (qint64 i = first; i < first + count; ++i) {
        // A stride coprime to the modulus keeps every barcode different and varies each digit.
        const qint64 code = (4'006'381'333'931 + i * 1'000'003) % 10'000'000'000'000;
        bytes += QByteArray::number(code).rightJustified(13, '0') + '\r';
    }
    return bytes;
}

// `chars` digits without a CR (barcodes whose CRs were left out), starting at barcode `first`.
inline QByteArray digits(qint64 chars, qint64 first)
{
    return barcodes(chars / (BarcodeChars - 1) + 1, first).replace('\r', QByteArray()).left(chars);
}

// What the history reads for `sent`: each CR becomes CR LF.
inline QString historyOf(const QByteArray &sent)
{
    return QString::fromLatin1(sent).replace(u'\r', QStringLiteral("\r\n"));
}

// Characters lost, altered or added: the length of the span between the longest common prefix
// and the longest common suffix of what arrived and what was expected.
inline qint64 damagedChars(QStringView got, QStringView expected)
{
    const qsizetype shorter = std::min(got.size(), expected.size());
    qsizetype prefix = 0, suffix = 0;
    while (prefix < shorter && got[prefix] == expected[prefix])
        ++prefix;
    while (suffix < shorter - prefix
           && got[got.size() - 1 - suffix] == expected[expected.size() - 1 - suffix])
        ++suffix;
    return std::max(got.size(), expected.size()) - prefix - suffix;
}

} // namespace Traffic
