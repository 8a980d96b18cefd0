#include "pty.h"
#include "quitsignals.h"
#include "termiosdevice.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSocketNotifier>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr auto HoldPortArgument = "--hold-port";

// The child: the program's way of holding a port, in small. It opens the port, says "open",
// and then ends as told: by a quit signal sent to it, or, at a line on its input, by exit(1)
// from its event loop (what Qt's X11 plugin does when the display connection breaks) or by
// abort().
int holdPort(int argc, char *argv[])
{
    const rlimit noCoreDump{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCoreDump);
    QCoreApplication app(argc, argv);
    QuitSignals quitSignals;
    TermiosDevice device;
    if (!device.open(QString::fromLocal8Bit(argv[2])).ok())
        return 2;
    const QByteArray ending = argv[3];
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [ending] {
        if (ending == "exit")
            std::exit(1);
        if (ending == "abort")
            std::abort();
    });
    std::puts("open");
    std::fflush(stdout);
    return app.exec();
}

} // namespace

// However the program ends, short of SIGKILL, the port is left with the settings it had.
class PortRestoreTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void settingsPutBack_data();
    void settingsPutBack();
};

void PortRestoreTest::settingsPutBack_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<int>("signal");
    QTest::addRow("SIGTERM") << "signal" << SIGTERM;
    QTest::addRow("SIGINT") << "signal" << SIGINT;
    QTest::addRow("SIGHUP") << "signal" << SIGHUP;
    QTest::addRow("exit(1) from the event loop") << "exit" << 0;
    QTest::addRow("abort()") << "abort" << 0;
    // Fatal signals from outside: the program does not quit, it is ended.
    QTest::addRow("SIGSEGV from another process") << "signal" << SIGSEGV;
    QTest::addRow("SIGBUS from another process") << "signal" << SIGBUS;
}

void PortRestoreTest::settingsPutBack()
{
    QFETCH(QString, ending);
    QFETCH(int, signal);
    Pty pty;
    QVERIFY(pty.isValid());
    QVERIFY(pty.setSlaveSettings(oddSettings(pty.slaveSettings())));
    const termios before = pty.slaveSettings();

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Under AddressSanitizer its own handler would take the fatal signals and end the child
    // before the program's handlers run; the program as shipped has no such handler.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS"))
                           + QStringLiteral(":handle_segv=0:handle_sigbus=0"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(HoldPortArgument), pty.slavePath(), ending});
    QVERIFY(child.waitForStarted());
    while (!child.canReadLine())
        QVERIFY2(child.waitForReadyRead(10'000), "the child did not open the port");
    QCOMPARE(child.readLine(), QByteArray("open\n"));
    const termios held = pty.slaveSettings();
    QCOMPARE(cfgetispeed(&held), speed_t(B9600));

    if (signal != 0)
        QCOMPARE(::kill(pid_t(child.processId()), signal), 0);
    else
        child.write("end\n");
    QVERIFY(child.waitForFinished(10'000));
    if (signal == SIGTERM || signal == SIGINT || signal == SIGHUP)
        QCOMPARE(child.exitStatus(), QProcess::NormalExit); // quit the normal way
    else if (signal != 0)
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    QVERIFY(sameSettings(pty.slaveSettings(), before));
    TermiosDevice next;
    QVERIFY(next.open(pty.slavePath()).ok()); // nothing left claiming the port
}

int main(int argc, char *argv[])
{
    if (argc == 4 && qstrcmp(argv[1], HoldPortArgument) == 0)
        return holdPort(argc, argv);
    QCoreApplication app(argc, argv);
    PortRestoreTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_portrestore.moc"
