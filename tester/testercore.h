#pragma once

#include "commcontrol.h"
#include "historytext.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class DeviceWatcher;
class Feedback;

// How often the tester's logic acts on its own: settings, so that tests can drive time.
struct TesterTiming
{
    std::chrono::milliseconds tick{25}; // Timer1's period
    // While no port is open, ports that could not be opened are tried again this often.
    std::chrono::milliseconds retry{1000};
};

// The tester window's logic, without its widgets: the state, the serial control, the timer
// and the handlers that carry the logic, under the names of the window's design. It holds
// what the window shows (the received history and the current barcode exactly as received,
// the labels' texts, the indicator's colour) and says what changed; the window only draws it
// and hands the user's typing back.
class TesterCore : public QObject
{
    Q_OBJECT

public:
    // Colour values laid out 0x00BBGGRR.
    static constexpr quint32 IndicatorRed = 0x0000FF;
    static constexpr quint32 IndicatorGreen = 0x00FF00;
    // Quiet ticks after which the indicator turns red and the current barcode is blanked.
    static constexpr qint16 IdleTicks = 25;
    // The window only ever uses ports 1 to 4.
    static constexpr qint16 LastPort = 4;

    enum class Field {
        CommLabel = 0x01,
        ErrorMsg = 0x02,
        Indicator = 0x04,
        BarCodeText = 0x08,
        Connection = 0x10, // what connectionDetails() says
    };

    using Timing = TesterTiming;

    TesterCore(std::unique_ptr<SerialDevice> device, CommControl::PortList ports,
               std::unique_ptr<Feedback> feedback, CommControl::Settings settings = {},
               Timing timing = {}, QObject *parent = nullptr);
    ~TesterCore() override;

    // Event handlers, each bound to one event of a control.
    void Form_Load();
    void Form_Activate();
    void ComPort_OnComm();
    void Timer1_Timer();
    void Command1_Click();

    // Looks for scanners while no port is open: a change of the devices starts a scan, and
    // ports that could not be opened are tried again quietly. Takes ownership.
    void watchDevices(std::unique_ptr<DeviceWatcher> watcher);
    // Describes a device for the connection details (maker, product, serial number).
    void setDeviceDescriber(std::function<QString(const QString &path)> describe);

    // The user changed the history: `removed` characters at `position` became `inserted`.
    void editHistory(qsizetype position, qsizetype removed, QStringView inserted);
    // The same for the current barcode's text box.
    void editBarCodeText(qsizetype position, qsizetype removed, QStringView inserted);

    // Timer ticks since the last received data or the last idle timeout.
    qint16 Tick = 0;

    const QString &lastInput() const { return LastInput; }
    const QString &barCodeBuffer() const { return BarCodeBuffer; }
    // The history's text: what was received, a completed barcode's line ended by CR LF, and
    // whatever the user typed, each where it happened.
    const QString &history() const { return m_history.text(); }
    const HistoryText &historyText() const { return m_history; }
    const QString &barCodeText() const { return m_barCodeText; }
    const QString &commLabel() const { return m_commLabel; }
    const QString &errorMsg() const { return m_errorMsg; }
    quint32 indicator() const { return m_indicator; }
    // Plain text: the open port's device, or what ports 1 to 4 were at the last scan and why
    // each could not be had.
    QString connectionDetails() const;

    const CommControl &comPort() const { return ComPort; }

Q_SIGNALS:
    void changed(TesterCore::Field field);
    // Received text went onto the end of the history: characters, or a completed barcode's
    // line break (CR LF).
    void historyAppended(QStringView chars, bool lineBreak);
    void historyCleared();

private:
    void ScanComPorts();
    void receive();
    void setCommLabel(const QString &text);
    void setErrorMsg(const QString &text);
    void setIndicator(quint32 color);
    void setBarCodeText(const QString &text);
    void reportFailure(const CommResult &failure);
    void connected(qint16 port);
    void portLost();
    void devicesChanged();
    void retryPorts();
    void lookForScanners();
    bool leftAlone(const QString &path) const;
    QString waitingReason() const;

    CommControl ComPort;
    QTimer Timer1;
    std::unique_ptr<Feedback> m_feedback;
    QString LastInput;
    QString BarCodeBuffer;

    HistoryText m_history;
    QString m_barCodeText;
    QString m_commLabel;
    QString m_errorMsg;
    quint32 m_indicator = IndicatorRed;

    // The devices ports 1, 2, ... were at the last scan, and why each could not be had.
    QStringList m_scanPorts;
    std::array<QString, LastPort + 1> m_portFailures;
    std::function<QString(const QString &path)> m_describe;
    std::unique_ptr<DeviceWatcher> m_watcher;
    // The device of the open port; once it is lost, the devices there were then, which are
    // not opened in its place: Lumora waits for the scanner, or whatever device appears next.
    QString m_openDevice;
    std::optional<QStringList> m_presentAtLoss;
    QTimer m_retry;
    bool m_activated = false;
    bool m_scanning = false;
    bool m_failureShown = false;
};
