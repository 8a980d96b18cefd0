#include "testerrig.h"

#include "historybox.h"
#include "textbox.h"

#include <QCoreApplication>
#include <QLabel>

#include <cerrno>

TesterRig::TesterRig(QStringList portPaths, CommControl::Settings settings,
                     TesterCore::Timing timing)
    : ports(std::make_shared<QStringList>(std::move(portPaths)))
{
    auto device = std::make_unique<FakeDevice>();
    fake = device.get();
    build(std::move(device), settings, timing);
}

TesterRig::TesterRig(std::unique_ptr<SerialDevice> device, QStringList portPaths,
                     CommControl::Settings settings, TesterCore::Timing timing)
    : ports(std::make_shared<QStringList>(std::move(portPaths)))
{
    build(std::move(device), settings, timing);
}

TesterCore::Timing TesterRig::handTicked()
{
    TesterCore::Timing timing;
    timing.tick = std::chrono::hours(24);
    return timing;
}

void TesterRig::build(std::unique_ptr<SerialDevice> device, CommControl::Settings settings,
                      TesterCore::Timing timing)
{
    auto recorder = std::make_unique<RecordingFeedback>();
    record = recorder->record();
    m_core = std::make_unique<TesterCore>(
        std::move(device), [list = ports] { return *list; }, std::move(recorder), settings, timing);
}

Form1 &TesterRig::form()
{
    if (!m_form)
        m_form = std::make_unique<Form1>(std::move(m_core), std::chrono::milliseconds(0));
    return *m_form;
}

QStringList TesterRig::fakePorts()
{
    return {QStringLiteral("/fake/ttyACM0"), QStringLiteral("/fake/ttyACM1"),
            QStringLiteral("/fake/ttyUSB0"), QStringLiteral("/fake/ttyUSB1")};
}

HistoryBox *TesterRig::history()
{
    return control<HistoryBox>("TextReceivedTxt");
}

TextBox *TesterRig::barCodeBox()
{
    return control<TextBox>("BarCodeText");
}

QString TesterRig::labelText(const char *name)
{
    return control<QLabel>(name)->text();
}

void TesterRig::scan()
{
    core().Form_Activate();
}

void TesterRig::openPort(qint16 port)
{
    Q_ASSERT(fake);
    const auto failures = fake->failures;
    for (qint16 i = 1; i < port; ++i)
        fake->failures.insert(ports->at(i - 1), EBUSY);
    scan();
    fake->failures = failures;
    record->boxes.clear();
}

void TesterRig::receive(const QByteArray &bytes)
{
    fake->feed(bytes);
    settle();
}

void TesterRig::lineEvent(qint16 code)
{
    fake->feedEvent(code);
    settle();
}

void TesterRig::settle()
{
    for (int i = 0; i < 100000 && !core().comPort().isIdle(); ++i)
        QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents();
}

void TesterRig::tick(int n)
{
    for (int i = 0; i < n; ++i)
        core().Timer1_Timer();
}

void TesterRig::frame()
{
    // Frames come at the event loop's next pass in the rig's window.
    form();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}
