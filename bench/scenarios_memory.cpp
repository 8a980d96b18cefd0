#include "benchrig.h"
#include "clocks.h"
#include "historybox.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>

#include <algorithm>

#include <unistd.h>

namespace {

constexpr double BytesPerCharTarget = 4;
constexpr double SoakPeakTargetMiB = 400;
constexpr double ClearTargetS = 0.3;
constexpr double KeyTargetMs = 50;
// Characters in a day at 9600 baud, 10 bits a character.
constexpr qint64 DayChars = 82'944'000;
constexpr qint64 BlockBarcodes = 71'429; // 1,000,006 characters

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : 0;
}

// The most resident memory since the last resetPeak(), from the kernel's high-water mark.
qint64 peakBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

// Feeds `total` characters of barcodes at full speed, a million at a time, so that what is
// sent costs the process little memory of its own. Returns the CPU seconds taken.
double feedBarcodes(BenchRig &rig, qint64 total, qint64 &first)
{
    double cpu = 0;
    for (qint64 fed = 0; fed < total;) {
        const qint64 count = std::min(BlockBarcodes, (total - fed + 13) / 14);
        const QByteArray block = Traffic::barcodes(count, first);
        first += count;
        cpu += rig.feed(block, {}, 4096);
        fed += block.size();
    }
    return cpu;
}

// Presses `key` in the history box as the keyboard would, and returns the milliseconds until
// the history's next paint is done.
double pressToScreen(BenchRig &rig, int key, Qt::KeyboardModifiers modifiers = {},
                     const QString &text = {})
{
    HistoryBox *box = rig.historyBox();
    const qint64 pressed = monotonicNs();
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(box, &press);
    QApplication::sendEvent(box, &release);
    // Not painted in time counts as the wait's whole length, well past any target.
    if (!rig.waitForHistoryPaint(pressed))
        return 1000;
    return double(rig.historyPaints().back() - pressed) / 1e6;
}

} // namespace

namespace Scenarios {

void memory(BenchRig &rig, bool quick, Report &report)
{
    const qint64 chars = quick ? 1'000'000 : 5'000'000;
    report.setSection(QStringLiteral("Memory: %1M characters of 14-character barcodes%2")
                          .arg(chars / 1'000'000)
                          .arg(quick ? QString() : QStringLiteral(", then a day's at full speed")));
    rig.setHistory(QString());
    rig.runFor(200);
    const qint64 before = residentBytes();
    qint64 first = 30'000'000;
    feedBarcodes(rig, chars, first);
    const qint64 held = rig.historyChars();
    report.add(QStringLiteral("memory.bytes_per_char"),
               QStringLiteral("resident memory per character held"),
               double(residentBytes() - before) / double(std::max<qint64>(1, held)),
               QStringLiteral("B"), Report::Bound::AtMost, BytesPerCharTarget, 2);
    if (quick)
        return;

    rig.setHistory(QString());
    rig.runFor(200);
    resetPeak();
    const double cpu = feedBarcodes(rig, DayChars, first);
    report.add(QStringLiteral("soak.peak_rss_mib"),
               QStringLiteral("a day's 83M characters: peak resident memory"),
               double(peakBytes()) / (1 << 20), QStringLiteral("MiB"), Report::Bound::AtMost,
               SoakPeakTargetMiB, 0);
    report.add(QStringLiteral("soak.cpu_s"), QStringLiteral("a day's 83M characters: CPU"), cpu,
               QStringLiteral("s"), Report::Bound::None, 0, 1);
    const qint64 clicked = monotonicNs();
    rig.core().Command1_Click();
    rig.waitForHistoryPaint(clicked);
    report.add(QStringLiteral("soak.clear_s"),
               QStringLiteral("Clear, to the empty history on screen"),
               double(rig.historyPaints().back() - clicked) / 1e9, QStringLiteral("s"),
               Report::Bound::AtMost, ClearTargetS, 3);
}

void typing(BenchRig &rig, bool quick, Report &report)
{
    const std::vector<qint64> sizes
        = quick ? std::vector<qint64>{1'000'000} : std::vector<qint64>{10'000'000, 30'000'000};
    HistoryBox *box = rig.historyBox();
    box->setFocus();
    for (const qint64 size : sizes) {
        report.setSection(QStringLiteral("Typing into a history of %1M characters with a line "
                                         "of 3,000: key press to screen")
                              .arg(size / 1'000'000));
        const QString line(3000, u'5');
        const QString barcodes = Traffic::historyOf(Traffic::barcodes((size - 3000) / 14, 0));
        rig.setHistory(barcodes.left(barcodes.size() / 2) + line + QStringLiteral("\r\n")
                       + barcodes.mid(barcodes.size() / 2));
        const QString key = QStringLiteral("typing_%1m").arg(size / 1'000'000);
        for (const bool atEnd : {true, false}) {
            pressToScreen(rig, atEnd ? Qt::Key_End : Qt::Key_Home, Qt::ControlModifier);
            double worst = 0;
            for (int i = 0; i < 20; ++i)
                worst = std::max(worst, pressToScreen(rig, Qt::Key_A, {}, QStringLiteral("a")));
            report.add(key + (atEnd ? QStringLiteral(".end_ms") : QStringLiteral(".start_ms")),
                       atEnd ? QStringLiteral("a key at the end, slowest of 20")
                             : QStringLiteral("a key at the start, slowest of 20"),
                       worst, QStringLiteral("ms"), Report::Bound::AtMost, KeyTargetMs, 1);
        }
    }

    report.setSection(QStringLiteral("Pasting 1 MB into the history: paste to screen"));
    rig.setHistory(QString());
    QClipboard *clipboard = QGuiApplication::clipboard();
    const QString oneLine(1'000'000, u'7');
    QString lines;
    for (int i = 0; i < 10'000; ++i)
        lines += QString(99, u'7') + u'\n';
    for (const auto &[name, text] : {std::pair{QStringLiteral("one_line"), oneLine},
                                     std::pair{QStringLiteral("lines"), lines}}) {
        clipboard->setText(text);
        const double ms = pressToScreen(rig, Qt::Key_V, Qt::ControlModifier);
        report.add(QStringLiteral("paste.") + name + QStringLiteral("_ms"),
                   name == u"lines" ? QStringLiteral("1 MB in 100-character lines")
                                    : QStringLiteral("1 MB as one line"),
                   ms, QStringLiteral("ms"), Report::Bound::AtMost, KeyTargetMs, 1);
    }
    rig.setHistory(QString());
}

} // namespace Scenarios
