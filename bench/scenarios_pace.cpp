#include "benchrig.h"
#include "cpuclock.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QLocale>

#include <cmath>

namespace {

constexpr double PaceCpuTargetSeconds = 0.5; // per 1,000 barcodes
constexpr double DisplayTargetMs = 50;
constexpr double BurstCpuTargetSeconds = 0.1; // per 20,000 barcodes
constexpr double SlowTargetPercent = 0.3;
constexpr double PacedLineRatioTarget = 2.0;
constexpr qint64 BarcodeChars = 14;
constexpr int SettleMs = 200;
// After the last character, what it causes (the frame that shows it, the repaint) is counted
// too.
constexpr int TailMs = 100;
constexpr auto PacedLineInterval = std::chrono::milliseconds(10);

// Barcode numbers of each part start apart, so no part's text repeats another's.
constexpr qint64 PaceFirst = 30'000'000;
constexpr qint64 BurstFirst = 40'000'000;
constexpr qint64 SlowFirst = 50'000'000;

// CPU of the whole process from construction on, without the feeder thread's: the window's
// thread, Qt's helper threads and the X connection's.
class ProcessCpu
{
public:
    ProcessCpu()
        : m_cpu(processCpuNs())
        , m_wall(monotonicNs())
    {}
    // Without what `feeder` wrote meanwhile, once it has finished.
    double seconds(const PtyFeeder *feeder = nullptr) const
    {
        return double(processCpuNs() - m_cpu - (feeder ? feeder->cpuNs() : 0)) / 1e9;
    }
    double wallSeconds() const { return double(monotonicNs() - m_wall) / 1e9; }

private:
    qint64 m_cpu;
    qint64 m_wall;
};

// Runs `sent` through the pty, `chunk` characters every `interval` or (with a chunk of 0) as
// fast as it takes them, waits for all of it to be in the history and on screen, and returns
// the CPU it cost.
double feedAndMeasure(BenchRig &rig, const QByteArray &sent, std::chrono::nanoseconds interval,
                      qsizetype chunk, int stallMs)
{
    const qint64 base = rig.historyChars();
    const ProcessCpu cpu;
    if (chunk > 0)
        rig.feeder().startPaced(sent, interval, chunk);
    else
        rig.feeder().startFlood(sent);
    rig.waitForChars(base + sent.size(), stallMs);
    rig.feeder().wait();
    rig.waitForRepaint(monotonicNs(), TailMs);
    rig.runFor(TailMs);
    return cpu.seconds(&rig.feeder());
}

// Time from each write to the first repaint after it, in ms.
std::vector<double> delays(const std::vector<qint64> &writes, const std::vector<qint64> &paints)
{
    std::vector<double> out;
    size_t paint = 0;
    for (const qint64 written : writes) {
        while (paint < paints.size() && paints[paint] < written)
            ++paint;
        if (paint == paints.size())
            break;
        out.push_back(double(paints[paint] - written) / 1e6);
    }
    return out;
}

} // namespace

