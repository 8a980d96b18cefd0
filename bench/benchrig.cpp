#include "benchrig.h"

#include "form1.h"
#include "historybox.h"
#include "termiosdevice.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QScrollBar>
#include <QTimer>

namespace {

constexpr int OpenTimeoutMs = 10'000;
constexpr int StallCheckMs = 50;
constexpr int SettleMs = 50;
constexpr int PollMs = 5;

} // namespace

BenchRig::BenchRig()
{
    auto feedback = std::make_unique<CountingFeedback>();
    m_beeps = feedback->beeps;
    const QString path = m_feeder.slavePath();
    m_form = std::make_unique<Form1>(
        std::make_unique<TermiosDevice>(), [path] { return QStringList{path}; },
        std::move(feedback));
    m_form->installEventFilter(this);
    m_form->TextReceivedTxt->viewport()->installEventFilter(this);
    connect(m_form->TextReceivedTxt->document(), &QTextDocument::contentsChange, this,
            &BenchRig::documentChanged);
    connect(m_form->Timer1, &QTimer::timeout, this, [this] { m_ticks.push_back(monotonicNs()); });
}

BenchRig::~BenchRig()
{
    m_feeder.stop();
}

bool BenchRig::showAndOpen()
{
    m_form->show();
    return runUntil(
        [this] {
            return m_form->ComPort->PortOpen()
                   && m_form->ComPort->devicePath() == m_feeder.slavePath();
        },
        OpenTimeoutMs);
}

void BenchRig::setHistory(const QString &raw)
{
    m_form->TextReceivedTxt->setText(raw);
    QScrollBar *bar = m_form->TextReceivedTxt->verticalScrollBar();
    bar->setValue(bar->maximum());
    // Lets the work the new text causes (layout, scroll bars, repaint) finish first, so that
    // it is not counted against what arrives next.
    const qint64 replaced = monotonicNs();
    waitForRepaint(replaced, SettleMs);
    runFor(SettleMs);
}

qint64 BenchRig::historyChars() const
{
    return m_form->TextReceivedTxt->document()->characterCount() - 1;
}

void BenchRig::resetNotes()
{
    m_progress.clear();
    m_historyPaints.clear();
    m_ticks.clear();
}

bool BenchRig::waitForChars(qint64 chars, int stallMs)
{
    if (historyChars() >= chars)
        return true;
    QEventLoop loop;
    m_waitLoop = &loop;
    m_waitFor = chars;
    qint64 lastChars = historyChars();
    QElapsedTimer still;
    still.start();
    QTimer stall;
    connect(&stall, &QTimer::timeout, &loop, [&] {
        const qint64 now = historyChars();
        if (now != lastChars) {
            lastChars = now;
            still.restart();
        } else if (still.elapsed() > stallMs) {
            loop.quit();
        }
    });
    stall.start(StallCheckMs);
    loop.exec();
    m_waitLoop = nullptr;
    return historyChars() >= chars;
}

bool BenchRig::waitForRepaint(qint64 afterNs, int timeoutMs)
{
    return runUntil(
        [this, afterNs] { return !m_historyPaints.empty() && m_historyPaints.back() > afterNs; },
        timeoutMs);
}

bool BenchRig::runUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(PollMs);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
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
    if (m_waitLoop && chars >= m_waitFor)
        m_waitLoop->quit();
}

bool BenchRig::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Paint) {
        const qint64 now = monotonicNs();
        if (watched == m_form.get() && m_firstPaintNs == 0)
            m_firstPaintNs = now;
        else if (watched == m_form->TextReceivedTxt->viewport())
            m_historyPaints.push_back(now);
    }
    return QObject::eventFilter(watched, event);
}
