#include "benchrig.h"
#include "clocks.h"
#include "historybox.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Characters in a day at 9600 baud, 10 bits a character.
constexpr qint64 DayChars = 82'944'000;
constexpr qint64 BlockBarcodes = 71'429; // 1,000,006 characters

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

// Presses `key` in the history box as the keyboard would; the milliseconds until the history's
// next paint is done.
double pressToScreen(BenchRig &rig, Qt::Key key, Qt::KeyboardModifiers modifiers = {})
{
    const qint64 pressed = monotonicNs();
    QTest::keyClick(rig.historyBox(), key, modifiers);
    return rig.msToPaint(rig.historyPaints(), pressed, 1000);
}

} // namespace

namespace Scenarios {

void memory(BenchRig &rig, bool quick, Report &report)
{
    const qint64 chars = quick ? 1'000'000 : 5'000'000;
    report.setSection(u"Memory: %1M characters of 14-character barcodes%2"_s.arg(chars / 1'000'000)
                          .arg(quick ? QString() : u", then a day's at full speed"_s));
    rig.clear();
    const qint64 before = memoryBytes("VmRSS");
    qint64 first = 30'000'000;
    feedBarcodes(rig, chars, first);
    report.add(u"memory.bytes_per_char"_s, u"resident memory per character held"_s,
               double(memoryBytes("VmRSS") - before)
                   / double(std::max<qint64>(1, rig.historyChars())),
               u"B"_s, Report::AtMost, 4, 2);
    if (quick)
        return;

    rig.clear();
    resetPeakMemory();
    const double cpu = feedBarcodes(rig, DayChars, first);
    report.add(u"soak.peak_rss_mib"_s, u"a day's 83M characters: peak resident memory"_s,
               double(memoryBytes("VmHWM")) / (1 << 20), u"MiB"_s, Report::AtMost, 400, 0);
    report.add(u"soak.cpu_s"_s, u"a day's 83M characters: CPU"_s, cpu, u"s"_s, Report::None, 0, 1);
    const qint64 clicked = monotonicNs();
    rig.core().Command1_Click();
    report.add(u"soak.clear_s"_s, u"Clear, to the empty history on screen"_s,
               rig.msToPaint(rig.historyPaints(), clicked) / 1000, u"s"_s, Report::AtMost, 0.3, 3);
}

void typing(BenchRig &rig, bool quick, Report &report)
{
    const std::vector<qint64> sizes
        = quick ? std::vector<qint64>{1'000'000} : std::vector<qint64>{10'000'000, 30'000'000};
    rig.historyBox()->setFocus();
    for (const qint64 size : sizes) {
        report.setSection(
            u"Typing into a history of %1M characters with a line of 3,000: key press to screen"_s
                .arg(size / 1'000'000));
        const QString barcodes = Traffic::historyOf(Traffic::barcodes((size - 3000) / 14, 0));
        rig.setHistory(barcodes.left(barcodes.size() / 2) + QString(3000, u'5') + u"\r\n"_s
                       + barcodes.mid(barcodes.size() / 2));
        for (const bool atEnd : {true, false}) {
            pressToScreen(rig, atEnd ? Qt::Key_End : Qt::Key_Home, Qt::ControlModifier);
            double worst = 0;
            for (int i = 0; i < 20; ++i)
                worst = std::max(worst, pressToScreen(rig, Qt::Key_A));
            report.add(u"typing_%1m.%2_ms"_s.arg(size / 1'000'000).arg(atEnd ? "end" : "start"),
                       u"a key at the %1, slowest of 20"_s.arg(atEnd ? "end" : "start"), worst,
                       u"ms"_s, Report::AtMost, KeyTargetMs, 1);
        }
    }

    report.setSection(u"Pasting 1 MB into the history: paste to screen"_s);
    rig.setHistory(QString());
    QString lines;
    for (int i = 0; i < 10'000; ++i)
        lines += QString(99, u'7') + u'\n';
    for (const auto &[name, label, text] :
         {std::tuple{"one_line", "1 MB as one line", QString(1'000'000, u'7')},
          std::tuple{"lines", "1 MB in 100-character lines", lines}}) {
        QGuiApplication::clipboard()->setText(text);
        report.add(u"paste.%1_ms"_s.arg(name), QString::fromLatin1(label),
                   pressToScreen(rig, Qt::Key_V, Qt::ControlModifier), u"ms"_s, Report::AtMost,
                   KeyTargetMs, 1);
    }
    rig.setHistory(QString());
}

} // namespace Scenarios
