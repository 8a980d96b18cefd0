#include "devicelist.h"
#include "devicewatcher.h"
#include "printabletext.h"
#include "pty.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace std::chrono_literals;

// A fake /dev and /sys in a temporary folder. Device nodes are symbolic links to the slave of
// a pseudo-terminal: character devices, as the list requires.
class FakeSystem
{
public:
    QString dev() const { return m_root.filePath(QStringLiteral("dev")); }
    QString sys() const { return m_root.filePath(QStringLiteral("sys")); }
    QString tty() const { return sys() + QStringLiteral("/class/tty"); }
    DeviceList list() const { return DeviceList(dev(), tty()); }
    const Pty &pty() const { return m_pty; }

    void addNode(const QString &name) { link(m_pty.slavePath(), dev() + u'/' + name); }
    // Each "name=value" becomes the file <dir>/name holding value.
    void addAttributes(const QString &dir, const QStringList &assignments)
    {
        for (const QString &assignment : assignments)
            write(dir + u'/' + assignment.section(u'=', 0, 0),
                  assignment.section(u'=', 1).toUtf8());
    }
    void write(const QString &path, const QByteArray &contents)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents + '\n');
    }
    void link(const QString &target, const QString &linkPath)
    {
        QDir().mkpath(QFileInfo(linkPath).path());
        QVERIFY(QFile::link(target, linkPath));
    }
    // Points an existing link elsewhere in one step, as a device re-plugged between two looks.
    void relink(const QString &target, const QString &linkPath)
    {
        const QString fresh = linkPath + QStringLiteral(".new");
        QVERIFY(QFile::link(target, fresh));
        QCOMPARE(
            ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(linkPath).constData()),
            0);
    }

private:
    QTemporaryDir m_root;
    Pty m_pty;
};

// "major:minor" of a character device, as sysfs writes it.
QByteArray deviceNumberText(const QString &path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QByteArray::number(major(st.st_rdev)) + ':' + QByteArray::number(minor(st.st_rdev));
}

// Which devices become ports 1, 2, 3, ... and in what order, what a tooltip says about them,
// and that the watcher notices devices coming and going.
class DeviceListTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void order_data();
    void order();
    void filter_data();
    void filter();
    void describe_data();
    void describe();
    void deviceStrings_data();
    void deviceStrings();
    void watcherSeesNewAndRemovedDevices();
    void watcherSeesReplug_data();
    void watcherSeesReplug();
};

void DeviceListTest::order_data()
{
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QStringList>("expected");
    // Every name given here gets real UART hardware (type 4) in sysfs.

    QTest::addRow("numeric, not lexical")
        << QStringList{"ttyACM10", "ttyACM2", "ttyUSB1", "ttyUSB0", "ttyS10", "ttyS9"}
        << QStringList{"ttyACM2", "ttyACM10", "ttyUSB0", "ttyUSB1", "ttyS9", "ttyS10"};
    QTest::addRow("ACM, then USB, then on-board")
        << QStringList{"ttyAMA0", "ttyS1", "ttyUSB3", "ttyACM0"}
        << QStringList{"ttyACM0", "ttyUSB3", "ttyS1", "ttyAMA0"};
    QTest::addRow("ttySAC is its own family")
        << QStringList{"ttySAC0", "ttyS2"} << QStringList{"ttyS2", "ttySAC0"};
    QTest::addRow("more than four, none dropped")
        << QStringList{"ttyACM0", "ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyUSB0"}
        << QStringList{"ttyACM0", "ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyUSB0"};
    QTest::addRow("not serial ports")
        << QStringList{"tty0", "tty63", "ttyprintk", "ttyS", "ttyACMx", "ttyGS0", "ttyacm0"}
        << QStringList{};
}

void DeviceListTest::order()
{
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, expected);

    FakeSystem fake;
    for (const QString &name : std::as_const(nodes)) {
        fake.addNode(name);
        fake.addAttributes(fake.tty() + u'/' + name, {"type=4"});
    }
    for (QString &name : expected)
        name.prepend(fake.dev() + u'/');
    QCOMPARE(fake.list().devices(), expected);
}

