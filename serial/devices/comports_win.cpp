#include "comports_win.h"

#include "printabletext.h"

#include <QHash>
#include <QWinEventNotifier>

#include <algorithm>
#include <string>

#include <devguid.h>
#include <setupapi.h>

namespace {

// Enough for any value name or port name in the map; longer ones are not ports.
constexpr DWORD MaxName = 256;

// 3 for "COM3"; 0 for a name that is not COM and a number.
unsigned comNumber(const QString &name)
{
    if (!name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    bool ok = false;
    const unsigned number = QStringView(name).mid(3).toUInt(&ok);
    return ok ? number : 0;
}

// A string value of an open registry key; empty when it is missing or not a string.
QString stringValue(HKEY key, const wchar_t *name)
{
    wchar_t value[MaxName] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size)
            != ERROR_SUCCESS
        || type != REG_SZ)
        return {};
    return QString::fromWCharArray(value, int(size / sizeof(wchar_t))).section(QChar(0), 0, 0);
}

// Changes of a registry key's values, through RegNotifyChangeKeyValue(). A notification is
// given once: it is asked for again each time one comes.
class KeyNotice : public ChangeNotice
{
public:
    KeyNotice(HKEY root, QString key)
        : m_root(root)
        , m_key(std::move(key))
        , m_event(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
        , m_notifier(m_event)
    {
        m_notifier.setEnabled(false);
        connect(&m_notifier, &QWinEventNotifier::activated, this, &KeyNotice::signalled);
    }
    ~KeyNotice() override
    {
        stop();
        ::CloseHandle(m_event);
    }

    bool watch() override
    {
        if (m_armed)
            return true;
        if (!m_open) {
            const std::wstring key = m_key.toStdWString();
            m_open
                = ::RegOpenKeyExW(m_root, key.c_str(), 0, KEY_NOTIFY, &m_handle) == ERROR_SUCCESS;
            if (!m_open)
                return false;
        }
        m_armed = ::RegNotifyChangeKeyValue(m_handle, FALSE,
                                            REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                            m_event, TRUE)
                  == ERROR_SUCCESS;
        m_notifier.setEnabled(m_armed);
        return m_armed;
    }
    bool watching() const override { return m_armed; }
    void stop() override
    {
        m_notifier.setEnabled(false);
        m_armed = false;
        if (m_open)
            ::RegCloseKey(m_handle);
        m_open = false;
    }

private:
    void signalled()
    {
        m_armed = false;
        // A key that was deleted cannot be watched again: its handle is let go, and the
        // watcher polls until the key is back.
        if (!watch()) {
            stop();
        }
        Q_EMIT changed();
    }

    HKEY m_root;
    QString m_key;
    HANDLE m_event;
    QWinEventNotifier m_notifier;
    HKEY m_handle = nullptr;
    bool m_open = false;
    bool m_armed = false;
};

// The friendly names of the present ports, by port name, from the device manager's class of
// ports.
QHash<QString, QString> friendlyNames()
{
    QHash<QString, QString> names;
    const HDEVINFO devices
        = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const HKEY key
            = ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        const QString port = stringValue(key, L"PortName");
        ::RegCloseKey(key);
        wchar_t name[MaxName] = {};
        if (port.isEmpty()
            || !::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                    reinterpret_cast<BYTE *>(name),
                                                    sizeof(name) - sizeof(wchar_t), nullptr))
            continue;
        names.insert(port.toUpper(), QString::fromWCharArray(name));
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return names;
}

} // namespace

ComPorts::ComPorts(HKEY root, QString key)
    : m_root(root)
    , m_key(std::move(key))
{}

QStringList ComPorts::devices() const
{
    HKEY key = nullptr;
    const std::wstring keyName = m_key.toStdWString();
    if (::RegOpenKeyExW(m_root, keyName.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return {};
    QStringList ports;
    for (DWORD i = 0;; ++i) {
        wchar_t name[MaxName];
        DWORD nameSize = MaxName;
        if (::RegEnumValueW(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr)
            != ERROR_SUCCESS)
            break;
        const QString port = stringValue(key, name);
        if (!port.isEmpty() && !ports.contains(port, Qt::CaseInsensitive))
            ports.append(port);
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const QString &a, const QString &b) {
        const unsigned numberA = comNumber(a);
        const unsigned numberB = comNumber(b);
        if ((numberA == 0) != (numberB == 0))
            return numberA != 0;
        return numberA != numberB ? numberA < numberB : a.compare(b, Qt::CaseInsensitive) < 0;
    });
    return ports;
}

std::unique_ptr<ChangeNotice> ComPorts::changeNotice() const
{
    return std::make_unique<KeyNotice>(m_root, m_key);
}

QString ComPorts::describe(const QString &port)
{
    QString name = friendlyNames().value(port.toUpper());
    // Windows ends most friendly names in the port's own name, which the text starts with.
    name.remove(QStringLiteral(" (%1)").arg(port), Qt::CaseInsensitive);
    if (name.isEmpty())
        return port;
    return port + QStringLiteral(" \u2014 ") + printableText(name.toUtf8());
}
