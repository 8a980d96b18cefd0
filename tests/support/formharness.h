#pragma once

#include "fakedevice.h"
#include "form1.h"
#include "recordingfeedback.h"

#include <memory>

// A Form1 on a fake device with recorded beeps and message boxes. Ports 1 to 4 are the
// paths in `ports` (changeable while the test runs).
struct FormHarness
{
    explicit FormHarness(QStringList portPaths = defaultPorts(),
                         CommControl::Settings settings = {});

    static QStringList defaultPorts();
    // Feeds bytes to the device and handles every event they cause.
    void receive(const QByteArray &bytes);
    void lineEvent(qint16 code);
    // Runs the event loop until the control has delivered everything it holds.
    void settle();
    // Runs the timer's handler n times.
    void tick(int n = 1);
    // Opens the port the way a finished scan would, without the boxes.
    void openPort(qint16 port = 1);

    FakeDevice *device;
    std::shared_ptr<QStringList> ports;
    std::shared_ptr<int> beeps;
    std::shared_ptr<QList<RecordingFeedback::Box>> boxes;
    std::shared_ptr<std::function<void(const QString &)>> onBox;
    std::unique_ptr<Form1> form;
};