void DeviceListTest::filter_data()
{
    QTest::addColumn<QString>("name");
    // The dev folder entry: "character device" (a link to a pseudo-terminal), "file", "FIFO",
    // "directory", "dangling link", "link to /dev/console", or "link to the console" (the
    // pseudo-terminal, which sysfs says is the active console ttyS5).
    QTest::addColumn<QString>("node");
    QTest::addColumn<QStringList>("attributes");
    QTest::addColumn<QString>("activeConsoles");
    QTest::addColumn<bool>("listed");

    const QStringList none;
    const QString chr = QStringLiteral("character device");
    QTest::addRow("character device") << "ttyACM0" << chr << none << "tty0" << true;
    QTest::addRow("plain file") << "ttyACM0"
                                << "file" << none << "" << false;
    QTest::addRow("FIFO") << "ttyACM0"
                          << "FIFO" << none << "" << false;
    QTest::addRow("directory") << "ttyACM0"
                               << "directory" << none << "" << false;
    QTest::addRow("dangling link") << "ttyACM0"
                                   << "dangling link" << none << "" << false;
    QTest::addRow("link to /dev/console") << "ttyACM0"
                                          << "link to /dev/console" << none << "" << false;
    QTest::addRow("link to the active console")
        << "ttyUSB0"
        << "link to the console" << none << "tty0 ttyS5" << false;

    QTest::addRow("on-board with hardware")
        << "ttyS1" << chr << QStringList{"type=4"} << "tty0" << true;
    QTest::addRow("phantom on-board") << "ttyS1" << chr << QStringList{"type=0"} << "" << false;
    QTest::addRow("on-board without sysfs") << "ttyS1" << chr << none << "" << false;
    QTest::addRow("on-board without type")
        << "ttyAMA0" << chr << QStringList{"console=N"} << "" << false;
    QTest::addRow("console flag") << "ttyS0" << chr << QStringList{"type=4", "console=Y"} << ""
                                  << false;
    QTest::addRow("active console by name")
        << "ttyS0" << chr << QStringList{"type=4"} << "tty0 ttyS0" << false;
    QTest::addRow("another console active")
        << "ttyS1" << chr << QStringList{"type=4", "console=N"} << "ttyS10 tty1" << true;
    QTest::addRow("USB without sysfs") << "ttyUSB0" << chr << none << "" << true;
    QTest::addRow("USB console by name") << "ttyUSB0" << chr << none << "ttyUSB0" << false;
}

void DeviceListTest::filter()
{
    QFETCH(QString, name);
    QFETCH(QString, node);
    QFETCH(QStringList, attributes);
    QFETCH(QString, activeConsoles);
    QFETCH(bool, listed);

    FakeSystem fake;
    QVERIFY(fake.pty().isValid());
    const QString path = fake.dev() + u'/' + name;
    if (node == u"file") {
        fake.write(path, {});
    } else if (node == u"FIFO") {
        QVERIFY(QDir().mkpath(fake.dev()));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (node == u"directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (node == u"dangling link") {
        fake.link(fake.dev() + QStringLiteral("/missing"), path);
    } else if (node == u"link to /dev/console") {
        fake.link(QStringLiteral("/dev/console"), path);
    } else {
        fake.addNode(name);
    }
    if (node == u"link to the console") {
        fake.addAttributes(fake.tty() + QStringLiteral("/ttyS5"),
                           {"dev=" + deviceNumberText(fake.pty().slavePath())});
    }
    fake.addAttributes(fake.tty() + u'/' + name, attributes);
    fake.addAttributes(fake.tty() + QStringLiteral("/console"), {"active=" + activeConsoles});

    QCOMPARE(fake.list().devices(), listed ? QStringList{path} : QStringList{});
}

void DeviceListTest::describe_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::addRow("ACM, full identity")
        << "/dev/ttyACM0"
        << QStringLiteral("/dev/ttyACM0 \u2014 Acme Scanners, BarScan 2000, serial A1B2C3 "
                          "(USB 1234:5678)");
    QTest::addRow("USB adapter, product only")
        << "/dev/ttyUSB0" << QStringLiteral("/dev/ttyUSB0 \u2014 FT232R UART (USB 0403:6001)");
    QTest::addRow("on-board") << "/dev/ttyS0"
                              << "/dev/ttyS0";
    QTest::addRow("no sysfs entry") << "/dev/ttyACM7"
                                    << "/dev/ttyACM7";
}

void DeviceListTest::describe()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);

    // Laid out as the kernel does: class/tty/<name> links into the device tree, and there
    // <name>/device links relative to that real folder. The root hub has an identity too,
    // so only the nearest USB device above the port may be taken.
    FakeSystem fake;
    const QString devices = fake.sys() + QStringLiteral("/devices/");
    const auto tty = [&](const QString &name, const QString &folder, const QString &device) {
        fake.link(QStringLiteral("../../devices/") + folder, fake.tty() + u'/' + name);
        fake.link(device, devices + folder + QStringLiteral("/device"));
    };
    fake.addAttributes(devices + "pci0000:00/usb1",
                       {"idVendor=1d6b", "idProduct=0002", "product=xHCI Host"});
    fake.addAttributes(devices + "pci0000:00/usb1/1-1",
                       {"idVendor=1234", "idProduct=5678", "manufacturer=Acme Scanners",
                        "product=BarScan 2000", "serial=A1B2C3"});
    tty("ttyACM0", "pci0000:00/usb1/1-1/1-1:1.0/tty/ttyACM0", "../../../1-1:1.0");
    fake.addAttributes(devices + "pci0000:00/usb1/1-2",
                       {"idVendor=0403", "idProduct=6001", "product=FT232R UART"});
    tty("ttyUSB0", "pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0", "../../../ttyUSB0");
    QVERIFY(QDir().mkpath(devices + "pnp0/00:00"));
    tty("ttyS0", "pnp0/00:00/tty/ttyS0", "../../../00:00");

    QCOMPARE(fake.list().describe(path).text(), expected);
}

