#include "bytes.h"
#include "cpuclock.h"
#include "devicewatcher.h"
#include "pty.h"
#include "termiosdevice.h"
#include "testerrig.h"
#include "testmain.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The window on the real terminal device, with pseudo-terminals as the serial ports: what a
// scanner sends crosses the OS exactly as it would from a USB adapter.
class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scanSkipsHeldPort();
    void barcodeArrives();
    void everyByteValueArrives();
    void randomStreamArrivesExactly();
    void hangUpClosesAndIdles();
    void replugPickedUpAgain();

private:
    // The window on the terminal device; its lock folder is a fresh one of its own.
    struct Rig : TesterRig
    {
        Rig()
            : TesterRig(std::make_unique<TermiosDevice>(QStringList{lockDir().path()}), {})
        {}
        // Opens the port as the scan would, on `pty`.
        void open(const Pty &pty)
        {
            *ports = QStringList{pty.slavePath()};
            scan();
        }
        static const QTemporaryDir &lockDir()
        {
            static const QTemporaryDir dir;
            return dir;
        }
    };
};

void EndToEndTest::scanSkipsHeldPort()
{
    Pty held, free;
    QVERIFY(held.isValid() && free.isValid());
    // Another terminal program holds the first port the way such programs do.
    const int other = ::open(held.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(other >= 0);
    QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);

    Rig rig;
    *rig.ports = QStringList{held.slavePath(), free.slavePath()};
    rig.scan();
    QCOMPARE(rig.record->boxes.size(), 1);
    QCOMPARE(rig.record->boxes.first().text,
             QStringLiteral("Com Port 1 unavailable\rCom Port 2 available\r"
                            "Com Port 3 unavailable\rCom Port 4 unavailable\r"));
    QCOMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 2"));
    QCOMPARE(rig.core().comPort().devicePath(), free.slavePath());
    ::close(other);
}

void EndToEndTest::barcodeArrives()
{
    Pty pty;
    Rig rig;
    rig.open(pty);
    QVERIFY(rig.core().comPort().PortOpen());
    QCOMPARE(pty.write("4006381333931\r"), 14);
    QTRY_COMPARE(rig.core().barCodeText(), QStringLiteral("4006381333931"));
    QCOMPARE(rig.core().history(), QStringLiteral("4006381333931\r\n"));
    QCOMPARE(rig.record->beeps, 14);
    QCOMPARE(rig.core().indicator(), TesterCore::IndicatorGreen);
}

void EndToEndTest::everyByteValueArrives()
{
    Pty pty;
    Rig rig;
    rig.open(pty);
    const QByteArray bytes = everyByteExceptCr();
    // Each byte is the character with the same code.
    const QString expected = QString::fromLatin1(bytes);
    QCOMPARE(pty.write(bytes), bytes.size());
    QTRY_COMPARE(rig.core().barCodeBuffer().size(), expected.size());
    QCOMPARE(rig.core().barCodeBuffer(), expected);
    QCOMPARE(rig.core().history(), expected);
}

void EndToEndTest::randomStreamArrivesExactly()
{
    Pty pty;
    Rig rig;
    rig.open(pty);
    // 64 KiB of random bytes, 0xFF and NUL included; CR only where a barcode ends.
    QByteArray bytes(64 * 1024, Qt::Uninitialized);
    auto *random = QRandomGenerator::global();
    QString expectedHistory;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        char c = char(random->bounded(256));
        if (c == '\r' && i % 97 != 0)
            c = 'x';
        bytes[i] = c;
        expectedHistory += c == '\r' ? QStringLiteral("\r\n") : QString(QChar(char16_t(uchar(c))));
    }
    qsizetype sent = 0;
    QElapsedTimer timer;
    timer.start();
    while (sent < bytes.size() && timer.elapsed() < 20000) {
        const qsizetype n = pty.write(bytes.mid(sent, 4096));
        QVERIFY(n >= 0);
        sent += n;
        QCoreApplication::processEvents();
    }
    QCOMPARE(sent, bytes.size());
    QTRY_COMPARE_WITH_TIMEOUT(rig.core().history().size(), expectedHistory.size(), 20000);
    QVERIFY(rig.core().history() == expectedHistory);
}

void EndToEndTest::hangUpClosesAndIdles()
{
    Pty pty;
    Rig rig;
    rig.open(pty);
    QCOMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(pty.write("123"), 3);
    QTRY_COMPARE(rig.core().barCodeBuffer(), QStringLiteral("123"));

    QElapsedTimer timer;
    timer.start();
    pty.hangUp();
    QTRY_VERIFY(!rig.core().comPort().PortOpen());
    const qint64 closedAfter = timer.elapsed();
    qInfo("port closed %lld ms after the hang-up", closedAfter);
    QCOMPARE(rig.core().commLabel(), QStringLiteral("No RS232 Connection"));
    // No phantom characters: nothing arrives after the hang-up.
    QCOMPARE(rig.core().barCodeBuffer(), QStringLiteral("123"));
    QCOMPARE(rig.record->beeps, 3);

    // A hung-up terminal must not keep the event loop spinning.
    const qint64 before = processCpuNs();
    timer.restart();
    QTest::qWait(500);
    const double share = double(processCpuNs() - before) / (timer.elapsed() * 1e6);
    qInfo("CPU after the hang-up: %.2f%% of a core", share * 100);
    QVERIFY2(share < 0.5, "the event loop spins after a hang-up");
}

void EndToEndTest::replugPickedUpAgain()
{
    auto first = std::make_unique<Pty>();
    Rig rig;
    rig.core().watchDevices(std::make_unique<DeviceWatcher>([list = rig.ports] { return *list; },
                                                            std::chrono::milliseconds(20)));
    rig.form().show();
    *rig.ports = QStringList{first->slavePath()};
    QTRY_COMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 1"));

    // Pulled out: the device disappears from the list. (The next terminal is made first, so
    // that it gets another name: a device back under its old name is reopened quietly.)
    Pty second;
    first->hangUp();
    *rig.ports = QStringList{};
    QTRY_COMPARE(rig.core().commLabel(), QStringLiteral("No RS232 Connection"));
    const qsizetype boxesBefore = rig.record->boxes.size();

    // Plugged back in: a new device; the scan runs again and opens it.
    *rig.ports = QStringList{second.slavePath()};
    QTRY_COMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig.core().comPort().devicePath(), second.slavePath());
    QCOMPARE(rig.record->boxes.size(), boxesBefore + 1);
    QCOMPARE(second.write("9\r"), 2);
    QTRY_COMPARE(rig.core().barCodeText(), QStringLiteral("9"));
}

LUMORA_TEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
