#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// When the history painted, and how many characters it held then.
struct Progress
{
    qint64 ns;
    qint64 chars;
};

// What the benchmark sends and how it reads what arrived.
namespace Traffic {

// The length of a barcode with its CR.
constexpr qint64 BarcodeChars = 14;

// `count` barcodes of 13 digits and a CR each, all different, starting at barcode `first`: each
// part starts elsewhere, so that none repeats another's text.
QByteArray barcodes(qint64 count, qint64 first = 0);
// `chars` digits without a CR (barcodes whose CRs were left out), starting at barcode `first`.
QByteArray digits(qint64 chars, qint64 first);
// What the history reads for `sent`: each CR becomes CR LF.
QString historyOf(const QByteArray &sent);
// Characters lost, altered or added: the length of the span between the longest common prefix
// and the longest common suffix of what arrived and what was expected.
qint64 damagedChars(QStringView got, QStringView expected);

// The first of `progress` that held `chars` characters; {0, 0} if none.
Progress reached(const std::vector<Progress> &progress, qint64 chars);
// The longest time without an event in [from, to], counting the ends as events.
double longestGapMs(const std::vector<qint64> &events, qint64 from, qint64 to);
// Time from each of `writes` to the first of `events` after it, in ms; writes after the last
// event have none. Both lists are in time order.
std::vector<double> delaysMs(const std::vector<qint64> &writes, const std::vector<qint64> &events);
// The value below which `fraction` of `values` lie (nearest rank); sorts `values`.
double percentile(std::vector<double> &values, double fraction);

} // namespace Traffic
