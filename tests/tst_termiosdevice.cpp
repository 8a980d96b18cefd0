#include "commevents.h"
#include "cpuclock.h"
#include "pty.h"
#include "receivebuffer.h"
#include "recordingsink.h"
#include "termiosdevice.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <ctime>
#include <optional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The open device's read path: every byte exactly, within the room given, the terminal's marks
// as events in their place, a hang-up, and settings changed behind its back.
class TestTermiosDevice : public QObject
{
    Q_OBJECT

private:
    // Connects the device like the control does: every readyRead drains into `sink`, and line
    // events found beside the reads join it.
    void drainOnReadyRead(TermiosDevice &device, RecordingSink &sink)
    {
        connect(&device, &SerialDevice::readyRead, this,
                [&device, &sink] { QVERIFY(device.drain(sink, 1 << 16).ok()); });
        connect(&device, &SerialDevice::lineEvents, this, [&sink](const QList<qint16> &codes) {
            for (const qint16 code : codes)
                sink.receiveEvent(code);
        });
    }

private Q_SLOTS:
    void bytesArriveExactly_data();
    void bytesArriveExactly();
    void bytesArriveExactlyInReceiveBuffer();
    void drainStaysWithinRoom_data();
    void drainStaysWithinRoom();
    void marksBecomeEventsInPlace_data();
    void marksBecomeEventsInPlace();
    void hangUpLosesDevice_data();
    void hangUpLosesDevice();
    void changedSettingsReportedAndRestored();
};

void TestTermiosDevice::bytesArriveExactly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    QByteArray random(1 << 20, Qt::Uninitialized);
    QRandomGenerator(20240611).fillRange(reinterpret_cast<quint32 *>(random.data()),
                                         random.size() / 4);
    QTest::addRow("every byte value") << all;
    QTest::addRow("random megabyte") << random;
}

// The terminal doubles each 0xFF; nothing else may change on the way.
void TestTermiosDevice::bytesArriveExactly()
{
    QFETCH(QByteArray, bytes);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    RecordingSink sink;
    drainOnReadyRead(device, sink);

    QSignalSpy readyRead(&device, &SerialDevice::readyRead);
    qsizetype sent = 0;
    while (sink.data.size() < bytes.size()) {
        const qsizetype written = pty.write(bytes.mid(sent, 16384));
        QVERIFY(written >= 0);
        sent += written;
        if (sink.data.size() < sent)
            QVERIFY(readyRead.wait(5000));
    }
    QVERIFY(sink.data == bytes);
    QVERIFY(sink.events.isEmpty());
}

// The control's buffer is read into in place, and the terminal's doubled 0xFF bytes move the
// rest of a read down: however reads and takes interleave, what comes out is what was sent.
void TestTermiosDevice::bytesArriveExactlyInReceiveBuffer()
{
    QByteArray bytes(1 << 18, Qt::Uninitialized);
    QRandomGenerator random(20261209);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    ReceiveBuffer buffer(1000);
    QSignalSpy readyRead(&device, &SerialDevice::readyRead);

    QString received;
    qsizetype sent = 0;
    while (received.size() < bytes.size()) {
        if (sent < bytes.size()) {
            const qsizetype written = pty.write(bytes.mid(sent, 4096));
            QVERIFY(written >= 0);
            sent += written;
        }
        QVERIFY(device.drain(buffer, buffer.space()).ok());
        if (buffer.bytesWaiting() == 0 && sent == bytes.size())
            QVERIFY(readyRead.wait(5000));
        received += buffer.take(random.bounded(1, 700));
    }
    QVERIFY(received == QString::fromLatin1(bytes));
    QCOMPARE(buffer.nextEvent(), qint16(0));
}

void TestTermiosDevice::drainStaysWithinRoom_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qsizetype>("room");
    const QByteArray mixed = QByteArray("\xff\x00\xff\xff"
                                        "A\xff",
                                        6)
                                 .repeated(50);
    QTest::addRow("0xFF only, room 1") << QByteArray(300, '\xff') << qsizetype(1);
    QTest::addRow("0xFF only, room 2") << QByteArray(300, '\xff') << qsizetype(2);
    QTest::addRow("mixed, room 1") << mixed << qsizetype(1);
    QTest::addRow("mixed, room 7") << mixed << qsizetype(7);
}

