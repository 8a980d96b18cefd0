#pragma once

#include "fakedevice.h"
#include "form1.h"
#include "recordingfeedback.h"

#include <memory>

class HistoryBox;
class TextBox;

// The tester's logic with recorded beeps and message boxes, on a fake device or on the given
// one (the terminal device, for pseudo-terminals), and its window once a test asks for it.
// Beeps are counted.
// Ports 1, 2, ... are the paths in `ports`, which the test may change while it runs. Timer1
// ticks by hand (tests call tick()) unless the timing given says otherwise.
class TesterRig
{
public:
    explicit TesterRig(QStringList portPaths = fakePorts(), CommControl::Settings settings = {},
                       TesterCore::Timing timing = handTicked());
    TesterRig(std::unique_ptr<SerialDevice> device, QStringList portPaths,
              CommControl::Settings settings = {}, TesterCore::Timing timing = handTicked());

    static QStringList fakePorts();
    // The program's timing, with Timer1 too slow to ever tick on its own in a test.
    static TesterCore::Timing handTicked();

    TesterCore &core() { return m_form ? m_form->core() : *m_core; }
    // The window, made on first use; it draws the logic from then on.
    Form1 &form();
    // A control of the window, by its name.
    template<typename T>
    T *control(const char *name)
    {
        return form().findChild<T *>(QLatin1String(name));
    }
    HistoryBox *history();
    TextBox *barCodeBox();
    // What the label of that name shows.
    QString labelText(const char *name);

    // Runs the start-up scan, as when the window is first shown.
    void scan();
    // Opens `port` as a scan would, with the other ports busy for the while; forgets the boxes.
    void openPort(qint16 port = 1);
    // Feeds bytes to the fake device and handles every event they cause.
    void receive(const QByteArray &bytes);
    void lineEvent(qint16 code);
    // Runs the event loop until the control has delivered everything it holds.
    void settle();
    void tick(int n = 1);
    // Runs the frame the window keeps for its next pass of the event loop: the rig makes its
    // window with frames at once rather than paced.
    void frame();

    std::shared_ptr<QStringList> ports;
    std::shared_ptr<RecordingFeedback::Record> record;
    FakeDevice *fake = nullptr; // null on a real device

private:
    void build(std::unique_ptr<SerialDevice> device, CommControl::Settings settings,
               TesterCore::Timing timing);

    std::unique_ptr<TesterCore> m_core;
    std::unique_ptr<Form1> m_form;
};
