#pragma once

#include "serialdevice.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>

#include <deque>
#include <variant>

// A serial device in memory: tests feed it bytes and line events, make opens fail and pull
// the device away, and see what the control asked of it.
class FakeDevice : public SerialDevice
{
    Q_OBJECT

public:
    DeviceResult open(const QString &path) override;
    DeviceResult close() override;
    bool isOpen() const override { return m_open; }
    DeviceResult drain(ReceiveSink &sink, qsizetype maxBytes) override;
    void setReadNotification(bool enabled) override { m_notify = enabled; }

    // Received by the device, delivered at the next drain.
    void feed(const QByteArray &bytes);
    void feedEvent(qint16 code);
    // Found beside the reads, as a real device's line watch finds modem line changes.
    void lineEvent(qint16 code);
    // The device goes away, as when a USB scanner is pulled out while nothing reads it.
    void pullOut();
    // The line goes down: the next drain delivers what waits, then finds the device gone.
    void hangUp();

    QString path() const { return m_path; }
    bool notifying() const { return m_notify; }

    // Opens of these paths fail with the given errno.
    QHash<QString, int> failures;
    // Every path the control opened, in order.
    QStringList opened;
    int closeCount = 0;

private:
    bool m_open = false;
    bool m_notify = false;
    bool m_hungUp = false;
    QString m_path;
    std::deque<std::variant<QByteArray, qint16>> m_pending;
};
