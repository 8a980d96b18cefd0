#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace Scenarios {

void longBarcode(BenchRig &rig, bool quick, Report &report)
{
    QWidget *box = rig.barcodeBox();
    const std::vector<qint64> sizes
        = quick ? std::vector<qint64>{200'000} : std::vector<qint64>{2'000'000, 10'000'000};
    for (const qint64 chars : sizes) {
        report.setSection(
            u"A CR after %1 characters without one, then keys in the barcode box"_s.arg(chars));
        // Whatever an earlier part left unfinished is finished first.
        rig.setHistory(QString());
        rig.feed("\r");
        rig.setHistory(QString());
        const QByteArray run = Traffic::digits(chars, 60'000'000);
        rig.feed(run);
        // The idle timeout would blank the barcode 650 ms after the CR, before a slow box has
        // answered the keys: the keys are measured on the barcode itself.
        rig.timer1()->stop();
        rig.runFor(100);

        const qint64 rssBefore = memoryBytes("VmRSS");
        const bool peakReset = resetPeakMemory();
        const CpuSince cpu;
        const qint64 sent = monotonicNs();
        rig.feeder().start("\r");
        const double drawnMs = rig.msToPaint(rig.barcodePaints(), sent);
        rig.feeder().wait();
        const double crCpu = cpu.seconds(rig.feeder().cpuNs());

        // Each key as a user presses it, timed from the press to the box's next frame; Key_A
        // and Key_B type "a" and "b".
        box->activateWindow();
        box->setFocus();
        const std::tuple<const char *, Qt::Key, Qt::KeyboardModifiers> keys[]{
            {"click", Qt::Key_unknown, {}},   {"Home", Qt::Key_Home, {}},
            {"type at start", Qt::Key_A, {}}, {"End", Qt::Key_End, {}},
            {"type at end", Qt::Key_B, {}},   {"select all", Qt::Key_A, Qt::ControlModifier},
        };
        std::vector<std::pair<QString, double>> keyMs;
        double slowest = 0;
        for (const auto &[name, key, modifiers] : keys) {
            const qint64 pressed = monotonicNs();
            if (key == Qt::Key_unknown)
                QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(20, box->height() / 2));
            else
                QTest::keyClick(box, key, modifiers);
            keyMs.emplace_back(QString::fromLatin1(name),
                               rig.msToPaint(rig.barcodePaints(), pressed));
            slowest = std::max(slowest, keyMs.back().second);
        }
        const qint64 peak = memoryBytes("VmHWM");
        rig.timer1()->start();

        const double twiceTextMiB = double(chars) * 2 * 2 / (1 << 20); // 2 bytes a character
        const QString key = u"barcode_%1."_s.arg(chars);
        report.add(key + u"cr_cpu_seconds"_s, u"CPU from the CR to the barcode on screen"_s,
                   std::isfinite(drawnMs) ? crCpu : drawnMs, u"s"_s, Report::AtMost, 0.2, 3);
        report.add(
            key + u"peak_growth_mib"_s,
            u"peak memory growth, CR and keys (2x text: %1 MiB)"_s.arg(twiceTextMiB, 0, 'f', 1),
            peakReset && peak > 0 ? double(std::max<qint64>(peak - rssBefore, 0)) / (1 << 20)
                                  : qQNaN(),
            u"MiB"_s, Report::AtMost, twiceTextMiB, 1);
        report
            .add(key + u"key_to_frame_ms"_s, u"slowest key or click to the box's next frame"_s,
                 slowest, u"ms"_s, Report::AtMost, KeyTargetMs, 1)
            .parts
            = keyMs;
        report.addIntegrity(key + u"lost_or_altered"_s,
                            u"characters lost or misplaced in the barcode"_s,
                            Traffic::damagedChars(rig.core().barCodeText(),
                                                  u'a' + QString::fromLatin1(run) + u'b'));
    }
    // The box shows a short barcode again, for the parts that follow.
    rig.feed("0\r");
}

} // namespace Scenarios
