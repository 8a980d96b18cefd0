#include "devicelist.h"

#include "devicenode.h"
#include "printabletext.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>

namespace {

// Device name prefixes in list order. The first two are USB serial devices; the rest are
// on-board UART families: 8250/16550 (ttyS), ARM PL011 (ttyAMA), TI OMAP (ttyO), Samsung
// (ttySAC), i.MX (ttymxc, ttyLP), Tegra (ttyTHS), Qualcomm (ttyMSM, ttyHS), Xilinx (ttyPS,
// ttyUL), STM32 (ttySTM), Amlogic (ttyAML), Marvell (ttyMV), SuperH (ttySC).
constexpr auto Prefixes = std::to_array<QLatin1String>(
    {QLatin1String("ttyACM"), QLatin1String("ttyUSB"), QLatin1String("ttyS"),
     QLatin1String("ttyAMA"), QLatin1String("ttyO"), QLatin1String("ttySAC"),
     QLatin1String("ttymxc"), QLatin1String("ttyLP"), QLatin1String("ttyTHS"),
     QLatin1String("ttyMSM"), QLatin1String("ttyHS"), QLatin1String("ttyPS"),
     QLatin1String("ttyUL"), QLatin1String("ttySTM"), QLatin1String("ttyAML"),
     QLatin1String("ttyMV"), QLatin1String("ttySC")});
constexpr qsizetype FirstUartRank = 2;

// Walking up from a USB interface to its device takes two or three steps; the bound only
// stops a walk through a strange tree.
constexpr int MaxParentSteps = 16;

struct Candidate
{
    qsizetype rank = 0; // index into Prefixes
    quint64 number = 0;
    QString name;
};

// Splits "ttyACM10" into the rank of "ttyACM" and 10; false for names of no known family.
bool parseName(const QString &name, Candidate &candidate)
{
    qsizetype digits = name.size();
    while (digits > 0 && name.at(digits - 1).isDigit())
        --digits;
    if (digits == name.size())
        return false;
    const auto prefix = std::find(Prefixes.begin(), Prefixes.end(), QStringView(name).left(digits));
    if (prefix == Prefixes.end())
        return false;
    bool ok = false;
    candidate.number = QStringView(name).mid(digits).toULongLong(&ok);
    candidate.rank = prefix - Prefixes.begin();
    candidate.name = name;
    return ok;
}

// A sysfs attribute's bytes without the trailing newline; empty when it cannot be read.
QByteArray readAttributeBytes(const QString &dir, const QString &attribute)
{
    QFile file(dir + u'/' + attribute);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096).trimmed();
}

QString readAttribute(const QString &dir, const QString &attribute)
{
    return QString::fromUtf8(readAttributeBytes(dir, attribute));
}

// A string the device reports about itself, fit for one line of a tooltip.
QString readDeviceString(const QString &dir, const QString &attribute)
{
    return printableText(readAttributeBytes(dir, attribute));
}

// The kernel marks a console port in its own entry and lists all consoles in console/active.
bool isConsole(const QString &sysTtyDir, const QString &name, const QStringList &activeConsoles)
{
    return activeConsoles.contains(name)
           || readAttribute(sysTtyDir + u'/' + name, QStringLiteral("console")) == u"Y";
}

// The device numbers of the active consoles, from their sysfs entries ("4:64").
QList<quint64> consoleDevices(const QString &sysTtyDir, const QStringList &activeConsoles)
{
    QList<quint64> devices;
    for (const QString &name : activeConsoles) {
        const QStringList parts
            = readAttribute(sysTtyDir + u'/' + name, QStringLiteral("dev")).split(u':');
        bool majorOk = false;
        bool minorOk = false;
        const quint32 major = parts.value(0).toUInt(&majorOk);
        const quint32 minor = parts.value(1).toUInt(&minorOk);
        if (parts.size() == 2 && majorOk && minorOk)
            devices.append(deviceNumber(major, minor));
    }
    return devices;
}

// Whatever name a node has, these devices are consoles: /dev/tty (5:0), /dev/console (5:1),
// the virtual consoles tty0 to tty63 (4:0 to 4:63; on-board UARTs follow from 4:64), and the
// active consoles.
bool isConsoleDevice(quint64 device, const QList<quint64> &activeConsoleDevices)
{
    const quint32 major = deviceMajor(device);
    const quint32 minor = deviceMinor(device);
    return (major == 5 && minor <= 1) || (major == 4 && minor < 64)
           || activeConsoleDevices.contains(device);
}

