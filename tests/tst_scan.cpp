#include "testerrig.h"
#include "testmain.h"

#include <cerrno>

// The start-up port scan: which ports it reports, which it opens, and what it tells the user.
// No failure number other than 68, 8002 and 8012 can reach the scan (the control raises no
// other), so the trap's passing over of other numbers is not tested here.
class ScanTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scan_data();
    void scan();
    void connectFailureTriesNextPort();
    void connectFailureOfLastFreePort();
    void portNumbersHoldForTheScan();
    void portsAboveFourNeverTried();
    void openPortClosedBeforeScan();
    void runsOnceWhenShown();
};

static const QString NotAvailable
    = QStringLiteral("Com Ports not available. Either free existing Com Port or add new Port");

void ScanTest::scan_data()
{
    QTest::addColumn<QList<int>>("failing"); // errno per port 1..4, 0 = free
    QTest::addColumn<int>("devices");        // how many devices the list holds
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("openedPort"); // 0 = none

    const QString all = "Com Port 1 available\rCom Port 2 available\r"
                        "Com Port 3 available\rCom Port 4 available\r";
    QTest::addRow("all free") << QList<int>{0, 0, 0, 0} << 4 << all << "Connect to Comm 1" << 1;
    QTest::addRow("only port 3 free") << QList<int>{EBUSY, EACCES, 0, EBUSY} << 4
                                      << "Com Port 1 unavailable\rCom Port 2 unavailable\r"
                                         "Com Port 3 available\rCom Port 4 unavailable\r"
                                      << "Connect to Comm 3" << 3;
    QTest::addRow("two devices, second free") << QList<int>{EWOULDBLOCK, 0, 0, 0} << 2
                                              << "Com Port 1 unavailable\rCom Port 2 available\r"
                                                 "Com Port 3 unavailable\rCom Port 4 unavailable\r"
                                              << "Connect to Comm 2" << 2;
    QTest::addRow("device vanished") << QList<int>{ENOENT, 0, 0, 0} << 1
                                     << "Com Port 1 unavailable\rCom Port 2 unavailable\r"
                                        "Com Port 3 unavailable\rCom Port 4 unavailable\r"
                                     << "No RS232 Connection" << 0;
}

void ScanTest::scan()
{
    QFETCH(QList<int>, failing);
    QFETCH(int, devices);
    QFETCH(QString, report);
    QFETCH(QString, label);
    QFETCH(int, openedPort);

    TesterRig rig(TesterRig::fakePorts().mid(0, devices));
    for (int port = 1; port <= devices; ++port)
        rig.fake->failures.insert(rig.ports->at(port - 1), failing[port - 1]);
    rig.scan();

    const auto &boxes = rig.record->boxes;
    QCOMPARE(rig.core().commLabel(), label);
    QCOMPARE(boxes.first().text, report);
    QCOMPARE(boxes.first().title, QStringLiteral("Com Status"));
    if (openedPort) {
        QCOMPARE(boxes.size(), 1);
        QVERIFY(rig.core().comPort().PortOpen());
        QCOMPARE(rig.core().comPort().CommPort(), qint16(openedPort));
        QCOMPARE(rig.fake->path(), rig.ports->at(openedPort - 1));
    } else {
        QCOMPARE(boxes.size(), 3);
        QCOMPARE(boxes.at(1).text, NotAvailable);
        QCOMPARE(boxes.at(1).title, QStringLiteral("Com Status"));
        QCOMPARE(boxes.at(2).text, report);
        QCOMPARE(boxes.at(2).title, QStringLiteral("Com Status"));
        QVERIFY(!rig.core().comPort().PortOpen());
    }
    // The probe leaves every port it tried closed: one close per successful open, plus the
    // connect's open still in place.
    QCOMPARE(rig.fake->closeCount, rig.fake->opened.size() - (openedPort ? 1 : 0));
}

