#include "commerror.h"
#include "formharness.h"
#include "testmain.h"

#include <QLabel>

#include <cerrno>

// The start-up port scan: which ports it reports, which it opens, and what it tells the user.
class ScanTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scan_data();
    void scan();
    void connectFailureTriesNextPort();
    void connectFailureOfLastFreePort();
    void otherFailureNumbersMarkNothing();
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

    FormHarness h(FormHarness::defaultPorts().mid(0, devices));
    for (int port = 1; port <= devices; ++port)
        h.device->failures.insert(h.ports->at(port - 1), failing[port - 1]);
    h.form->Form_Activate();

    QCOMPARE(h.form->CommLabel->text(), label);
    QCOMPARE(h.boxes->first().text, report);
    QCOMPARE(h.boxes->first().title, QStringLiteral("Com Status"));
    if (openedPort) {
        QCOMPARE(h.boxes->size(), 1);
        QVERIFY(h.form->ComPort->PortOpen());
        QCOMPARE(h.form->ComPort->CommPort(), qint16(openedPort));
        QCOMPARE(h.device->path(), h.ports->at(openedPort - 1));
    } else {
        QCOMPARE(h.boxes->size(), 3);
        QCOMPARE(h.boxes->at(1).text, NotAvailable);
        QCOMPARE(h.boxes->at(1).title, QStringLiteral("Com Status"));
        QCOMPARE(h.boxes->at(2).text, report);
        QCOMPARE(h.boxes->at(2).title, QStringLiteral("Com Status"));
        QVERIFY(!h.form->ComPort->PortOpen());
    }
    // The probe leaves every port it tried closed: one close per successful open, plus the
    // connect's open still in place.
    QCOMPARE(h.device->closeCount, h.device->opened.size() - (openedPort ? 1 : 0));
}

void ScanTest::connectFailureTriesNextPort()
{
    FormHarness h;
    // Port 1 is taken by another program after the probe, while the report is on screen.
    *h.onBox = [&h](const QString &) {
        h.device->failures.insert(h.ports->at(0), EBUSY);
    };
    h.form->Form_Activate();

    QCOMPARE(h.boxes->size(), 1);
    QCOMPARE(h.form->CommLabel->text(), QStringLiteral("Connect to Comm 2"));
    QVERIFY(h.form->ComPort->PortOpen());
    QCOMPARE(h.device->path(), h.ports->at(1));
}

void ScanTest::connectFailureOfLastFreePort()
{
    FormHarness h;
    h.device->failures.insert(h.ports->at(0), EBUSY);
    h.device->failures.insert(h.ports->at(1), EBUSY);
    h.device->failures.insert(h.ports->at(3), EBUSY);
    bool taken = false;
    *h.onBox = [&](const QString &) {
        if (!taken)
            h.device->failures.insert(h.ports->at(2), EBUSY);
        taken = true;
    };
    h.form->Form_Activate();

    // Never claims a port that did not open: the label stays, and the user is told.
    QCOMPARE(h.form->CommLabel->text(), QStringLiteral("No RS232 Connection"));
    QVERIFY(!h.form->ComPort->PortOpen());
    QCOMPARE(h.boxes->size(), 3);
    QVERIFY(h.boxes->at(0).text.contains(QStringLiteral("Com Port 3 available\r")));
    QCOMPARE(h.boxes->at(1).text, NotAvailable);
    QVERIFY(h.boxes->at(2).text.contains(QStringLiteral("Com Port 3 unavailable\r")));
}

void ScanTest::otherFailureNumbersMarkNothing()
{
    // A failure outside the three "cannot have this port" numbers is passed over: setting the
    // port number while a port is open fails with 8005 and marks nothing.
    FormHarness h;
    h.openPort(2);
    QVERIFY_THROWS_EXCEPTION(CommError, h.form->ComPort->setCommPort(1));
    h.form->Form_Activate();
    QCOMPARE(h.boxes->first().text, QStringLiteral("Com Port 1 available\rCom Port 2 available\r"
                                                   "Com Port 3 available\rCom Port 4 available\r"));
    QCOMPARE(h.form->CommLabel->text(), QStringLiteral("Connect to Comm 1"));
}

void ScanTest::portsAboveFourNeverTried()
{
    QStringList six = FormHarness::defaultPorts();
    six << QStringLiteral("/fake/ttyS4") << QStringLiteral("/fake/ttyS5");
    FormHarness h(six);
    for (int i = 0; i < 4; ++i)
        h.device->failures.insert(six.at(i), EBUSY);
    h.form->Form_Activate();
    for (const QString &path : h.device->opened)
        QVERIFY2(six.indexOf(path) < 4, qPrintable(path));
    QCOMPARE(h.boxes->size(), 3);
    QVERIFY(!h.boxes->first().text.contains(QStringLiteral("Com Port 5")));
}

void ScanTest::openPortClosedBeforeScan()
{
    FormHarness h;
    h.openPort(3);
    h.form->Form_Activate();
    QCOMPARE(h.form->CommLabel->text(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(h.device->path(), h.ports->at(0));
}

void ScanTest::runsOnceWhenShown()
{
    FormHarness h;
    h.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.form.get()));
    QTRY_COMPARE(h.boxes->size(), 1);
    // Activating the window again (a box closing, the user coming back) starts no new scan.
    h.form->activateWindow();
    QApplication::processEvents();
    QCOMPARE(h.boxes->size(), 1);
    QCOMPARE(h.form->CommLabel->text(), QStringLiteral("Connect to Comm 1"));
}

LUMORA_TEST_MAIN(ScanTest)
#include "tst_scan.moc"