void TestTermiosDevice::drainStaysWithinRoom()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qsizetype, room);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    QSignalSpy readyRead(&device, &SerialDevice::readyRead);
    QCOMPARE(pty.write(bytes), bytes.size());

    RecordingSink sink;
    while (sink.data.size() < bytes.size()) {
        const qsizetype before = sink.data.size();
        QVERIFY(device.drain(sink, room).ok());
        QVERIFY(sink.data.size() - before <= room);
        if (sink.data.size() == before)
            QVERIFY(readyRead.wait(5000));
    }
    QCOMPARE(sink.data, bytes);
    QVERIFY(sink.events.isEmpty());
}

void TestTermiosDevice::marksBecomeEventsInPlace_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qsizetype>("position");
    QTest::addColumn<int>("event");
    QTest::addRow("break") << QByteArray("A\xff\x00\x00"
                                         "B",
                                         5)
                           << QByteArray("AB") << qsizetype(1) << int(comEventBreak);
    QTest::addRow("framing error") << QByteArray("A\xff\x00"
                                                 "CB",
                                                 5)
                                   << QByteArray("ACB") << qsizetype(1) << int(comEventFrame);
}

// A pseudo-terminal cannot produce line errors. With PARMRK cleared behind the device's back
// the terminal passes bytes unmarked, so the far end can send the marks itself.
void TestTermiosDevice::marksBecomeEventsInPlace()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, data);
    QFETCH(qsizetype, position);
    QFETCH(int, event);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    termios unmarked = pty.slaveSettings();
    unmarked.c_iflag &= ~PARMRK;
    QVERIFY(pty.setSlaveSettings(unmarked));
    RecordingSink sink;
    drainOnReadyRead(device, sink);

    QCOMPARE(pty.write(line), line.size());
    QTRY_COMPARE(sink.data, data);
    QCOMPARE(sink.events.size(), 1);
    QCOMPARE(sink.events.first().first, position);
    QCOMPARE(sink.events.first().second, qint16(event));
}

void TestTermiosDevice::hangUpLosesDevice_data()
{
    QTest::addColumn<bool>("reading");
    QTest::addRow("reading") << true;
    QTest::addRow("reading paused") << false;
}

void TestTermiosDevice::hangUpLosesDevice()
{
    QFETCH(bool, reading);
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    QVERIFY(device.open(pty.slavePath()).ok());
    device.setReadNotification(reading);
    RecordingSink sink;
    int failedDrains = 0;
    connect(&device, &SerialDevice::readyRead, this, [&] {
        if (!device.drain(sink, 1 << 16).ok())
            ++failedDrains;
    });
    QSignalSpy lost(&device, &SerialDevice::lost);
    QSignalSpy readyRead(&device, &SerialDevice::readyRead);

    // While reading, the read finds the device gone and says so in its result; while reading
    // is paused, the device tells by itself.
    QElapsedTimer sinceHangUp;
    sinceHangUp.start();
    pty.hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(failedDrains + lost.size() > 0, 2000);
    QVERIFY2(sinceHangUp.elapsed() < 500, qPrintable(QString::number(sinceHangUp.elapsed())));
    QCOMPARE(failedDrains, reading ? 1 : 0);
    QCOMPARE(lost.size(), reading ? 0 : 1);
    QVERIFY(!device.isOpen());
    QVERIFY(sink.data.isEmpty());

    // A hung-up terminal is readable forever: nothing may keep reacting to it.
    const qsizetype notified = readyRead.size();
    const qint64 cpuBefore = processCpuNs();
    QTest::qWait(200);
    QCOMPARE(readyRead.size(), notified);
    QCOMPARE(failedDrains + lost.size(), 1);
    QVERIFY(processCpuNs() - cpuBefore < 50'000'000);
}

void TestTermiosDevice::changedSettingsReportedAndRestored()
{
    Pty pty;
    QVERIFY(pty.isValid());
    TermiosDevice device;
    RecordingSink sink;
    drainOnReadyRead(device, sink);
    QVERIFY(device.open(pty.slavePath()).ok());

    // A privileged program slows the port down behind our back.
    termios changed = pty.slaveSettings();
    cfsetispeed(&changed, B4800);
    cfsetospeed(&changed, B4800);
    QVERIFY(pty.setSlaveSettings(changed));
    QTRY_COMPARE(sink.events.size(), 1);
    QCOMPARE(sink.events.first().second, qint16(comEventDCB));
    const termios restored = pty.slaveSettings();
    QCOMPARE(cfgetispeed(&restored), speed_t(B9600));

    // Reported once per change, and data still arrives exactly.
    QCOMPARE(pty.write("ok"), 2);
    QTRY_COMPARE(sink.data, QByteArray("ok"));
    QCOMPARE(sink.events.size(), 1);
}

QTEST_GUILESS_MAIN(TestTermiosDevice)
#include "tst_termiosdevice.moc"