void ScanTest::connectFailureTriesNextPort()
{
    TesterRig rig;
    // Port 1 is taken by another program after the probe, while the report is on screen.
    rig.record->onBox = [&rig](const QString &) {
        rig.fake->failures.insert(rig.ports->at(0), EBUSY);
    };
    rig.scan();

    QCOMPARE(rig.record->boxes.size(), 1);
    QCOMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 2"));
    QVERIFY(rig.core().comPort().PortOpen());
    QCOMPARE(rig.fake->path(), rig.ports->at(1));
}

void ScanTest::connectFailureOfLastFreePort()
{
    TesterRig rig;
    for (int port : {0, 1, 3})
        rig.fake->failures.insert(rig.ports->at(port), EBUSY);
    rig.record->onBox = [&](const QString &) {
        rig.fake->failures.insert(rig.ports->at(2), EBUSY);
    };
    rig.scan();

    // Never claims a port that did not open: the label stays, and the user is told.
    const auto &boxes = rig.record->boxes;
    QCOMPARE(rig.core().commLabel(), QStringLiteral("No RS232 Connection"));
    QVERIFY(!rig.core().comPort().PortOpen());
    QCOMPARE(boxes.size(), 3);
    QVERIFY(boxes.at(0).text.contains(QStringLiteral("Com Port 3 available\r")));
    QCOMPARE(boxes.at(1).text, NotAvailable);
    QVERIFY(boxes.at(2).text.contains(QStringLiteral("Com Port 3 unavailable\r")));
}

void ScanTest::portNumbersHoldForTheScan()
{
    // The report lists the USB adapter as port 1; while it is on screen a scanner appears that
    // sorts before it. The connect goes on with the list the probe used: port 1 is still the
    // adapter, and the new device, never probed, is not opened under its number.
    TesterRig rig({QStringLiteral("/fake/ttyUSB0")});
    QString detailsDuringReport;
    rig.record->onBox = [&](const QString &) {
        detailsDuringReport = rig.control<QWidget>("CommLabel")->toolTip();
        *rig.ports = QStringList{QStringLiteral("/fake/ttyACM0"), QStringLiteral("/fake/ttyUSB0")};
    };
    rig.form();
    rig.scan();
    QCOMPARE(rig.record->boxes.size(), 1);
    QCOMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig.fake->path(), QStringLiteral("/fake/ttyUSB0"));
    QVERIFY(!rig.fake->opened.contains(QStringLiteral("/fake/ttyACM0")));
    // The connection's tooltip named the probed device while the report was on screen.
    QVERIFY2(detailsDuringReport.contains(QStringLiteral("Com Port 1: /fake/ttyUSB0")),
             qPrintable(detailsDuringReport));
}

void ScanTest::portsAboveFourNeverTried()
{
    QStringList six = TesterRig::fakePorts();
    six << QStringLiteral("/fake/ttyS4") << QStringLiteral("/fake/ttyS5");
    TesterRig rig(six);
    for (int i = 0; i < 4; ++i)
        rig.fake->failures.insert(six.at(i), EBUSY);
    rig.scan();
    for (const QString &path : rig.fake->opened)
        QVERIFY2(six.indexOf(path) < 4, qPrintable(path));
    QCOMPARE(rig.record->boxes.size(), 3);
    QVERIFY(!rig.record->boxes.first().text.contains(QStringLiteral("Com Port 5")));
}

void ScanTest::openPortClosedBeforeScan()
{
    TesterRig rig;
    rig.openPort(3);
    rig.scan();
    QCOMPARE(rig.core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig.fake->path(), rig.ports->at(0));
}

void ScanTest::runsOnceWhenShown()
{
    TesterRig rig;
    rig.form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.form()));
    QTRY_COMPARE(rig.record->boxes.size(), 1);
    // Activating the window again (a box closing, the user coming back) starts no new scan.
    rig.form().activateWindow();
    QApplication::processEvents();
    QCOMPARE(rig.record->boxes.size(), 1);
    QCOMPARE(rig.labelText("CommLabel"), QStringLiteral("Connect to Comm 1"));
}

LUMORA_TEST_MAIN(ScanTest)
#include "tst_scan.moc"
