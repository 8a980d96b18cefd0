#include "devicewatcher.h"
#include "testerrig.h"
#include "testmain.h"

#include <cerrno>

// While no port is open, a scanner is connected as soon as it can be had: plugged in at any
// moment, freed by the program that held it, or opened after permission came.
class HotPlugTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void plugInWhileABoxIsOpen_data();
    void plugInWhileABoxIsOpen();
    void heldOrForbiddenThenFree_data();
    void heldOrForbiddenThenFree();
    void backUnderItsOldName();
    void removalAloneShowsNothing();
    void lostScannerIsWaitedFor_data();
    void lostScannerIsWaitedFor();

private:
    // A scan's boxes, each "open" while the event loop runs for a moment, as a modal box's does.
    void boxesRunTheLoop();

    std::unique_ptr<TesterRig> rig;
};

static const QString Scanner = QStringLiteral("/fake/ttyACM0");

// Ports that could not be opened are tried again this often here (a second in the program).
static constexpr std::chrono::milliseconds Retry{40};

void HotPlugTest::init()
{
    TesterCore::Timing timing = TesterRig::handTicked();
    timing.retry = Retry;
    rig = std::make_unique<TesterRig>(QStringList{}, CommControl::Settings{}, timing);
    rig->core().watchDevices(std::make_unique<DeviceWatcher>([list = rig->ports] { return *list; },
                                                             std::chrono::milliseconds(10)));
}

void HotPlugTest::cleanup()
{
    rig.reset();
}

void HotPlugTest::boxesRunTheLoop()
{
    rig->record->onBox = [](const QString &) {
        QTest::qWait(50);
    };
}

void HotPlugTest::plugInWhileABoxIsOpen_data()
{
    QTest::addColumn<int>("box");
    QTest::addRow("report") << 0;
    QTest::addRow("not available") << 1;
    QTest::addRow("report again") << 2;
}

void HotPlugTest::plugInWhileABoxIsOpen()
{
    QFETCH(int, box);
    rig->record->onBox = [&](const QString &) {
        if (rig->record->boxes.size() == box + 1)
            *rig->ports = QStringList{Scanner};
        QTest::qWait(50);
    };
    rig->scan();
    // The scan that was running ends as it began; then one more scan finds the scanner.
    QTRY_COMPARE(rig->core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig->record->boxes.size(), 4);
    QCOMPARE(rig->fake->path(), Scanner);
}

void HotPlugTest::heldOrForbiddenThenFree_data()
{
    QTest::addColumn<int>("error");
    QTest::addRow("held by another program") << EBUSY;
    QTest::addRow("not yet permitted") << EACCES;
}

void HotPlugTest::heldOrForbiddenThenFree()
{
    QFETCH(int, error);
    rig->scan();
    boxesRunTheLoop();
    rig->fake->failures.insert(Scanner, error);
    *rig->ports = QStringList{Scanner};
    // It appears: one scan reports it unavailable.
    QTRY_COMPARE(rig->record->boxes.size(), 6);
    QCOMPARE(rig->core().commLabel(), QStringLiteral("No RS232 Connection"));
    const qsizetype opens = rig->fake->opened.size();
    // Tried again quietly, without a box, until it can be had.
    rig->fake->failures.remove(Scanner);
    QTRY_COMPARE(rig->core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig->record->boxes.size(), 6);
    QCOMPARE(rig->fake->opened.size(), opens + 1);
}

void HotPlugTest::backUnderItsOldName()
{
    // Pulled out and plugged back in between two looks at the devices: the list never
    // changes, the port is lost and opened again.
    *rig->ports = QStringList{Scanner};
    rig->scan();
    QStringList labels;
    connect(&rig->core(), &TesterCore::changed, this, [&](TesterCore::Field field) {
        if (field == TesterCore::Field::CommLabel)
            labels.append(rig->core().commLabel());
    });
    rig->fake->pullOut();
    QTRY_COMPARE(labels, (QStringList{"No RS232 Connection", "Connect to Comm 1"}));
    QCOMPARE(rig->fake->opened, (QStringList{Scanner, Scanner, Scanner}));
    QCOMPARE(rig->record->boxes.size(), 1);
    rig->receive("7\r");
    QCOMPARE(rig->core().barCodeText(), QStringLiteral("7"));
}

void HotPlugTest::removalAloneShowsNothing()
{
    // Two busy devices; one goes away: no scan, no box.
    const QString other = QStringLiteral("/fake/ttyUSB0");
    *rig->ports = QStringList{Scanner, other};
    rig->fake->failures.insert(Scanner, EBUSY);
    rig->fake->failures.insert(other, EBUSY);
    rig->scan();
    QCOMPARE(rig->record->boxes.size(), 3);
    *rig->ports = QStringList{other};
    QTest::qWait(5 * Retry.count());
    QCOMPARE(rig->record->boxes.size(), 3);
    // The connection's tooltip no longer names the device that went.
    QVERIFY(!rig->core().connectionDetails().contains(Scanner));
    QVERIFY(rig->core().connectionDetails().contains(other));
    // The device left is port 1 now.
    rig->fake->failures.remove(other);
    QTRY_COMPARE(rig->core().commLabel(), QStringLiteral("Connect to Comm 1"));
    QCOMPARE(rig->fake->path(), other);
}

void HotPlugTest::lostScannerIsWaitedFor_data()
{
    QTest::addColumn<QString>("back");
    QTest::addColumn<bool>("otherBusy");
    QTest::addColumn<QString>("label");
    QTest::addRow("under its old name") << Scanner << false << QStringLiteral("Connect to Comm 1");
    QTest::addRow("under a new name, after the other")
        << QStringLiteral("/fake/ttyUSB1") << false << QStringLiteral("Connect to Comm 2");
    QTest::addRow("under its old name, the other busy")
        << Scanner << true << QStringLiteral("Connect to Comm 1");
}

void HotPlugTest::lostScannerIsWaitedFor()
{
    // The scanner is unplugged while another free device stays: that one is never opened in
    // its place. The device plugged in next is connected, after the scan's report, though the
    // other sorts before it.
    QFETCH(QString, back);
    QFETCH(bool, otherBusy);
    QFETCH(QString, label);
    const QString other = QStringLiteral("/fake/ttyUSB0");
    if (otherBusy)
        rig->fake->failures.insert(other, EBUSY);
    *rig->ports = QStringList{Scanner, other};
    rig->scan();
    QCOMPARE(rig->fake->path(), Scanner);
    boxesRunTheLoop();
    rig->fake->pullOut();
    *rig->ports = QStringList{other};
    QTRY_COMPARE(rig->core().commLabel(), QStringLiteral("No RS232 Connection"));
    const qsizetype opens = rig->fake->opened.size();
    QTest::qWait(5 * Retry.count()); // the quiet retry comes round
    QCOMPARE(rig->fake->opened.size(), opens);
    QCOMPARE(rig->record->boxes.size(), 1);
    QVERIFY(rig->core().connectionDetails().contains(QStringLiteral("waits for ") + Scanner));

    *rig->ports = back < other ? QStringList{back, other} : QStringList{other, back};
    QTRY_COMPARE(rig->core().commLabel(), label);
    QCOMPARE(rig->record->boxes.size(), 2);
    QCOMPARE(rig->fake->path(), back);
    rig->receive("7\r");
    QCOMPARE(rig->core().barCodeText(), QStringLiteral("7"));
}

LUMORA_TEST_MAIN(HotPlugTest)
#include "tst_hotplug.moc"