// The 8250 driver registers as many ports as it was built for, with or without a UART behind
// them; those without report type 0 (PORT_UNKNOWN). An entry without a type cannot be told
// apart from such a phantom, so it is skipped too.
bool hasUartHardware(const QString &sysTtyDir, const QString &name)
{
    bool ok = false;
    const int type = readAttribute(sysTtyDir + u'/' + name, QStringLiteral("type")).toInt(&ok);
    return ok && type != 0;
}

} // namespace

QString DeviceInfo::text() const
{
    QStringList details;
    if (!manufacturer.isEmpty())
        details << manufacturer;
    if (!product.isEmpty())
        details << product;
    if (!serialNumber.isEmpty())
        details << QStringLiteral("serial %1").arg(serialNumber);

    QString text = path;
    if (!details.isEmpty())
        text += QStringLiteral(" \u2014 ") + details.join(QStringLiteral(", "));
    if (isUsb()) {
        const QString ids = productId.isEmpty() ? vendorId : vendorId + u':' + productId;
        text += QStringLiteral(" (USB %1)").arg(ids);
    }
    return text;
}

DeviceList::DeviceList(QString devDir, QString sysTtyDir)
    : m_devDir(std::move(devDir))
    , m_sysTtyDir(std::move(sysTtyDir))
{}

QStringList DeviceList::devices() const
{
    QStringList paths;
    for (const DeviceEntry &entry : entries())
        paths << entry.path;
    return paths;
}

QList<DeviceEntry> DeviceList::entries() const
{
    // Names are matched before anything is stat'ed: /dev holds a hundred entries or more.
    QList<Candidate> candidates;
    QDirIterator it(m_devDir, QDir::AllEntries | QDir::System);
    while (it.hasNext()) {
        it.next();
        Candidate candidate;
        if (parseName(it.fileName(), candidate))
            candidates << candidate;
    }
    if (candidates.isEmpty())
        return {};

    const QStringList activeConsoles
        = readAttribute(m_sysTtyDir + QStringLiteral("/console"), QStringLiteral("active"))
              .split(u' ', Qt::SkipEmptyParts);
    const QList<quint64> activeConsoleDevices = consoleDevices(m_sysTtyDir, activeConsoles);
    QList<std::pair<Candidate, DeviceEntry>> found;
    for (const Candidate &candidate : std::as_const(candidates)) {
        const QString path = m_devDir + u'/' + candidate.name;
        const std::optional<DeviceNode> node = statDeviceNode(path);
        if (!node || !node->isCharDevice || isConsoleDevice(node->device, activeConsoleDevices))
            continue;
        const QString target = QFileInfo(QFileInfo(path).canonicalFilePath()).fileName();
        if (isConsole(m_sysTtyDir, candidate.name, activeConsoles)
            || (!target.isEmpty() && isConsole(m_sysTtyDir, target, activeConsoles)))
            continue;
        if (candidate.rank >= FirstUartRank && !hasUartHardware(m_sysTtyDir, candidate.name))
            continue;
        found.append({candidate, DeviceEntry{path, node->device, node->inode, node->changeTimeNs}});
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) {
        return a.first.rank != b.first.rank ? a.first.rank < b.first.rank
                                            : a.first.number < b.first.number;
    });

    QList<DeviceEntry> entries;
    entries.reserve(found.size());
    for (const auto &[candidate, entry] : std::as_const(found))
        entries << entry;
    return entries;
}

DeviceInfo DeviceList::describe(const QString &path) const
{
    DeviceInfo info;
    info.path = path;

    // tty/<name>/device links to the USB interface (ttyACM) or the usb-serial port (ttyUSB);
    // the USB device, which carries the identity, is the nearest folder above with idVendor.
    const QString name = QFileInfo(path).fileName();
    QString dir
        = QFileInfo(m_sysTtyDir + u'/' + name + QStringLiteral("/device")).canonicalFilePath();
    for (int step = 0; step < MaxParentSteps && !dir.isEmpty(); ++step) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            info.manufacturer = readDeviceString(dir, QStringLiteral("manufacturer"));
            info.product = readDeviceString(dir, QStringLiteral("product"));
            info.serialNumber = readDeviceString(dir, QStringLiteral("serial"));
            info.vendorId = readDeviceString(dir, QStringLiteral("idVendor"));
            info.productId = readDeviceString(dir, QStringLiteral("idProduct"));
            break;
        }
        const QString parent = QFileInfo(dir).path();
        if (parent == dir)
            break;
        dir = parent;
    }
    return info;
}