namespace Scenarios {

void linePace(BenchRig &rig, const BenchOptions &options, Report &report)
{
    const qint64 count = options.paceBarcodes;
    const int runs = qMax(1, options.paceRuns);
    report.setSection(QStringLiteral("Line pace: %1 barcodes, one every %2 ms, each in one write%3")
                          .arg(count)
                          .arg(options.paceIntervalMs)
                          .arg(runs > 1 ? QStringLiteral("; %1 runs").arg(runs) : QString()));
    // The machine's other work moves a run's CPU by a tenth or more: the figure is the median of
    // the runs; the delays and the checks take in every run.
    std::vector<double> cpus;
    std::vector<double> shown;
    qint64 damaged = 0;
    qint64 beepsAmiss = 0;
    for (int run = 0; run < runs; ++run) {
        rig.setHistory(QString());
        rig.runFor(SettleMs);
        rig.resetNotes();
        const QByteArray sent = Traffic::barcodes(count, PaceFirst + run * count);
        const qint64 beepsBefore = rig.beeps();
        cpus.push_back(feedAndMeasure(rig, sent, std::chrono::milliseconds(options.paceIntervalMs),
                                      BarcodeChars, options.stallMs));
        const std::vector<double> runShown
            = delays(rig.feeder().pacedWriteTimes(), rig.barcodePaints());
        shown.insert(shown.end(), runShown.begin(), runShown.end());
        damaged += Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent));
        beepsAmiss += std::abs(rig.beeps() - beepsBefore - sent.size());
    }
    const double cpu = Traffic::percentile(cpus, 0.5);
    const auto seconds = QStringLiteral("s");
    const auto ms = QStringLiteral("ms");
    report.addTarget(QStringLiteral("pace.cpu_seconds_per_1000"),
                     runs > 1 ? QStringLiteral("CPU of the process per 1,000 barcodes, median run")
                              : QStringLiteral("CPU of the process per 1,000 barcodes"),
                     cpu * 1000 / double(count), seconds, Report::Bound::AtMost,
                     PaceCpuTargetSeconds, 2);
    if (runs > 1) {
        report.add(QStringLiteral("pace.cpu_seconds_per_1000_lowest"), QStringLiteral("lowest run"),
                   cpus.front() * 1000 / double(count), seconds, 2);
        report.add(QStringLiteral("pace.cpu_seconds_per_1000_highest"),
                   QStringLiteral("highest run"), cpus.back() * 1000 / double(count), seconds, 2);
    }
    report.add(QStringLiteral("pace.cpu_ms_per_barcode"), QStringLiteral("CPU per barcode"),
               cpu * 1000 / double(count), ms, 3);
    report.add(QStringLiteral("pace.display_p50_ms"),
               QStringLiteral("write to the barcode display's repaint, median"),
               Traffic::percentile(shown, 0.5), ms, 1);
    report.addTarget(QStringLiteral("pace.display_p99_ms"),
                     QStringLiteral("write to the barcode display's repaint, p99"),
                     Traffic::percentile(shown, 0.99), ms, Report::Bound::AtMost, DisplayTargetMs,
                     1);
    report.add(QStringLiteral("pace.display_max_ms"),
               QStringLiteral("write to the barcode display's repaint, max"),
               Traffic::percentile(shown, 1.0), ms, 1);
    report.addIntegrity(QStringLiteral("pace.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
    report.addIntegrity(QStringLiteral("pace.beeps_not_one_per_char"),
                        QStringLiteral("beeps missing or extra (one per character)"), beepsAmiss);

    const qint64 burst = options.burstBarcodes;
    const QByteArray back = Traffic::barcodes(burst, BurstFirst);
    rig.setHistory(QString());
    rig.runFor(SettleMs);
    const double burstCpu = feedAndMeasure(rig, back, {}, 0, options.stallMs);
    report.addTarget(QStringLiteral("pace.burst_cpu_seconds_per_20000"),
                     QStringLiteral("%1 barcodes back to back, CPU per 20,000")
                         .arg(QLocale(QLocale::English).toString(burst)),
                     burstCpu * 20'000 / double(burst), seconds, Report::Bound::AtMost,
                     BurstCpuTargetSeconds, 3);
    report.addIntegrity(QStringLiteral("pace.burst_lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(back)));
    report.note(QStringLiteral("CPU of the whole process without the thread writing to the pty, "
                               "from the first write until the last character is on screen"));
}

void slow(BenchRig &rig, const BenchOptions &options, double idlePercent, Report &report)
{
    report.setSection(QStringLiteral("One barcode a second, for %1 s").arg(options.slowSeconds));
    rig.setHistory(QString());
    rig.runFor(SettleMs);
    if (std::isnan(idlePercent)) {
        const ProcessCpu idle;
        rig.runFor(options.slowSeconds * 1000);
        idlePercent = 100 * idle.seconds() / idle.wallSeconds();
    }
    const QByteArray sent = Traffic::barcodes(options.slowSeconds, SlowFirst);
    const ProcessCpu cpu;
    rig.feeder().startPaced(sent, std::chrono::seconds(1), BarcodeChars);
    rig.waitForChars(sent.size(), options.stallMs);
    rig.feeder().wait();
    // To a second after the last barcode, as if the next one were due.
    rig.runFor(1000);
    const double percent = 100 * cpu.seconds(&rig.feeder()) / cpu.wallSeconds();
    report.addTarget(QStringLiteral("slow.cpu_percent_above_idle"),
                     QStringLiteral("CPU above idle, share of one core"), percent - idlePercent,
                     QStringLiteral("%"), Report::Bound::AtMost, SlowTargetPercent, 3);
    report.addIntegrity(QStringLiteral("slow.lost_or_altered"),
                        QStringLiteral("characters lost or altered"),
                        Traffic::damagedChars(rig.core().history(), Traffic::historyOf(sent)));
}

void pacedLongLine(BenchRig &rig, const BenchOptions &options, Report &report)
{
    report.setSection(QStringLiteral("%1 characters at 100 a second, at the end of a line")
                          .arg(options.pacedLineChars));
    const QByteArray typed(options.pacedLineChars, '7');
    // A short line in a history of short lines, then the end of one line of pacedLineLength
    // digits without a CR.
    const QString shortLines = Traffic::historyOf(Traffic::barcodes(700, PaceFirst));
    QString longLine = QStringLiteral("0123456789").repeated(options.pacedLineLength / 10);
    qint64 damaged = 0;
    double costs[2] = {};
    for (int i = 0; i < 2; ++i) {
        const QString &before = i == 0 ? shortLines : longLine;
        rig.setHistory(before);
        rig.runFor(SettleMs);
        costs[i] = feedAndMeasure(rig, typed, PacedLineInterval, 1, options.stallMs);
        damaged += Traffic::damagedChars(rig.core().history(), before + QString::fromLatin1(typed));
    }
    const auto ms = QStringLiteral("ms");
    const double perChar = 1000.0 / options.pacedLineChars;
    report.add(QStringLiteral("paced_line.short_ms_per_char"),
               QStringLiteral("on a short line, CPU per character"), costs[0] * perChar, ms, 3);
    report.add(QStringLiteral("paced_line.long_ms_per_char"),
               QStringLiteral("at the end of a %1-character line")
                   .arg(Traffic::thousands(longLine.size())),
               costs[1] * perChar, ms, 3);
    report.addTarget(QStringLiteral("paced_line.ratio_long_short"),
                     QStringLiteral("ratio long line / short line"), costs[1] / costs[0],
                     QStringLiteral("x"), Report::Bound::AtMost, PacedLineRatioTarget, 2);
    report.addIntegrity(QStringLiteral("paced_line.lost_or_altered"),
                        QStringLiteral("characters lost or altered"), damaged);
    report.note(QStringLiteral("CPU of the whole process without the thread writing to the pty"));
}

} // namespace Scenarios
