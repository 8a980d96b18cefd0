#include "benchrig.h"

#include "historybox.h"
#include "termiosdevice.h"
#include "textbox.h"

#include <QEvent>
#include <QEventLoop>
#include <QScrollBar>
#include <QTimer>

namespace {

constexpr int OpenTimeoutMs = 10'000;
constexpr int SettleMs = 50;
constexpr int PollMs = 5;

} // namespace

BenchRig::BenchRig()
    : m_rig(std::make_unique<TermiosDevice>(), {m_feeder.slavePath()}, {}, TesterRig::Bell::Rung,
            TesterCore::Timing())
{
    // Timer1 runs as in the program; its ticks are noted, found by name as the window's
    // controls are.
    const auto *timer1 = core().findChild<QTimer *>(QStringLiteral("Timer1"));
    Q_ASSERT(timer1);
    m_history = m_rig.history();
    m_rig.form().installEventFilter(this);
    m_history->viewport()->installEventFilter(this);
    m_barcode = m_rig.barCodeBox();
    m_barcode->installEventFilter(this);
    connect(m_history->document(), &QTextDocument::contentsChange, this,
            &BenchRig::documentChanged);
    connect(timer1, &QTimer::timeout, this, [this] { m_ticks.push_back(monotonicNs()); });
}

BenchRig::~BenchRig()
{
    m_feeder.stop();
}

bool BenchRig::showAndOpen()
{
    m_rig.form().show();
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
    const qint64 replaced = monotonicNs();
    waitForRepaint(replaced, SettleMs);
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
        const qint64 now = historyChars();
        if (now != lastChars) {
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

bool BenchRig::waitForBarcodeRepaint(qint64 afterNs, int timeoutMs)
{
    return runUntil(
        [this, afterNs] { return !m_barcodePaints.empty() && m_barcodePaints.back() > afterNs; },
        timeoutMs);
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
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
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

void BenchRig::runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void BenchRig::documentChanged()
{
    const qint64 chars = historyChars();
    m_progress.push_back({monotonicNs(), chars, threadCpuNs()});
    checkUntil();
}

bool BenchRig::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        const qint64 now = monotonicNs();
        if (watched == &m_rig.form() && m_firstPaintNs == 0)
            m_firstPaintNs = now;
        else if (watched == m_history->viewport())
            m_historyPaints.push_back(now);
        else if (watched == m_barcode)
            m_barcodePaints.push_back(now);
        // Recorded before the paint is done: the wait ends once the event loop is back.
        checkUntil();
    }
    return QObject::eventFilter(watched, event);
}
