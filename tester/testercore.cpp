#include "testercore.h"

#include "devicewatcher.h"
#include "feedback.h"

TesterCore::TesterCore(std::unique_ptr<SerialDevice> device, CommControl::PortList ports,
                       std::unique_ptr<Feedback> feedback, CommControl::Settings settings,
                       Timing timing, QObject *parent)
    : QObject(parent)
    , ComPort(std::move(device), std::move(ports), settings)
    , m_feedback(std::move(feedback))
    , m_commLabel(QStringLiteral("No RS232 Connection"))
    , m_errorMsg(QStringLiteral("No Errors"))
{
    // A named part of the window's logic, as its controls are parts of the window.
    Timer1.setParent(this);
    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(timing.tick);
    m_retry.setInterval(timing.retry);
    // Retries need no precision: a timer accurate to the second lets the system bunch wake-ups.
    using namespace std::chrono_literals;
    m_retry.setTimerType(timing.retry >= 1s ? Qt::VeryCoarseTimer : Qt::CoarseTimer);
    Timer1.setTimerType(Qt::PreciseTimer);
    connect(&Timer1, &QTimer::timeout, this, &TesterCore::Timer1_Timer);
    Timer1.start();

    connect(&ComPort, &CommControl::OnComm, this, &TesterCore::ComPort_OnComm);
    connect(&ComPort, &CommControl::portLost, this, &TesterCore::portLost);

    Form_Load();
}

TesterCore::~TesterCore() = default;

void TesterCore::Form_Load() {}

void TesterCore::Timer1_Timer()
{
    Tick += 1;
    if (Tick > IdleTicks) {
        setIndicator(IndicatorRed);
        setBarCodeText(QString());
        Tick = 0;
    }
}

void TesterCore::Command1_Click()
{
    if (m_history.isEmpty())
        return;
    m_history.clear();
    Q_EMIT historyCleared();
}

void TesterCore::editHistory(qsizetype position, qsizetype removed, QStringView inserted)
{
    position = qBound<qsizetype>(0, position, m_history.size());
    removed = qBound<qsizetype>(0, removed, m_history.size() - position);
    m_history.replace(position, removed, inserted);
}

void TesterCore::editBarCodeText(qsizetype position, qsizetype removed, QStringView inserted)
{
    position = qBound<qsizetype>(0, position, m_barCodeText.size());
    removed = qBound<qsizetype>(0, removed, m_barCodeText.size() - position);
    m_barCodeText.replace(position, removed, inserted.data(), inserted.size());
}

void TesterCore::setCommLabel(const QString &text)
{
    if (text == m_commLabel)
        return;
    m_commLabel = text;
    Q_EMIT changed(Field::CommLabel);
}

void TesterCore::setErrorMsg(const QString &text)
{
    if (text == m_errorMsg)
        return;
    m_errorMsg = text;
    Q_EMIT changed(Field::ErrorMsg);
}

void TesterCore::setIndicator(quint32 color)
{
    // Runs for every received character: only a change of colour is news.
    if (color == m_indicator)
        return;
    m_indicator = color;
    Q_EMIT changed(Field::Indicator);
}

void TesterCore::setBarCodeText(const QString &text)
{
    // Setting a text box to what it holds changes nothing on screen; the idle timeout does
    // that every 26 ticks.
    if (text.isEmpty() && m_barCodeText.isEmpty())
        return;
    m_barCodeText = text;
    Q_EMIT changed(Field::BarCodeText);
}

void TesterCore::reportFailure(const CommResult &failure)
{
    // A failure that repeats while its box is open does not stack another box on top.
    if (m_failureShown)
        return;
    m_failureShown = true;
    m_feedback->messageBox(QStringLiteral("The serial port failed (number %1):\r\r%2")
                               .arg(failure.number())
                               .arg(failure.message()),
                           QStringLiteral("Lumora"));
    m_failureShown = false;
}
