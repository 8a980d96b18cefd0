#include "commcontrol.h"
#include "commevents.h"
#include "fakedevice.h"

#include <QSignalSpy>
#include <QTest>

#include <cerrno>

// The control's contract: failure numbers, one character per read, events in arrival order,
// a full buffer reported, a lost device closing the port after what it sent is delivered.
class CommControlTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openFailures_data();
    void openFailures();
    void operationsOnClosedPort();
    void harmlessWhileOpen();
    void portListHeldAcrossOpens();
    void oneCharacterPerRead();
    void eventsInArrivalOrder();
    void noEventWhenNothingWaits();
    void fullBufferReportedOnce();
    void lineEventsWhileBufferFull();
    void lostDeviceDeliversThenCloses_data();
    void lostDeviceDeliversThenCloses();

private:
    struct Rig
    {
        explicit Rig(CommControl::Settings settings = {})
        {
            auto fake = std::make_unique<FakeDevice>();
            device = fake.get();
            control = std::make_unique<CommControl>(
                std::move(fake), [this] { return ports; }, settings);
        }
        // Runs the event loop until the control has reported everything, recording each
        // event; `read` says how a receive event is answered.
        QList<qint16> collect(bool read = true)
        {
            QList<qint16> codes;
            QObject context;
            QObject::connect(control.get(), &CommControl::OnComm, &context, [&] {
                codes.append(control->CommEvent());
                if (read && control->CommEvent() == comEvReceive)
                    received += control->Input().chars;
            });
            for (int i = 0; i < 1000 && !control->isIdle(); ++i)
                QCoreApplication::sendPostedEvents();
            return codes;
        }

        QStringList ports{"/fake/a", "/fake/b"};
        FakeDevice *device;
        std::unique_ptr<CommControl> control;
        QString received;
    };
};

void CommControlTest::openFailures_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("number");

    QTest::addRow("busy") << 1 << EBUSY << int(DeviceUnavailable);
    QTest::addRow("locked") << 1 << EWOULDBLOCK << int(DeviceUnavailable);
    QTest::addRow("forbidden") << 2 << EACCES << int(DeviceUnavailable);
    QTest::addRow("not a terminal") << 1 << ENOTTY << int(DeviceUnavailable);
    QTest::addRow("vanished") << 1 << ENOENT << int(BadPortNumber);
    QTest::addRow("no device behind the number") << 3 << 0 << int(BadPortNumber);
}

void CommControlTest::openFailures()
{
    QFETCH(int, port);
    QFETCH(int, error);
    QFETCH(int, number);

    Rig rig;
    if (error)
        rig.device->failures.insert(rig.ports.at(port - 1), error);
    QVERIFY(rig.control->setCommPort(qint16(port)).ok());
    const CommResult result = rig.control->setPortOpen(true);
    QCOMPARE(result.number(), number);
    // The message names the device and carries the OS's reason.
    QVERIFY(!result.message().isEmpty());
    if (error)
        QVERIFY2(result.message().contains(rig.ports.at(port - 1)), qPrintable(result.message()));
    QVERIFY(!rig.control->PortOpen());
    QVERIFY(!rig.device->isOpen());
}

void CommControlTest::operationsOnClosedPort()
{
    Rig rig;
    QCOMPARE(rig.control->setPortOpen(false).number(), int(PortNotOpen));
    QCOMPARE(rig.control->Input().result.number(), int(PortNotOpen));
    QCOMPARE(rig.control->setCommPort(0).number(), int(BadPortNumber));
    QCOMPARE(rig.control->CommPort(), qint16(1));
}

void CommControlTest::harmlessWhileOpen()
{
    // Opening an open port, or choosing another port while one is open, changes nothing of
    // the open port; the choice counts from the next open.
    Rig rig;
    QVERIFY(rig.control->setPortOpen(true).ok());
    QVERIFY(rig.control->setPortOpen(true).ok());
    QVERIFY(rig.control->setCommPort(2).ok());
    QCOMPARE(rig.device->opened, QStringList{QStringLiteral("/fake/a")});
    QCOMPARE(rig.control->devicePath(), QStringLiteral("/fake/a"));
    QVERIFY(rig.control->setPortOpen(false).ok());
    QVERIFY(rig.control->setPortOpen(true).ok());
    QCOMPARE(rig.device->path(), QStringLiteral("/fake/b"));
}

void CommControlTest::portListHeldAcrossOpens()
{
    Rig rig;
    QCOMPARE(rig.control->holdPortList(), rig.ports);
    rig.ports.prepend(QStringLiteral("/fake/new"));
    QVERIFY(rig.control->setPortOpen(true).ok());
    QCOMPARE(rig.device->path(), QStringLiteral("/fake/a"));
    QVERIFY(rig.control->setPortOpen(false).ok());
    rig.control->releasePortList();
    QVERIFY(rig.control->setPortOpen(true).ok());
    QCOMPARE(rig.device->path(), QStringLiteral("/fake/new"));
}

