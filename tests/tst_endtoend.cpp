#include "bytes.h"
#include "devicewatcher.h"
#include "form1.h"
#include "historybox.h"
#include "pty.h"
#include "recordingfeedback.h"
#include "termiosdevice.h"
#include "testmain.h"
#include "textbox.h"

#include <QLabel>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
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
    struct Rig
    {
        Rig()
        {
            auto feedback = std::make_unique<RecordingFeedback>();
            beeps = feedback->beeps;
            boxes = feedback->boxes;
            form = std::make_unique<Form1>(
                std::make_unique<TermiosDevice>(QStringList{lockDir.path()}),
                [list = ports] { return *list; }, std::move(feedback));
        }
        // Opens the port as the scan would, on `pty`.
        void open(const Pty &pty)
        {
            *ports = QStringList{pty.slavePath()};
            form->Form_Activate();
        }

        QTemporaryDir lockDir;
        std::shared_ptr<QStringList> ports = std::make_shared<QStringList>();
        std::shared_ptr<int> beeps;
        std::shared_ptr<QList<RecordingFeedback::Box>> boxes;
        std::unique_ptr<Form1> form;
    };
};

static double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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
    rig.form->Form_Activate();
    QCOMPARE(rig.boxes->size(), 1);
    QCOMPARE(rig.boxes->first().text,
             QStringLiteral("Com Port 1 unavailable\rCom Port 2 available\r"
                            "Com Port 3 unavailable\rCom Port 4 unavailable\r"));
    QCOMPARE(rig.form->CommLabel->text(), QStringLiteral("Connect to Comm 2"));
    QCOMPARE(rig.form->ComPort->devicePath(), free.slavePath());
    ::close(other);
}

void EndToEndTest::barcodeArrives()
{
    Pty pty;
    Rig rig;
    rig.open(pty);
    QVERIFY(rig.form->ComPort->PortOpen());
    QCOMPARE(pty.write("4006381333931\r"), 14);
    QTRY_COMPARE(rig.form->BarCodeText->Text(), QStringLiteral("4006381333931"));
    QCOMPARE(rig.form->TextReceivedTxt->Text(), QStringLiteral("4006381333931\r\n"));
    QCOMPARE(*rig.beeps, 14);
    QCOMPARE(rig.form->ReceivedData->BackColor(), QColor(0, 255, 0));
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
    QTRY_COMPARE(rig.form->barCodeBuffer().size(), expected.size());
    QCOMPARE(rig.form->barCodeBuffer(), expected);
    QCOMPARE(rig.form->TextReceivedTxt->Text(), expected);
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
    QTRY_COMPARE_WITH_TIMEOUT(rig.form->TextReceivedTxt->Text().size(), expectedHistory.size(),
                              20000);
    QVERIFY(rig.form->TextReceivedTxt->Text() == expectedHistory);
}

void EndToEndTest::hangUpClosesAndIdles()
{
    Pty pty;
    Rig rig;
    rig.open(pty);
    QCOMPARE(rig.form->CommLabel->text(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(pty.write("123"), 3);
    QTRY_COMPARE(rig.form->barCodeBuffer(), QStringLiteral("123"));

    QElapsedTimer timer;
    timer.start();
    pty.hangUp();
    QTRY_VERIFY(!rig.form->ComPort->PortOpen());
    const qint64 closedAfter = timer.elapsed();
    qInfo("port closed %lld ms after the hang-up", closedAfter);
    QCOMPARE(rig.form->CommLabel->text(), QStringLiteral("No RS232 Connection"));
    // No phantom characters: nothing arrives after the hang-up.
    QCOMPARE(rig.form->barCodeBuffer(), QStringLiteral("123"));
    QCOMPARE(*rig.beeps, 3);

    // A hung-up terminal must not keep the event loop spinning.
    const double before = cpuSeconds();
    timer.restart();
    QTest::qWait(500);
    const double share = (cpuSeconds() - before) / (timer.elapsed() / 1000.0);
    qInfo("CPU after the hang-up: %.2f%% of a core", share * 100);
    QVERIFY2(share < 0.5, "the event loop spins after a hang-up");
}

void EndToEndTest::replugPickedUpAgain()
{
    auto first = std::make_unique<Pty>();
    Rig rig;
    rig.form->watchDevices(
        new DeviceWatcher([list = rig.ports] { return *list; }, std::chrono::milliseconds(20)));
    rig.form->show();
    *rig.ports = QStringList{first->slavePath()};
    QTRY_COMPARE(rig.form->CommLabel->text(), QStringLiteral("Connect to Comm 1"));

    // Pulled out: the device disappears from the list.
    first->hangUp();
    *rig.ports = QStringList{};
    QTRY_COMPARE(rig.form->CommLabel->text(), QStringLiteral("No RS232 Connection"));
    const qsizetype boxesBefore = rig.boxes->size();

    // Plugged back in: a new terminal at the port; the scan runs again and opens it.
    Pty second;
    *rig.ports = QStringList{second.slavePath()};
    QTRY_COMPARE(rig.form->CommLabel->text(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig.form->ComPort->devicePath(), second.slavePath());
    QCOMPARE(rig.boxes->size(), boxesBefore + 1);
    QCOMPARE(second.write("9\r"), 2);
    QTRY_COMPARE(rig.form->BarCodeText->Text(), QStringLiteral("9"));
}

LUMORA_TEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
