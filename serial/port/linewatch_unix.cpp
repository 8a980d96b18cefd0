#include "linewatch.h"

#include "commevents.h"
#include "portsettings.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

constexpr int LinePollIntervalMs = 100;
constexpr int SettingsCheckIntervalMs = 1000;

LineCounters lineCounters(const serial_icounter_struct &icount)
{
    LineCounters counters;
    counters.cts = quint32(icount.cts);
    counters.dsr = quint32(icount.dsr);
    counters.rng = quint32(icount.rng);
    counters.dcd = quint32(icount.dcd);
    counters.frame = quint32(icount.frame);
    counters.parity = quint32(icount.parity);
    counters.brk = quint32(icount.brk);
    counters.overrun = quint32(icount.overrun);
    counters.bufOverrun = quint32(icount.buf_overrun);
    return counters;
}

quint8 modemLines(int bits)
{
    return ((bits & TIOCM_CTS) ? LineCts : 0) | ((bits & TIOCM_DSR) ? LineDsr : 0)
           | ((bits & TIOCM_CD) ? LineCd : 0) | ((bits & TIOCM_RI) ? LineRi : 0);
}

} // namespace

LineWatch::LineWatch(QObject *parent)
    : QObject(parent)
{
    m_lineTimer.setInterval(LinePollIntervalMs);
    connect(&m_lineTimer, &QTimer::timeout, this, &LineWatch::pollLines);
    m_settingsTimer.setInterval(SettingsCheckIntervalMs);
    m_settingsTimer.setTimerType(Qt::VeryCoarseTimer);
    connect(&m_settingsTimer, &QTimer::timeout, this, &LineWatch::checkSettings);
}

void LineWatch::start(int fd)
{
    m_fd = fd;
    m_lineStatus.reset();
    serial_icounter_struct icount{};
    m_haveCounters = ::ioctl(m_fd, TIOCGICOUNT, &icount) == 0;
    if (m_haveCounters)
        m_lineStatus.updateCounters(lineCounters(icount));
    int bits = 0;
    m_haveModemLines = ::ioctl(m_fd, TIOCMGET, &bits) == 0;
    if (m_haveModemLines)
        m_lineStatus.updateModemLines(modemLines(bits));
    if (m_haveCounters || m_haveModemLines)
        m_lineTimer.start();
    m_settingsLost = false;
    m_settingsTimer.start();
}

void LineWatch::stop()
{
    m_lineTimer.stop();
    m_settingsTimer.stop();
    m_fd = -1;
}

QList<qint16> LineWatch::countAfterRead()
{
    serial_icounter_struct icount{};
    if (!m_haveCounters || ::ioctl(m_fd, TIOCGICOUNT, &icount) != 0)
        return {};
    return m_lineStatus.updateCounters(lineCounters(icount));
}

void LineWatch::pollLines()
{
    QList<qint16> events = countAfterRead();
    int bits = 0;
    if (m_haveModemLines && ::ioctl(m_fd, TIOCMGET, &bits) == 0)
        events += m_lineStatus.updateModemLines(modemLines(bits));
    if (!events.isEmpty())
        Q_EMIT eventsFound(events);
}

// Another program with the privilege to pass our exclusive claim may change the port's
// settings, and a driver may lose them; either garbles what arrives from then on.
void LineWatch::checkSettings()
{
    termios current{};
    const bool readable = ::tcgetattr(m_fd, &current) == 0;
    if (readable && hasReceiveSettings(current)) {
        m_settingsLost = false;
        return;
    }
    if (readable) {
        makeReceiveSettings(current);
        ::tcsetattr(m_fd, TCSANOW, &current);
    }
    if (!m_settingsLost) {
        m_settingsLost = true;
        Q_EMIT eventsFound({comEventDCB});
    }
}
