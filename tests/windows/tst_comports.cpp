#include "comports_win.h"
#include "devicewatcher.h"

#include <QSignalSpy>
#include <QTest>
#include <QUuid>

// Ports 1 to 4 on Windows: the COM ports of the registry's serial-comm map in the order of
// their numbers, and a port plugged in or pulled out noticed through the map. The map is a key
// of the test's own in the user's hive, written as drivers write theirs.
class ComPortsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void inOrderOfTheirNumbers_data();
    void inOrderOfTheirNumbers();
    void arrivalAndRemovalNoticed();
    void firstPortOnAMachineWithout();

private:
    void setPort(const QString &device, const QString &port);
    void removePort(const QString &device);

    QString m_key;
};

static constexpr std::chrono::milliseconds Poll{50};

void ComPortsTest::init()
{
    m_key = QStringLiteral("Software\\Lumora tests\\%1\\SERIALCOMM")
                .arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
    HKEY key = nullptr;
    QCOMPARE(::RegCreateKeyExW(HKEY_CURRENT_USER, m_key.toStdWString().c_str(), 0, nullptr, 0,
                               KEY_ALL_ACCESS, nullptr, &key, nullptr),
             LSTATUS(ERROR_SUCCESS));
    ::RegCloseKey(key);
}

void ComPortsTest::cleanup()
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_key.section(u'\\', 0, 2).toStdWString().c_str());
}

void ComPortsTest::setPort(const QString &device, const QString &port)
{
    const std::wstring value = port.toStdWString();
    QCOMPARE(::RegSetKeyValueW(HKEY_CURRENT_USER, m_key.toStdWString().c_str(),
                               device.toStdWString().c_str(), REG_SZ, value.c_str(),
                               DWORD((value.size() + 1) * sizeof(wchar_t))),
             LSTATUS(ERROR_SUCCESS));
}

void ComPortsTest::removePort(const QString &device)
{
    QCOMPARE(::RegDeleteKeyValueW(HKEY_CURRENT_USER, m_key.toStdWString().c_str(),
                                  device.toStdWString().c_str()),
             LSTATUS(ERROR_SUCCESS));
}

void ComPortsTest::inOrderOfTheirNumbers_data()
{
    QTest::addColumn<QStringList>("mapped");
    QTest::addColumn<QStringList>("ports");

    QTest::addRow("none") << QStringList{} << QStringList{};
    QTest::addRow("by number, not by name") << QStringList{"COM10", "COM3", "COM1", "COM2"}
                                            << QStringList{"COM1", "COM2", "COM3", "COM10"};
    QTest::addRow("others after the COM ports, by name")
        << QStringList{"CNCB0", "COM7", "CNCA0"} << QStringList{"COM7", "CNCA0", "CNCB0"};
}

void ComPortsTest::inOrderOfTheirNumbers()
{
    QFETCH(QStringList, mapped);
    QFETCH(QStringList, ports);
    for (qsizetype i = 0; i < mapped.size(); ++i)
        setPort(QStringLiteral("\\Device\\Serial%1").arg(i), mapped.at(i));
    QCOMPARE(ComPorts(HKEY_CURRENT_USER, m_key).devices(), ports);
}

void ComPortsTest::arrivalAndRemovalNoticed()
{
    const ComPorts ports(HKEY_CURRENT_USER, m_key);
    setPort(QStringLiteral("\\Device\\Serial0"), QStringLiteral("COM1"));
    // Polled this rarely, a change seen at once was notified.
    DeviceWatcher watcher([&ports] { return ports.devices(); }, ports.changeNotice(),
                          std::chrono::hours(1));
    QSignalSpy changed(&watcher, &DeviceWatcher::changed);
    watcher.start();

    setPort(QStringLiteral("\\Device\\VCP0"), QStringLiteral("COM4"));
    QVERIFY(changed.wait(2000));
    QCOMPARE(watcher.devices(), (QStringList{"COM1", "COM4"}));
    QCOMPARE(watcher.arrived(), QStringList{"COM4"});

    removePort(QStringLiteral("\\Device\\VCP0"));
    QVERIFY(changed.wait(2000));
    QCOMPARE(watcher.devices(), QStringList{"COM1"});
    QVERIFY(watcher.arrived().isEmpty());
}

// A machine without serial ports has no map until the first one comes: the watcher looks for it
// until it is there, and is told of changes from then on.
void ComPortsTest::firstPortOnAMachineWithout()
{
    QCOMPARE(::RegDeleteKeyW(HKEY_CURRENT_USER, m_key.toStdWString().c_str()),
             LSTATUS(ERROR_SUCCESS));
    const ComPorts ports(HKEY_CURRENT_USER, m_key);
    DeviceWatcher watcher([&ports] { return ports.devices(); }, ports.changeNotice(), Poll);
    watcher.start();
    QTest::qWait(int(3 * Poll.count()));
    setPort(QStringLiteral("\\Device\\Serial0"), QStringLiteral("COM2"));
    QTRY_COMPARE(watcher.devices(), QStringList{"COM2"});
    setPort(QStringLiteral("\\Device\\Serial1"), QStringLiteral("COM3"));
    QTRY_COMPARE(watcher.devices(), (QStringList{"COM2", "COM3"}));
}

QTEST_GUILESS_MAIN(ComPortsTest)
#include "tst_comports.moc"