void DeviceListTest::deviceStrings_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("shown");
    const QString x63(63, u'x');
    QTest::addRow("ASCII") << QByteArray("Acme Scanners") << "Acme Scanners";
    QTest::addRow("UTF-8") << QByteArray("Caf\xc3\xa9 \xe6\xbc\xa2") << "Caf\u00e9 \u6f22";
    QTest::addRow("Latin-1 byte") << QByteArray("Caf\xe9") << "Caf\\xE9";
    QTest::addRow("cut sequence") << QByteArray("A\xe6\xbc") << "A\\xE6\\xBC";
    QTest::addRow("overlong form") << QByteArray("\xc0\xaf") << "\\xC0\\xAF";
    QTest::addRow("control bytes") << QByteArray("A\tB\x1b[2J") << "A\\x09B\\x1B[2J";
    QTest::addRow("invisible character") << QByteArray("A\xe2\x80\xae"
                                                       "B")
                                         << "A\\u202EB";
    QTest::addRow("backslash") << QByteArray("C:\\xFF") << "C:\\\\xFF";
    QTest::addRow("64 characters") << QByteArray(64, 'x') << QString(64, u'x');
    QTest::addRow("65 characters") << QByteArray(65, 'x') << x63 + u'\u2026';
    QTest::addRow("escape at the cut") << QByteArray(62, 'x') + "\xff" << x63.left(62) + u'\u2026';
    QTest::addRow("characters beyond 16 bits count one")
        << QByteArray("\xf0\x9f\x98\x80").repeated(65)
        << QString::fromUtf8(QByteArray("\xf0\x9f\x98\x80").repeated(63)) + u'\u2026';
}

// Maker, product and serial number come from the device; a tooltip shows them as they are.
void DeviceListTest::deviceStrings()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, shown);
    QCOMPARE(printableText(raw), shown);
}

void DeviceListTest::watcherSeesNewAndRemovedDevices()
{
    FakeSystem fake;
    fake.addNode(QStringLiteral("ttyACM0"));
    const DeviceList list = fake.list();
    int lookups = 0;
    DeviceWatcher watcher(
        [&] {
            ++lookups;
            return list.devices();
        },
        20ms);
    QSignalSpy changed(&watcher, &DeviceWatcher::changed);
    watcher.start();

    // Devices present at start and entries that are no serial port are not changes.
    fake.addNode(QStringLiteral("tty5"));
    QTRY_VERIFY(lookups > 3);
    QCOMPARE(changed.count(), 0);

    fake.addNode(QStringLiteral("ttyUSB0"));
    QVERIFY(changed.wait(5000));
    QCOMPARE(watcher.devices(), QStringList({fake.dev() + QStringLiteral("/ttyACM0"),
                                             fake.dev() + QStringLiteral("/ttyUSB0")}));

    QVERIFY(QFile::remove(fake.dev() + QStringLiteral("/ttyACM0")));
    QVERIFY(changed.wait(5000));
    QCOMPARE(watcher.devices(), QStringList{fake.dev() + QStringLiteral("/ttyUSB0")});
}

void DeviceListTest::watcherSeesReplug_data()
{
    QTest::addColumn<bool>("folderAtStart");
    QTest::addRow("dev folder watched") << true;
    QTest::addRow("dev folder made later, polled until then") << false;
}

// A scanner pulled and plugged in again between two looks keeps its name; the watcher of a
// device list still sees the change.
void DeviceListTest::watcherSeesReplug()
{
    QFETCH(bool, folderAtStart);
    FakeSystem fake;
    Pty replugged;
    QVERIFY(fake.pty().isValid() && replugged.isValid());
    const QString acm0 = fake.dev() + QStringLiteral("/ttyACM0");
    if (folderAtStart)
        fake.addNode(QStringLiteral("ttyACM0"));
    DeviceWatcher watcher(fake.list(), 20ms);
    QSignalSpy changed(&watcher, &DeviceWatcher::changed);
    watcher.start();
    QVERIFY(watcher.isActive());
    if (!folderAtStart) {
        QCOMPARE(watcher.devices(), QStringList{});
        fake.addNode(QStringLiteral("ttyACM0"));
        QVERIFY(changed.wait(5000));
        QCOMPARE(watcher.arrived(), QStringList{acm0});
        changed.clear();
    }
    QCOMPARE(watcher.devices(), QStringList{acm0});

    fake.relink(replugged.slavePath(), acm0);
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(watcher.devices(), QStringList{acm0});
    QCOMPARE(watcher.arrived(), QStringList{acm0});

    watcher.stop();
    QVERIFY(!watcher.isActive());
}

QTEST_GUILESS_MAIN(DeviceListTest)
#include "tst_devicelist.moc"
