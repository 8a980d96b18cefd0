#include "comdevice_win.h"
#include "commcontrol.h"
#include "commevents.h"
#include "fakecommapi.h"

#include <QSignalSpy>
#include <QTest>

// The COM port device under the control, on a port the test plays through the Win32 calls:
// what a user would see of the settings, the received bytes, the line events and a port that
// is held or pulled out.
class ComDeviceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void openFailures_data();
    void openFailures();
    void settingsPutBack_data();
    void settingsPutBack();
    void burstsArriveInOrder();
    void lineErrorsAheadOfTheirBytes_data();
    void lineErrorsAheadOfTheirBytes();
    void modemLines_data();
    void modemLines();
    void pulledOut_data();
    void pulledOut();

private:
    // The control on the device on the fake port, with what OnComm reported written down: the
    // received characters as they are, every other event as its name in brackets.
    struct Rig
    {
        explicit Rig(CommControl::Settings settings = {})
            : port(std::make_shared<FakeCommApi::Port>())
        {
            port->state = someoneElsesSettings();
            port->timeouts = COMMTIMEOUTS{50, 10, 100, 0, 0};
            auto api = std::make_unique<FakeCommApi>(port);
            fake = api.get();
            control = std::make_unique<CommControl>(
                std::make_unique<ComDevice>(std::move(api), LinePoll),
                [] {
                    return QStringList{QStringLiteral("COM1"), QStringLiteral("COM7")};
                },
                settings);
            QObject::connect(control.get(), &CommControl::OnComm, &context, [this] {
                const qint16 code = control->CommEvent();
                if (code != comEvReceive)
                    transcript += u'[' + commEventName(code) + u']';
                else if (reading)
                    transcript += control->Input().chars;
            });
        }

        static DCB someoneElsesSettings()
        {
            DCB dcb{};
            dcb.DCBlength = sizeof(DCB);
            dcb.BaudRate = CBR_115200;
            dcb.ByteSize = 7;
            dcb.Parity = EVENPARITY;
            dcb.StopBits = TWOSTOPBITS;
            dcb.fBinary = TRUE;
            dcb.fOutxCtsFlow = TRUE;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
            dcb.fDtrControl = DTR_CONTROL_DISABLE;
            dcb.fInX = TRUE;
            return dcb;
        }

        bool open() { return control->setPortOpen(true).ok(); }

        static constexpr std::chrono::milliseconds LinePoll{10};
        std::shared_ptr<FakeCommApi::Port> port;
        FakeCommApi *fake = nullptr;
        QObject context;
        std::unique_ptr<CommControl> control;
        QString transcript;
        bool reading = true;
    };
};

static bool sameSettings(const DCB &a, const DCB &b)
{
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity
           && a.StopBits == b.StopBits && a.fOutxCtsFlow == b.fOutxCtsFlow
           && a.fRtsControl == b.fRtsControl && a.fDtrControl == b.fDtrControl && a.fInX == b.fInX;
}

static bool sameTimeouts(const COMMTIMEOUTS &a, const COMMTIMEOUTS &b)
{
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout
           && a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier
           && a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant;
}

void ComDeviceTest::openFailures_data()
{
    QTest::addColumn<DWORD>("openError");
    QTest::addColumn<bool>("refuses9600");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("reason");

    QTest::addRow("held by another program")
        << DWORD(ERROR_ACCESS_DENIED) << false << int(DeviceUnavailable)
        << QStringLiteral("held by another program");
    QTest::addRow("no such port") << DWORD(ERROR_FILE_NOT_FOUND) << false << int(BadPortNumber)
                                  << QString();
    QTest::addRow("driver cannot do 9600 8N1")
        << DWORD(0) << true << int(DeviceUnavailable) << QStringLiteral("9600 8N1");
}

// Every way an open fails is one of the scan's numbers, with the reason; the port is left as
// it was.
void ComDeviceTest::openFailures()
{
    QFETCH(DWORD, openError);
    QFETCH(bool, refuses9600);
    QFETCH(int, number);
    QFETCH(QString, reason);

    Rig rig;
    rig.port->openError = openError;
    rig.port->refuses9600 = refuses9600;
    const CommResult result = rig.control->setPortOpen(true);
    QCOMPARE(result.number(), number);
    QVERIFY2(result.message().contains(QStringLiteral("COM1")), qPrintable(result.message()));
    QVERIFY2(result.message().contains(reason), qPrintable(result.message()));
    QVERIFY(!rig.control->PortOpen());
    QVERIFY(!rig.port->open);
    QVERIFY(sameSettings(rig.port->state, Rig::someoneElsesSettings()));
}

