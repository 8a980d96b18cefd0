#include "benchrig.h"
#include "historybox.h"
#include "proc.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"
#include "traffic.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The window with a large history or barcode, or waiting for a port: its memory, and how soon
// keys reach the screen.

namespace {

constexpr int WaitingSeconds = 30;
constexpr int Neighbours = 2000;
constexpr int DescriptorsEach = 100;

bool becomeNobody()
{
    return setgid(65534) == 0 && setuid(65534) == 0;
}

// Characters in a day at 9600 baud, 10 bits a character.
constexpr qint64 DayChars = 82'944'000;
constexpr qint64 BlockBarcodes = 71'429; // 1,000,006 characters

// Feeds `total` characters of barcodes at full speed, a million at a time, so that what is
// sent costs the process little memory of its own. Returns the CPU seconds taken.
double feedBarcodes(BenchRig &rig, qint64 total, qint64 &first)
{
    double cpu = 0;
    for (qint64 fed = 0, count = 0; fed < total; fed += count * Traffic::BarcodeChars) {
        count = std::min(BlockBarcodes, (total - fed) / Traffic::BarcodeChars + 1);
        cpu += rig.feed(Traffic::barcodes(count, std::exchange(first, first + count)));
    }
    return cpu;
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
    rig.historyBox()->setFocus();
    for (const qint64 size :
         quick ? std::vector<qint64>{1'000'000} : std::vector<qint64>{10'000'000, 30'000'000}) {
        report.setSection(
            u"Typing into a history of %1M characters with a line of 3,000: key press to screen"_s
                .arg(size / 1'000'000));
        const QString barcodes = Traffic::historyOf(Traffic::barcodes((size - 3000) / 14, 0));
        rig.setHistory(barcodes.left(barcodes.size() / 2) + QString(3000, u'5') + u"\r\n"_s
                       + barcodes.mid(barcodes.size() / 2));
        for (const bool atEnd : {true, false}) {
            rig.pressToScreen(rig.historyBox(), atEnd ? Qt::Key_End : Qt::Key_Home,
                              Qt::ControlModifier);
            double worst = 0;
            for (int i = 0; i < 20; ++i)
                worst = std::max(worst, rig.pressToScreen(rig.historyBox(), Qt::Key_A));
            report.add(u"typing_%1m.%2_ms"_s.arg(size / 1'000'000).arg(atEnd ? "end" : "start"),
                       u"a key at the %1, slowest of 20"_s.arg(atEnd ? "end" : "start"), worst,
                       u"ms"_s, Report::AtMost, KeyTargetMs, 1);
        }
    }

    report.setSection(u"Pasting 1 MB into the history: paste to screen"_s);
    rig.setHistory(QString());
    for (const auto &[name, label, text] :
         {std::tuple{"one_line", "1 MB as one line", QString(1'000'000, u'7')},
          std::tuple{"lines", "1 MB in 100-character lines",
                     (QString(99, u'7') + u'\n').repeated(10'000)}}) {
        QGuiApplication::clipboard()->setText(text);
        report.add(u"paste.%1_ms"_s.arg(name), QString::fromLatin1(label),
                   rig.pressToScreen(rig.historyBox(), Qt::Key_V, Qt::ControlModifier), u"ms"_s,
                   Report::AtMost, KeyTargetMs, 1);
    }
}

void longBarcode(BenchRig &rig, bool quick, Report &report)
{
    QWidget *box = rig.barcodeBox();
    for (const qint64 chars :
         quick ? std::vector<qint64>{200'000} : std::vector<qint64>{2'000'000, 10'000'000}) {
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
        rig.feeder().start("\r");
        const double drawnMs = rig.msToPaint(rig.barcodePaints(), cpu.wallNs);
        rig.feeder().stop();
        const double crCpu = std::isfinite(drawnMs) ? cpu.seconds(rig.feeder().cpuNs()) : drawnMs;

        // A click and keys as a user gives them, each to the box's next frame done.
        box->activateWindow();
        box->setFocus();
        const qint64 clicked = monotonicNs();
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(20, box->height() / 2));
        std::vector<std::pair<QString, double>> keyMs{
            {u"click"_s, rig.msToPaint(rig.barcodePaints(), clicked)}};
        for (const auto &[name, key, modifiers] : {std::tuple{"Home", Qt::Key_Home, Qt::NoModifier},
                                                   {"type at start", Qt::Key_A, {}},
                                                   {"End", Qt::Key_End, {}},
                                                   {"type at end", Qt::Key_B, {}},
                                                   {"select all", Qt::Key_A, Qt::ControlModifier}})
            keyMs.emplace_back(QString::fromLatin1(name),
                               rig.pressToScreen(box, key, modifiers, 60'000));
        const double slowest = std::max_element(keyMs.begin(), keyMs.end(), [](auto &a, auto &b) {
                                   return a.second < b.second;
                               })->second;
        const qint64 peak = memoryBytes("VmHWM");
        rig.timer1()->start();

        const double twiceTextMiB = double(chars) * 2 * 2 / (1 << 20); // 2 bytes a character
        const QString key = u"barcode_%1."_s.arg(chars);
        report.add(key + u"cr_cpu_seconds"_s, u"CPU from the CR to the barcode on screen"_s, crCpu,
                   u"s"_s, Report::AtMost, 0.2, 3);
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
        report.addIntegrity(u"barcode_%1"_s.arg(chars),
                            Traffic::damagedChars(rig.core().barCodeText(),
                                                  u'a' + QString::fromLatin1(run) + u'b'));
    }
    // The box shows a short barcode again, for the parts that follow.
    rig.feed("0\r");
}

int waitingProbe(const QString &port)
{
    BenchRig rig(port);
    HistoryBox *history = rig.historyBox();
    history->window()->show();
    history->setFocus();
    // The start-up scan, its report and the first retries.
    rig.runFor(3000);
    if (rig.core().comPort().PortOpen()) {
        std::fprintf(stderr, "lumora-bench: the held port was opened\n");
        return 2;
    }
    const CpuSince cpu;
    double slowestKey = 0;
    // A key a second, each at a different moment of the retry's second.
    for (int i = 0; i < WaitingSeconds; ++i) {
        rig.runFor(1000 + 37 * (i % 7));
        slowestKey = std::max(slowestKey, rig.pressToScreen(history, Qt::Key_A));
    }
    std::printf("%f %f\n", cpu.percent(), slowestKey);
    return 0;
}

void waiting(BenchRig &, bool quick, Report &report)
{
    if (quick)
        return;
    report.setSection(u"Waiting for a port held by another user's process, with %1 processes of "
                      u"%2 descriptors each: %3 s"_s.arg(Neighbours)
                          .arg(DescriptorsEach)
                          .arg(WaitingSeconds));
    if (geteuid() != 0) {
        std::fprintf(stderr, "lumora-bench: waiting: needs root to run Lumora as another user\n");
        return;
    }
    // The port: a pseudo-terminal held open exclusively by this process (root), which an
    // ordinary user's Lumora can neither open nor see the holder of.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return;
    const QString port = QString::fromLocal8Bit(ptsname(master));
    const int held = open(ptsname(master), O_RDWR | O_NOCTTY);
    chmod(ptsname(master), 0666);
    ioctl(held, TIOCEXCL);
    // Processes of that user holding descriptors: what a busy machine looks like to a program
    // that looks for a port's users.
    std::vector<pid_t> neighbours;
    for (int i = 0; i < Neighbours; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (!becomeNobody())
                _exit(1);
            for (int n = 0; n < DescriptorsEach; ++n)
                open("/dev/null", O_RDONLY);
            for (;;)
                pause();
        }
        if (pid > 0)
            neighbours.push_back(pid);
    }

    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The X server's cookie, readable by the probe's user.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString cookie = env.value(u"XAUTHORITY"_s);
    const QString copy = u"/tmp/lumora-bench-xauth-%1"_s.arg(getpid());
    if (!cookie.isEmpty() && QFile::copy(cookie, copy)) {
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        env.insert(u"XAUTHORITY"_s, copy);
    }
    env.insert(u"XDG_RUNTIME_DIR"_s, u"/tmp"_s);
    probe.setProcessEnvironment(env);
    probe.setChildProcessModifier([] {
        if (!becomeNobody())
            _exit(3);
    });
    probe.start(QCoreApplication::applicationFilePath(), {u"--probe"_s, port});
    probe.waitForFinished((WaitingSeconds + 60) * 1000);
    const QList<QByteArray> figures = probe.readAllStandardOutput().trimmed().split(' ');
    for (const pid_t pid : neighbours)
        kill(pid, SIGKILL);
    for (const pid_t pid : neighbours)
        waitpid(pid, nullptr, 0);
    QFile::remove(copy);
    close(held);
    close(master);
    if (figures.size() != 2) {
        std::fprintf(stderr, "lumora-bench: waiting: the probe gave no figures\n");
        return;
    }
    report.add(u"waiting.cpu_percent"_s, u"CPU, share of one core"_s, figures[0].toDouble(), u"%"_s,
               Report::AtMost, 0.5, 2);
    report.add(u"waiting.key_ms"_s, u"a key a second in the history, slowest to its repaint"_s,
               figures[1].toDouble(), u"ms"_s, Report::AtMost, KeyTargetMs, 1);
}

} // namespace Scenarios
