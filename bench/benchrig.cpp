#include "benchrig.h"

#include "clocks.h"
#include "desktopfeedback.h"
#include "form1.h"
#include "historybox.h"
#include "termiosdevice.h"
#include "testercore.h"
#include "textbox.h"

#include <QEvent>
#include <QEventLoop>
#include <QScrollBar>
#include <QTimer>

namespace {

constexpr int OpenTimeoutMs = 10'000;
constexpr int SettleMs = 50;
constexpr int PollMs = 5;
// Frames come at most every 40 ms: the one after the last character is a part of its cost.
constexpr int FrameWaitMs = 100;

} // namespace

// Rings the desktop's bell as the program does, counting the rings asked for; message boxes
// (the start-up scan's report) would wait for a user, so none is shown.
class BenchFeedback : public Feedback
{
public:
    void beep() override
    {
        ++beeps;
        m_bell.beep();
    }
    void messageBox(const QString &, const QString &) override {}

    qint64 beeps = 0;

private:
    DesktopFeedback m_bell;
};

BenchRig::BenchRig()
{
    auto feedback = std::make_unique<BenchFeedback>();
    m_feedback = feedback.get();
    auto core = std::make_unique<TesterCore>(
        std::make_unique<TermiosDevice>(),
        [path = m_feeder.slavePath()] { return QStringList{path}; }, std::move(feedback));
    const auto *timer1 = core->findChild<QTimer *>(QStringLiteral("Timer1"));
    Q_ASSERT(timer1);
    connect(timer1, &QTimer::timeout, this, [this] { m_ticks.push_back(monotonicNs()); });
    m_form = std::make_unique<Form1>(std::move(core));
    m_form->installEventFilter(this);
    m_history = m_form->findChild<HistoryBox *>(QStringLiteral("TextReceivedTxt"));
    m_history->viewport()->installEventFilter(this);
    m_barcode = m_form->findChild<TextBox *>(QStringLiteral("BarCodeText"));
    m_barcode->installEventFilter(this);
    connect(m_history->document(), &QTextDocument::contentsChange, this, [this] {
        m_progress.push_back({monotonicNs(), historyChars()});
        checkUntil();
    });
}

BenchRig::~BenchRig()
{
    m_feeder.stop();
}

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
    return runUntil(
        [this] {
            return core().comPort().PortOpen()
                   && core().comPort().devicePath() == m_feeder.slavePath();
        },
        OpenTimeoutMs, PollMs);
}

void BenchRig::setHistory(const QString &raw)
{
    core().Command1_Click();
    core().editHistory(0, 0, raw);
    m_history->showAll(raw);
    QScrollBar *bar = m_history->verticalScrollBar();
    bar->setValue(bar->maximum());
    // Lets the work the new text causes (layout, scroll bars, repaint) finish first, so that
    // it is not counted against what arrives next.
    waitForRepaint(monotonicNs(), SettleMs);
    runFor(SettleMs);
}

qint64 BenchRig::historyChars() const
{
    return m_history->document()->characterCount() - 1 - m_history->rowBreaks();
}

void BenchRig::resetNotes()
{
    m_progress.clear();
    m_historyPaints.clear();
    m_barcodePaints.clear();
    m_ticks.clear();
}

bool BenchRig::waitForChars(qint64 chars, int stallMs)
{
    // No timer of the rig's own fires while characters keep coming: a stall is looked for once
    // the last growth is `stallMs` old, so what the wait costs is not counted as the program's.
    qint64 lastChars = historyChars();
    qint64 lastGrowthNs = monotonicNs();
    QTimer stall;
    stall.setSingleShot(true);
    connect(&stall, &QTimer::timeout, this, [&] {
        if (const qint64 now = historyChars(); now != lastChars) {
            lastChars = now;
            lastGrowthNs = monotonicNs();
        }
        const qint64 stillMs = (monotonicNs() - lastGrowthNs) / 1'000'000;
        if (stillMs < stallMs)
            stall.start(int(stallMs - stillMs));
        else if (m_untilLoop)
            m_untilLoop->quit();
    });
    stall.start(stallMs);
    return runUntil([this, chars] { return historyChars() >= chars; }, -1);
}

bool BenchRig::waitForRepaint(qint64 afterNs, int timeoutMs)
{
    return runUntil(
        [this, afterNs] { return !m_historyPaints.empty() && m_historyPaints.back() > afterNs; },
        timeoutMs);
}

double BenchRig::feed(const QByteArray &sent, std::chrono::nanoseconds interval, qsizetype chunk,
                      int stallMs)
{
    const qint64 target = historyChars() + sent.size();
    const qint64 cpuFrom = processCpuNs();
    if (interval > interval.zero())
        m_feeder.startPaced(sent, interval, chunk);
    else
        m_feeder.startFlood(sent);
    waitForChars(target, stallMs);
    m_feeder.wait();
    waitForRepaint(m_progress.empty() ? monotonicNs() : m_progress.back().ns, FrameWaitMs);
    return double(processCpuNs() - cpuFrom - m_feeder.cpuNs()) / 1e9;
}

void BenchRig::runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool BenchRig::runUntil(const std::function<bool()> &done, int timeoutMs, int pollMs)
{
    if (done())
        return true;
    QEventLoop loop;
    m_until = &done;
    m_untilLoop = &loop;
    QTimer poll;
    if (pollMs > 0) {
        connect(&poll, &QTimer::timeout, &loop, [this] { checkUntil(); });
        poll.start(pollMs);
    }
    if (timeoutMs >= 0)
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    m_until = nullptr;
    m_untilLoop = nullptr;
    return done();
}

void BenchRig::checkUntil()
{
    if (m_untilLoop && (*m_until)())
        m_untilLoop->quit();
}

bool BenchRig::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        const qint64 now = monotonicNs();
        if (watched == m_form.get() && m_firstPaintNs == 0)
            m_firstPaintNs = now;
        else if (watched == m_history->viewport())
            m_historyPaints.push_back(now);
        else if (watched == m_barcode)
            m_barcodePaints.push_back(now);
        // Noted before the paint is done: the wait ends once the event loop is back.
        checkUntil();
    }
    return QObject::eventFilter(watched, event);
}