void ComDeviceTest::settingsPutBack_data()
{
    QTest::addColumn<bool>("closedByTheScan");
    QTest::addRow("closed") << true;
    QTest::addRow("the window goes, the port still open") << false;
}

void ComDeviceTest::settingsPutBack()
{
    QFETCH(bool, closedByTheScan);
    Rig rig;
    const COMMTIMEOUTS before = rig.port->timeouts;
    QVERIFY(rig.open());
    QCOMPARE(rig.port->openedName, QStringLiteral("\\\\.\\COM1"));
    const DCB &state = rig.port->state;
    QCOMPARE(state.BaudRate, DWORD(CBR_9600));
    QCOMPARE(state.ByteSize, BYTE(8));
    QCOMPARE(state.Parity, BYTE(NOPARITY));
    QCOMPARE(state.StopBits, BYTE(ONESTOPBIT));
    // No flow control that could hold the scanner back, and no byte dropped or replaced.
    QVERIFY(!state.fOutxCtsFlow && !state.fOutxDsrFlow && !state.fInX && !state.fOutX);
    QCOMPARE(state.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
    QCOMPARE(state.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    QVERIFY(!state.fNull && !state.fErrorChar && !state.fAbortOnError);

    if (closedByTheScan)
        QVERIFY(rig.control->setPortOpen(false).ok());
    else
        rig.control.reset();
    QVERIFY(!rig.port->open);
    QVERIFY(sameSettings(rig.port->state, Rig::someoneElsesSettings()));
    QVERIFY(sameTimeouts(rig.port->timeouts, before));
}

// A barcode that comes in pieces, and more than one read takes, arrives whole and in order.
void ComDeviceTest::burstsArriveInOrder()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.fake->arrive("4006");
    QTRY_COMPARE(rig.transcript, QStringLiteral("4006"));
    rig.fake->arrive("381333931\r");
    QTRY_COMPARE(rig.transcript, QStringLiteral("4006381333931\r"));

    QByteArray flood;
    for (int i = 0; i < 1000; ++i)
        flood += QByteArray::number(i) + '\r';
    rig.transcript.clear();
    rig.fake->arrive(flood);
    QTRY_COMPARE(rig.transcript.size(), flood.size());
    QCOMPARE(rig.transcript, QString::fromLatin1(flood));
}

void ComDeviceTest::lineErrorsAheadOfTheirBytes_data()
{
    QTest::addColumn<bool>("driverWaits");
    QTest::addColumn<DWORD>("errors");
    QTest::addColumn<QString>("transcript");

    for (const bool waits : {true, false}) {
        const char *driver = waits ? "waiting driver" : "polled driver";
        QTest::addRow("%s: framing", driver)
            << waits << DWORD(CE_FRAME) << QStringLiteral("[comEventFrame]AB");
        // The long low line of a break also breaks the framing: the break alone is shown.
        QTest::addRow("%s: break", driver)
            << waits << DWORD(CE_BREAK | CE_FRAME) << QStringLiteral("[comEventBreak]AB");
        QTest::addRow("%s: parity", driver)
            << waits << DWORD(CE_RXPARITY) << QStringLiteral("[comEventRxParity]AB");
        QTest::addRow("%s: overrun", driver)
            << waits << DWORD(CE_OVERRUN) << QStringLiteral("[comEventOverrun]AB");
        QTest::addRow("%s: driver's buffer overflowed", driver)
            << waits << DWORD(CE_RXOVER) << QStringLiteral("[comEventRxOver]AB");
        QTest::addRow("%s: framing and overrun", driver)
            << waits << DWORD(CE_FRAME | CE_OVERRUN)
            << QStringLiteral("[comEventFrame][comEventOverrun]AB");
    }
}

// Windows flags line errors, not the bytes they garbled: they are shown ahead of the bytes
// read with them, whether the driver reports them or is asked.
void ComDeviceTest::lineErrorsAheadOfTheirBytes()
{
    QFETCH(bool, driverWaits);
    QFETCH(DWORD, errors);
    QFETCH(QString, transcript);

    Rig rig;
    rig.port->waitsForLineEvents = driverWaits;
    QVERIFY(rig.open());
    rig.fake->flagError(errors);
    rig.fake->arrive("AB");
    QTRY_COMPARE(rig.transcript, transcript);
    // Each is told once.
    QTest::qWait(int(5 * Rig::LinePoll.count()));
    QCOMPARE(rig.transcript, transcript);
}

enum class Driver { Waits, Polled, Blind };
Q_DECLARE_METATYPE(Driver)

void ComDeviceTest::modemLines_data()
{
    QTest::addColumn<Driver>("driver");
    QTest::addColumn<DWORD>("lines");
    QTest::addColumn<DWORD>("pulse");
    QTest::addColumn<QString>("events");

    QTest::addRow("CTS rises") << Driver::Waits << DWORD(MS_CTS_ON) << DWORD(0)
                               << QStringLiteral("[comEvCTS]");
    QTest::addRow("DSR and CD rise") << Driver::Waits << DWORD(MS_DSR_ON | MS_RLSD_ON) << DWORD(0)
                                     << QStringLiteral("[comEvDSR][comEvCD]");
    QTest::addRow("ring") << Driver::Waits << DWORD(MS_RING_ON) << DWORD(0)
                          << QStringLiteral("[comEvRing]");
    // Back where it was by the time the lines are asked: only the driver's event tells.
    QTest::addRow("CTS there and back")
        << Driver::Waits << DWORD(0) << DWORD(EV_CTS) << QStringLiteral("[comEvCTS]");
    QTest::addRow("a ring over before the look")
        << Driver::Waits << DWORD(0) << DWORD(EV_RING) << QStringLiteral("[comEvRing]");
    // Wine's driver cannot wait for line events: the lines are asked at intervals.
    QTest::addRow("polled: CTS rises")
        << Driver::Polled << DWORD(MS_CTS_ON) << DWORD(0) << QStringLiteral("[comEvCTS]");
    QTest::addRow("polled: ring") << Driver::Polled << DWORD(MS_RING_ON) << DWORD(0)
                                  << QStringLiteral("[comEvRing]");
    // Nor can it tell the lines: none is reported, and the data still comes.
    QTest::addRow("blind: CTS rises") << Driver::Blind << DWORD(MS_CTS_ON) << DWORD(0) << QString();
}

void ComDeviceTest::modemLines()
{
    QFETCH(Driver, driver);
    QFETCH(DWORD, lines);
    QFETCH(DWORD, pulse);
    QFETCH(QString, events);

    Rig rig;
    rig.port->waitsForLineEvents = driver == Driver::Waits;
    rig.port->tellsModemLines = driver != Driver::Blind;
    QVERIFY(rig.open());
    if (lines)
        rig.fake->setModemLines(lines);
    if (pulse)
        rig.fake->pulse(pulse);
    QTest::qWait(int(5 * Rig::LinePoll.count()));
    // A byte after the change shows that everything before it has been reported.
    rig.fake->arrive("x");
    QTRY_COMPARE(rig.transcript, events + u'x');
}

void ComDeviceTest::pulledOut_data()
{
    QTest::addColumn<bool>("paused");
    QTest::addRow("while reading") << false;
    QTest::addRow("while reading is paused, the buffer full") << true;
}

// A USB adapter pulled out: what it sent is delivered, then the port closes and says so.
void ComDeviceTest::pulledOut()
{
    QFETCH(bool, paused);
    Rig rig(CommControl::Settings{.charsPerRead = 1, .bufferSize = 4});
    QSignalSpy lost(rig.control.get(), &CommControl::portLost);
    rig.reading = !paused;
    QVERIFY(rig.open());
    rig.fake->arrive("12\r");
    if (paused) {
        rig.fake->arrive("3");
        QTRY_COMPARE(rig.control->charsWaiting(), 4);
    } else {
        QTRY_COMPARE(rig.transcript, QStringLiteral("12\r"));
    }
    rig.fake->pullOut();
    QTest::qWait(int(5 * Rig::LinePoll.count()));
    rig.reading = true;
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(rig.transcript.startsWith(paused ? QStringLiteral("12\r3") : QStringLiteral("12\r")));
    QVERIFY(!rig.control->PortOpen());
    QVERIFY(!rig.port->open);
    // Plugged in again, it opens as before.
    rig.port->gone = false;
    QVERIFY(rig.open());
}

QTEST_GUILESS_MAIN(ComDeviceTest)
#include "tst_comdevice.moc"
