#pragma once

#include "commcontrol.h"

#include <QWidget>

#include <functional>
#include <memory>

class DeviceWatcher;
class Feedback;
class HistoryBox;
class QLabel;
class QPushButton;
class QTimer;
class TextBox;

// The tester's one window: its controls, its timer, its serial control and the handlers that
// carry the logic. Controls and handlers keep the names of the window's design.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    // Colour values laid out 0x00BBGGRR.
    static constexpr quint32 IndicatorRed = 0x0000FF;
    static constexpr quint32 IndicatorGreen = 0x00FF00;
    // Quiet ticks after which the indicator turns red and the current barcode is blanked.
    static constexpr qint16 IdleTicks = 25;
    static constexpr int TimerIntervalMs = 25;

    Form1(std::unique_ptr<SerialDevice> device, CommControl::PortList ports,
          std::unique_ptr<Feedback> feedback, CommControl::Settings settings = {},
          QWidget *parent = nullptr);
    ~Form1() override;

    static QColor colorFromBgr(quint32 value);

    // Event handlers, each bound to one event of a control.
    void Form_Load();
    void Form_Activate();
    void ComPort_OnComm();
    void Timer1_Timer();
    void Command1_Click();

    // Re-runs the port scan when a new device appears while no port is open: a scanner
    // plugged in after start-up, or plugged back in after being pulled. Takes ownership.
    void watchDevices(DeviceWatcher *watcher);
    // Describes a device for the connection's tooltip (maker, product, serial number).
    void setDeviceDescriber(std::function<QString(const QString &path)> describe);

    // The barcode being assembled, for inspection.
    const QString &barCodeBuffer() const { return BarCodeBuffer; }
    const QString &lastInput() const { return LastInput; }

    // Controls, in tab order.
    QLabel *CommLabel;
    QLabel *ErrorMsg;
    QLabel *Label4;
    QLabel *Label5;
    TextBox *ReceivedData;
    QLabel *Label2;
    QLabel *Label3;
    QPushButton *Command1;
    HistoryBox *TextReceivedTxt;
    QLabel *Label6;
    TextBox *BarCodeText;
    QLabel *Label1;
    QLabel *Label7;

    QTimer *Timer1;
    CommControl *ComPort;

    // Timer ticks since the last received data or the last idle timeout.
    qint16 Tick = 0;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void createControls();
    void ScanComPorts();
    void receive();
    void portLost();
    void devicesChanged();
    void connectionChanged();
    void setIndicator(quint32 color);
    // Runs a handler so that a failure it does not trap is shown to the user instead of
    // escaping into the event loop; the program goes on.
    template<typename Handler>
    void runHandler(Handler &&handler);
    void reportFailure(int number, const QString &message);

    std::unique_ptr<Feedback> m_feedback;
    DeviceWatcher *m_watcher = nullptr;
    QStringList m_watchedDevices;
    std::function<QString(const QString &path)> m_describe;
    QString LastInput;
    QString BarCodeBuffer;
    bool m_shown = false;
    bool m_scanning = false;
    bool m_failureShown = false;
};
