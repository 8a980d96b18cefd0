#include "benchrig.h"

#include "desktopfeedback.h"
#include "devicewatcher.h"
#include "form1.h"
#include "historybox.h"
#include "proc.h"
#include "termiosdevice.h"
#include "testercore.h"
#include "textbox.h"

#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// Frames come at most every 40 ms: the one after the last character is a part of its cost.
constexpr int FrameWaitMs = 100;

// Rings the desktop's bell as the program does, counting the rings; message boxes (the
// start-up scan's report) would wait for a user, so none is shown.
class BenchFeedback : public DesktopFeedback
{
public:
    void beep() override
    {
        ++beeps;
        if (ring)
            DesktopFeedback::beep();
    }
    void messageBox(const QString &, const QString &) override {}

    qint64 beeps = 0;
    bool ring = true;
};

BenchRig::BenchRig(const QString &port)
{
    auto feedback = std::make_unique<BenchFeedback>();
    m_feedback = feedback.get();
    // The waiting probe, another user, has no sound server to reach: its tries would be counted.
    m_feedback->ring = port.isEmpty();
    const auto ports = [path = port.isEmpty() ? m_feeder.slavePath() : port] {
        return QStringList{path};
    };
    auto core = std::make_unique<TesterCore>(std::make_unique<TermiosDevice>(), ports,
                                             std::move(feedback));
    if (!port.isEmpty())
        core->watchDevices(std::make_unique<DeviceWatcher>(ports));
    m_timer1 = core->findChild<QTimer *>(u"Timer1"_s);
    Q_ASSERT(m_timer1);
    connect(m_timer1, &QTimer::timeout, this, [this] { m_ticks.push_back(monotonicNs()); });
    m_form = std::make_unique<Form1>(std::move(core));
    m_history = m_form->findChild<HistoryBox *>(u"TextReceivedTxt"_s);
    m_barcode = m_form->findChild<TextBox *>(u"BarCodeText"_s);
    for (QWidget *painted :
         {static_cast<QWidget *>(m_form.get()), m_history->viewport(), m_barcode})
        painted->installEventFilter(this);
}

BenchRig::~BenchRig() = default;

TesterCore &BenchRig::core()
{
    return m_form->core();
}

qint64 BenchRig::beeps() const
{
    return m_feedback->beeps;
}

bool BenchRig::showAndOpen()
{
    m_form->show();
    // Opening the port is nothing the rig notes: it looks now and then.
    for (int waited = 0; waited < 10'000; waited += 5) {
        if (m_firstPaintNs && core().comPort().PortOpen()
            && core().comPort().devicePath() == m_feeder.slavePath())
            return true;
        runFor(5);
    }
    return false;
}

void BenchRig::setHistory(const QString &raw)
{
    core().Command1_Click();
    core().editHistory(0, 0, raw);
    m_history->reset();
    QScrollBar *bar = m_history->verticalScrollBar();
    bar->setValue(bar->maximum());
    // Lets the work the new text causes (layout, scroll bars, repaint) finish first, so that
    // it is not counted against what arrives next.
    msToPaint(m_historyPaints, monotonicNs(), 50);
    runFor(50);
    for (auto *noted : {&m_historyPaints, &m_barcodePaints, &m_ticks})
        noted->clear();
    m_progress.clear();
}

void BenchRig::clear()
{
    setHistory(QString());
    runFor(200);
}

qint64 BenchRig::damaged(const QString &expected) const
{
    return Traffic::damagedChars(m_form->core().history(), expected);
}

qint64 BenchRig::historyChars() const
{
    return m_form->core().historyText().shownSize();
}

