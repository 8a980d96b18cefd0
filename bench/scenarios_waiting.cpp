#include "clocks.h"
#include "devicewatcher.h"
#include "feedback.h"
#include "form1.h"
#include "historybox.h"
#include "report.h"
#include "scenarios.h"
#include "termiosdevice.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double IdleTargetPercent = 0.5;
constexpr double KeyTargetMs = 50;
constexpr int Neighbours = 2000;
constexpr int DescriptorsEach = 100;
constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

// No boxes: the start-up scan's report would wait for a user.
class SilentFeedback : public Feedback
{
public:
    void beep() override {}
    void messageBox(const QString &, const QString &) override {}
};

// Notes when a widget paints.
class PaintClock : public QObject
{
public:
    qint64 lastNs = 0;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            lastNs = monotonicNs();
        return QObject::eventFilter(watched, event);
    }
};

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Processes of another user holding descriptors: what a busy machine looks like to a program
// that looks for a port's users.
std::vector<pid_t> startNeighbours()
{
    std::vector<pid_t> pids;
    for (int i = 0; i < Neighbours; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgid(NoGroup) != 0 || setuid(Nobody) != 0)
                _exit(1);
            for (int n = 0; n < DescriptorsEach; ++n)
                open("/dev/null", O_RDONLY);
            for (;;)
                pause();
        }
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

} // namespace

namespace Scenarios {

int waitingProbe(const QString &port, int seconds)
{
    auto core = std::make_unique<TesterCore>(
        std::make_unique<TermiosDevice>(), [port] { return QStringList{port}; },
        std::make_unique<SilentFeedback>());
    core->watchDevices(std::make_unique<DeviceWatcher>([port] { return QStringList{port}; }));
    Form1 window(std::move(core));
    window.show();
    auto *history = window.findChild<HistoryBox *>(QStringLiteral("TextReceivedTxt"));
    PaintClock painted;
    history->viewport()->installEventFilter(&painted);
    history->setFocus();
    // The start-up scan, its report and the first retries.
    runFor(3000);
    if (window.core().comPort().PortOpen()) {
        std::fprintf(stderr, "lumora-bench: the held port was opened\n");
        return 2;
    }
    const qint64 cpuFrom = processCpuNs();
    const qint64 wallFrom = monotonicNs();
    double slowestKey = 0;
    // A key a second, each at a different moment of the retry's second.
    for (int i = 0; i < seconds; ++i) {
        runFor(1000 + 37 * (i % 7));
        const qint64 pressed = monotonicNs();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, {}, QStringLiteral("a"));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, {}, QStringLiteral("a"));
        QApplication::sendEvent(history, &press);
        QApplication::sendEvent(history, &release);
        for (int waited = 0; painted.lastNs <= pressed && waited < 1000; waited += 1)
            runFor(1);
        slowestKey = std::max(slowestKey, double(painted.lastNs - pressed) / 1e6);
    }
    const double percent
        = 100.0 * double(processCpuNs() - cpuFrom) / double(monotonicNs() - wallFrom);
    std::printf("%f %f\n", percent, slowestKey);
    return 0;
}

void waiting(bool quick, Report &report)
{
    const int seconds = quick ? 5 : 30;
    report.setSection(QStringLiteral("Waiting for a port held by another user's process, with "
                                     "%1 processes of %2 descriptors each: %3 s")
                          .arg(Neighbours)
                          .arg(DescriptorsEach)
                          .arg(seconds));
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

    const std::vector<pid_t> neighbours = startNeighbours();
    QProcess probe;
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The X server's cookie, readable by the probe's user.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString cookie = env.value(QStringLiteral("XAUTHORITY"));
    const QString copy = QStringLiteral("/tmp/lumora-bench-xauth-%1").arg(getpid());
    if (!cookie.isEmpty() && QFile::copy(cookie, copy)) {
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        env.insert(QStringLiteral("XAUTHORITY"), copy);
    }
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("/tmp"));
    probe.setProcessEnvironment(env);
    probe.setChildProcessModifier([] {
        if (setgid(NoGroup) != 0 || setuid(Nobody) != 0)
            _exit(3);
    });
    probe.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--waiting-probe"), port, QString::number(seconds)});
    probe.waitForFinished((seconds + 60) * 1000);
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
    report.add(QStringLiteral("waiting.cpu_percent"), QStringLiteral("CPU, share of one core"),
               figures[0].toDouble(), QStringLiteral("%"), Report::Bound::AtMost, IdleTargetPercent,
               2);
    report.add(QStringLiteral("waiting.key_ms"),
               QStringLiteral("a key a second in the history, slowest to its repaint"),
               figures[1].toDouble(), QStringLiteral("ms"), Report::Bound::AtMost, KeyTargetMs, 1);
}

} // namespace Scenarios
