#include "traffic.h"

#include <algorithm>
#include <cmath>

namespace Traffic {

QByteArray barcodes(qint64 count, qint64 first)
{
    constexpr qint64 Modulus = 10'000'000'000'000; // 13 digits
    QByteArray bytes;
    bytes.reserve(count * BarcodeChars);
    for (qint64 i = first; i < first + count; ++i) {
        // A stride coprime to the modulus keeps every barcode different and varies each digit.
        const qint64 code = (4'006'381'333'931 + i * 1'000'003) % Modulus;
        bytes += QByteArray::number(code).rightJustified(13, '0');
        bytes += '\r';
    }
    return bytes;
}

QByteArray digits(qint64 chars, qint64 first)
{
    QByteArray line = barcodes(chars / (BarcodeChars - 1) + 1, first);
    line.replace('\r', QByteArray());
    line.truncate(chars);
    return line;
}

QString historyOf(const QByteArray &sent)
{
    QString history = QString::fromLatin1(sent);
    history.replace(u'\r', QStringLiteral("\r\n"));
    return history;
}

qint64 damagedChars(QStringView got, QStringView expected)
{
    if (got == expected)
        return 0;
    const qsizetype shorter = std::min(got.size(), expected.size());
    qsizetype prefix = 0;
    while (prefix < shorter && got[prefix] == expected[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < shorter - prefix
           && got[got.size() - 1 - suffix] == expected[expected.size() - 1 - suffix])
        ++suffix;
    return std::max(got.size(), expected.size()) - prefix - suffix;
}

Progress reached(const std::vector<Progress> &progress, qint64 chars)
{
    const auto at = std::find_if(progress.begin(), progress.end(),
                                 [chars](const Progress &p) { return p.chars >= chars; });
    return at == progress.end() ? Progress{0, 0} : *at;
}

double longestGapMs(const std::vector<qint64> &events, qint64 from, qint64 to)
{
    qint64 previous = from;
    qint64 longest = 0;
    for (const qint64 at : events) {
        if (at < from || at > to)
            continue;
        longest = std::max(longest, at - previous);
        previous = at;
    }
    longest = std::max(longest, to - previous);
    return double(longest) / 1e6;
}

std::vector<double> delaysMs(const std::vector<qint64> &writes, const std::vector<qint64> &events)
{
    std::vector<double> delays;
    auto event = events.begin();
    for (const qint64 written : writes) {
        event = std::lower_bound(event, events.end(), written);
        if (event == events.end())
            break;
        delays.push_back(double(*event - written) / 1e6);
    }
    return delays;
}

double percentile(std::vector<double> &values, double fraction)
{
    if (values.empty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

} // namespace Traffic