double BenchRig::feed(const QByteArray &sent, std::chrono::nanoseconds interval, qsizetype chunk)
{
    const qint64 target = historyChars() + sent.size();
    const CpuSince cpu;
    m_progress.push_back({cpu.wallNs, historyChars()});
    m_feeder.start(sent, interval, chunk);
    // One timer event every 15 s at most: the wait costs nothing counted as the program's.
    for (qint64 before = -1; historyChars() < target && historyChars() != before;) {
        before = historyChars();
        runUntil([&] { return historyChars() >= target; }, 15'000);
    }
    m_feeder.stop(); // all written once all arrived; stuck otherwise
    msToPaint(m_historyPaints, m_progress.back().ns, FrameWaitMs);
    return cpu.seconds(m_feeder.cpuNs());
}

double BenchRig::msToPaint(const std::vector<qint64> &paints, qint64 since, int timeoutMs)
{
    if (!runUntil([&] { return !paints.empty() && paints.back() > since; }, timeoutMs))
        return qInf();
    return double(monotonicNs() - since) / 1e6;
}

double BenchRig::pressToScreen(QWidget *box, Qt::Key key, Qt::KeyboardModifiers modifiers,
                               int timeoutMs)
{
    const qint64 pressed = monotonicNs();
    QTest::keyClick(box, key, modifiers);
    return msToPaint(box == m_barcode ? m_barcodePaints : m_historyPaints, pressed, timeoutMs);
}

void BenchRig::runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool BenchRig::runUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    m_until = &done;
    m_untilLoop = &loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    m_until = nullptr;
    m_untilLoop = nullptr;
    return done();
}

bool BenchRig::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        const qint64 now = monotonicNs();
        if (watched == m_form.get() && m_firstPaintNs == 0)
            m_firstPaintNs = now;
        else if (watched == m_history->viewport()) {
            m_historyPaints.push_back(now);
            // Painted: what the history holds is on screen, but for what arrived since the
            // frame began, a fraction of a frame's worth.
            m_progress.push_back({now, historyChars()});
        } else if (watched == m_barcode)
            m_barcodePaints.push_back(now);
        // Noted before the paint is done: the wait ends once the event loop is back.
        if (m_untilLoop && (*m_until)())
            m_untilLoop->quit();
    }
    return QObject::eventFilter(watched, event);
}

PtyFeeder::PtyFeeder()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    const char *name = nullptr;
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0
        || !(name = ::ptsname(master)) || ::tcgetattr(master, &raw) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (master >= 0)
            ::close(master);
        return;
    }
    // Raw, like an idle serial port: what is written arrives unchanged.
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
    m_slavePath = QFile::decodeName(name);
    m_master = master;
}

void PtyFeeder::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

PtyFeeder::~PtyFeeder()
{
    stop();
    if (m_master >= 0)
        ::close(m_master);
}

void PtyFeeder::start(QByteArray bytes, std::chrono::nanoseconds interval, qsizetype chunk)
{
    stop();
    m_stop = false;
    m_pacedTimes.clear();
    m_thread = std::thread([this, bytes = std::move(bytes), interval, chunk] {
        const bool paced = interval != interval.zero();
        const qsizetype step = paced ? chunk : bytes.size();
        // Absolute deadlines: a late wake-up does not push every later chunk back.
        auto next = std::chrono::steady_clock::now();
        for (qsizetype at = 0; at < bytes.size() && !m_stop; at += step) {
            if (paced) {
                std::this_thread::sleep_until(next += interval);
                m_pacedTimes.push_back(monotonicNs());
            }
            if (!writeAll(bytes.constData() + at, qMin(step, bytes.size() - at)))
                break;
        }
        m_cpuNs = clockNs(CLOCK_THREAD_CPUTIME_ID);
    });
}

bool PtyFeeder::writeAll(const char *data, qsizetype size)
{
    while (size > 0 && !m_stop) {
        const ssize_t written = ::write(m_master, data, size_t(size));
        if (written > 0) {
            data += written;
            size -= written;
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            // The slave's input is full: wait until the reader made room, looking out for
            // stop() every 100 ms.
            pollfd room{m_master, POLLOUT, 0};
            ::poll(&room, 1, 100);
        }
    }
    return size == 0;
}
