#include "formharness.h"

#include <QCoreApplication>
#include <QTimer>

FormHarness::FormHarness(QStringList portPaths, CommControl::Settings settings)
    : ports(std::make_shared<QStringList>(std::move(portPaths)))
{
    auto fake = std::make_unique<FakeDevice>();
    device = fake.get();
    auto feedback = std::make_unique<RecordingFeedback>();
    beeps = feedback->beeps;
    boxes = feedback->boxes;
    onBox = feedback->onBox;
    form = std::make_unique<Form1>(
        std::move(fake), [list = ports] { return *list; }, std::move(feedback), settings);
    // The timer is driven by hand; a running one would make tick counts depend on time.
    form->Timer1->stop();
}

QStringList FormHarness::defaultPorts()
{
    return {QStringLiteral("/fake/ttyACM0"), QStringLiteral("/fake/ttyACM1"),
            QStringLiteral("/fake/ttyUSB0"), QStringLiteral("/fake/ttyUSB1")};
}

void FormHarness::receive(const QByteArray &bytes)
{
    device->feed(bytes);
    settle();
}

void FormHarness::lineEvent(qint16 code)
{
    device->feedEvent(code);
    settle();
}

void FormHarness::settle()
{
    for (int i = 0; i < 100000 && !form->ComPort->isIdle(); ++i)
        QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents();
}

void FormHarness::tick(int n)
{
    for (int i = 0; i < n; ++i)
        form->Timer1_Timer();
}

void FormHarness::openPort(qint16 port)
{
    form->ComPort->setCommPort(port);
    form->ComPort->setPortOpen(true);
}
