#include "benchrig.h"
#include "clocks.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>

namespace {

constexpr double CrCpuTargetSeconds = 0.2;
constexpr double MemoryTargetTimesText = 2; // the text itself: 2 bytes a character
constexpr double KeyTargetMs = 50;
constexpr qint64 BarcodeChars = 14;
constexpr int FrameTimeoutMs = 60'000;
constexpr qint64 RunFirst = 60'000'000;

// One run of `chars` digits without a CR: what a scanner with no CR suffix sends.
QByteArray runWithoutCr(qint64 chars)
{
    QByteArray run = Traffic::barcodes(chars / (BarcodeChars - 1) + 1, RunFirst);
    run.replace('\r', QByteArray());
    run.truncate(chars);
    return run;
}

// A line of /proc/self/status, in bytes ("VmRSS", "VmHWM").
qint64 statusBytes(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(name) + ':';
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

// Makes the peak resident memory (VmHWM) start again from what is resident now.
bool resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

QWidget *barcodeBox()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (auto *box = window->findChild<QWidget *>(QStringLiteral("BarCodeText")))
            return box;
    }
    return nullptr;
}

// Runs the event loop until the barcode box has painted after `since` and the paint is done;
// returns when that was seen, 0 if it did not come.
qint64 waitForBarcodePaint(BenchRig &rig, qint64 since)
{
    for (const qint64 start = monotonicNs();
         monotonicNs() - start < FrameTimeoutMs * 1'000'000LL;) {
        const auto &paints = rig.barcodePaints();
        if (!paints.empty() && paints.back() > since)
            return monotonicNs();
        rig.runFor(1);
    }
    return 0;
}

} // namespace

namespace Scenarios {

void longBarcode(BenchRig &rig, bool quick, Report &report)
{
    QWidget *box = barcodeBox();
    auto *timer1 = rig.core().findChild<QTimer *>(QStringLiteral("Timer1"));
    if (!box || !timer1)
        return;
    const std::vector<qint64> sizes
        = quick ? std::vector<qint64>{200'000} : std::vector<qint64>{2'000'000, 10'000'000};
    for (const qint64 chars : sizes) {
        report.setSection(
            QStringLiteral("A CR after %1 characters without one, then keys in the barcode box")
                .arg(chars));
        // Whatever an earlier part left unfinished is finished first.
        rig.setHistory(QString());
        rig.feed("\r");
        rig.setHistory(QString());
        const QByteArray run = runWithoutCr(chars);
        rig.feed(run);
        // The idle timeout would blank the barcode 650 ms after the CR, before a slow box has
        // answered the keys: the keys are measured on the barcode itself.
        timer1->stop();
        rig.runFor(100);

        const qint64 rssBefore = statusBytes("VmRSS");
        const bool peakReset = resetPeakMemory();
        const qint64 cpuFrom = processCpuNs();
        const qint64 sent = monotonicNs();
        rig.feeder().start("\r");
        const qint64 drawn = waitForBarcodePaint(rig, sent);
        rig.feeder().wait();
        const double crCpu = double(processCpuNs() - cpuFrom - rig.feeder().cpuNs()) / 1e9;

        // Each key as a user presses it, timed from the press to the box's next frame.
        box->activateWindow();
        box->setFocus();
        const std::vector<std::pair<QString, std::function<void()>>> actions{
            {QStringLiteral("click"),
             [box] {
                 QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(20, box->height() / 2));
             }},
            {QStringLiteral("Home"),
             [box] {
                 QTest::keyClick(box, Qt::Key_Home);
             }},
            {QStringLiteral("type at start"),
             [box] {
                 QTest::keyClick(box, 'a');
             }},
            {QStringLiteral("End"),
             [box] {
                 QTest::keyClick(box, Qt::Key_End);
             }},
            {QStringLiteral("type at end"),
             [box] {
                 QTest::keyClick(box, 'b');
             }},
            {QStringLiteral("select all"),
             [box] {
                 QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
             }},
        };
        std::vector<std::pair<QString, double>> keyMs;
        double slowest = 0;
        for (const auto &[name, act] : actions) {
            const qint64 pressed = monotonicNs();
            act();
            const qint64 framed = waitForBarcodePaint(rig, pressed);
            const double ms
                = framed ? double(framed - pressed) / 1e6 : std::numeric_limits<double>::infinity();
            keyMs.emplace_back(name, ms);
            slowest = std::max(slowest, ms);
        }
        const qint64 peak = statusBytes("VmHWM");
        timer1->start();

        const double textMiB = double(chars) * 2 / (1 << 20);
        const QString expected = u'a' + QString::fromLatin1(run) + u'b';
        report.add(QStringLiteral("barcode_%1.cr_cpu_seconds").arg(chars),
                   QStringLiteral("CPU from the CR to the barcode on screen"),
                   drawn ? crCpu : std::numeric_limits<double>::infinity(), QStringLiteral("s"),
                   Report::Bound::AtMost, CrCpuTargetSeconds, 3);
        report.add(QStringLiteral("barcode_%1.peak_growth_mib").arg(chars),
                   QStringLiteral("peak memory growth, CR and keys (2x text: %1 MiB)")
                       .arg(textMiB * MemoryTargetTimesText, 0, 'f', 1),
                   peakReset && peak > 0 ? double(std::max<qint64>(peak - rssBefore, 0)) / (1 << 20)
                                         : std::numeric_limits<double>::quiet_NaN(),
                   QStringLiteral("MiB"), Report::Bound::AtMost, textMiB * MemoryTargetTimesText,
                   1);
        report
            .add(QStringLiteral("barcode_%1.key_to_frame_ms").arg(chars),
                 QStringLiteral("slowest key or click to the box's next frame"), slowest,
                 QStringLiteral("ms"), Report::Bound::AtMost, KeyTargetMs, 1)
            .parts
            = keyMs;
        report.addIntegrity(QStringLiteral("barcode_%1.lost_or_altered").arg(chars),
                            QStringLiteral("characters lost or misplaced in the barcode"),
                            Traffic::damagedChars(rig.core().barCodeText(), expected));
    }
    // The box shows a short barcode again, for the parts that follow.
    rig.feed("0\r");
}

} // namespace Scenarios
