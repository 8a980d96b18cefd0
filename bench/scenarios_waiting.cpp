#include "benchrig.h"
#include "historybox.h"
#include "proc.h"
#include "report.h"
#include "scenarios.h"
#include "testercore.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int Neighbours = 2000;
constexpr int DescriptorsEach = 100;
constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

bool becomeNobody()
{
    return setgid(NoGroup) == 0 && setuid(Nobody) == 0;
}

// Processes of another user holding descriptors: what a busy machine looks like to a program
// that looks for a port's users.
std::vector<pid_t> startNeighbours()
{
    std::vector<pid_t> pids;
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
            pids.push_back(pid);
    }
    return pids;
}

} // namespace

namespace Scenarios {

int waitingProbe(const QString &port, int seconds)
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
    for (int i = 0; i < seconds; ++i) {
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
    const int seconds = 30;
    report.setSection(u"Waiting for a port held by another user's process, with %1 processes of "
                      u"%2 descriptors each: %3 s"_s.arg(Neighbours)
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
    probe.start(QCoreApplication::applicationFilePath(),
                {u"--waiting-probe"_s, port, QString::number(seconds)});
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
    report.add(u"waiting.cpu_percent"_s, u"CPU, share of one core"_s, figures[0].toDouble(), u"%"_s,
               Report::AtMost, 0.5, 2);
    report.add(u"waiting.key_ms"_s, u"a key a second in the history, slowest to its repaint"_s,
               figures[1].toDouble(), u"ms"_s, Report::AtMost, KeyTargetMs, 1);
}

} // namespace Scenarios