void CommControlTest::oneCharacterPerRead()
{
    Rig rig;
    QVERIFY(rig.control->setPortOpen(true).ok());
    rig.device->feed(QByteArray("A\r\0\xff", 4));
    const QList<qint16> codes = rig.collect();
    QCOMPARE(codes, QList<qint16>(4, comEvReceive));
    QCOMPARE(rig.received, QString::fromLatin1(QByteArray("A\r\0\xff", 4)));
}

void CommControlTest::eventsInArrivalOrder()
{
    Rig rig;
    QVERIFY(rig.control->setPortOpen(true).ok());
    rig.device->feed("ab");
    rig.device->feedEvent(comEventBreak);
    rig.device->feedEvent(comEvCTS);
    rig.device->feed("c");
    rig.device->feedEvent(comEventFrame);
    const QList<qint16> codes = rig.collect();
    QCOMPARE(codes, (QList<qint16>{2, 2, 1001, 3, 2, 1004}));
    QCOMPARE(rig.received, QStringLiteral("abc"));
}

void CommControlTest::noEventWhenNothingWaits()
{
    Rig rig;
    QVERIFY(rig.control->setPortOpen(true).ok());
    rig.device->feed("");
    QVERIFY(rig.collect().isEmpty());
    // A handler that leaves characters unread is asked again, later: not in a busy loop.
    rig.device->feed("x");
    QCOMPARE(rig.collect(false).size(), 1);
    QCOMPARE(rig.control->charsWaiting(), 1);
    int asked = 0;
    connect(rig.control.get(), &CommControl::OnComm, this, [&] {
        if (++asked == 2)
            rig.received += rig.control->Input().chars;
    });
    QTRY_COMPARE(rig.received, QStringLiteral("x"));
    QCOMPARE(asked, 2);
}

void CommControlTest::fullBufferReportedOnce()
{
    Rig rig(CommControl::Settings{.charsPerRead = 1, .bufferSize = 8});
    QVERIFY(rig.control->setPortOpen(true).ok());
    rig.device->feed("0123456789ABCDEFGHIJ"); // more than the buffer holds
    QCOMPARE(rig.control->charsWaiting(), 8);
    QVERIFY(!rig.device->notifying()); // the rest waits with the device
    // Reading resumes after a dispatch pass, never from inside a handler's Input().
    QObject context;
    int readsFromInput = 0;
    connect(rig.control.get(), &CommControl::OnComm, &context, [&] {
        const qsizetype before = rig.control->charsWaiting();
        if (rig.control->CommEvent() == comEvReceive) {
            rig.received += rig.control->Input().chars;
            readsFromInput += rig.control->charsWaiting() != before - 1;
        }
    });
    const QList<qint16> codes = rig.collect(false);
    QCOMPARE(readsFromInput, 0);
    QCOMPARE(codes.count(comEventRxOver), 1);
    // The overflow event sits where the buffer filled; nothing is lost.
    QCOMPARE(codes.indexOf(comEventRxOver), 8);
    QCOMPARE(rig.received, QStringLiteral("0123456789ABCDEFGHIJ"));
    QVERIFY(rig.device->notifying());
}

// A modem line that changes while the buffer is full is reported after what was read before it,
// and what still waited with the device follows it.
void CommControlTest::lineEventsWhileBufferFull()
{
    Rig rig(CommControl::Settings{.charsPerRead = 1, .bufferSize = 4});
    QVERIFY(rig.control->setPortOpen(true).ok());
    rig.device->feed("abcdef");
    rig.device->lineEvent(comEvCTS);
    const QList<qint16> codes = rig.collect();
    QCOMPARE(codes, (QList<qint16>{2, 2, 2, 2, 1008, 3, 2, 2}));
    QCOMPARE(rig.received, QStringLiteral("abcdef"));
}

void CommControlTest::lostDeviceDeliversThenCloses_data()
{
    QTest::addColumn<bool>("foundByRead");
    QTest::addRow("gone while nothing reads") << false;
    QTest::addRow("gone, found by a read") << true;
}

void CommControlTest::lostDeviceDeliversThenCloses()
{
    QFETCH(bool, foundByRead);
    Rig rig;
    QVERIFY(rig.control->setPortOpen(true).ok());
    QSignalSpy lost(rig.control.get(), &CommControl::portLost);
    rig.device->feed("12\r");
    if (foundByRead)
        rig.device->hangUp();
    else
        rig.device->pullOut();
    QVERIFY(rig.control->PortOpen());
    rig.collect();
    QCOMPARE(rig.received, QStringLiteral("12\r"));
    QCOMPARE(lost.size(), 1);
    QVERIFY(!rig.control->PortOpen());
    QVERIFY(rig.control->devicePath().isEmpty());
    // The port can be opened again once the device is back.
    QVERIFY(rig.control->setPortOpen(true).ok());
    QVERIFY(rig.control->PortOpen());
}

QTEST_GUILESS_MAIN(CommControlTest)
#include "tst_commcontrol.moc"
