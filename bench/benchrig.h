#pragma once

#include "ptyfeeder.h"
#include "traffic.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class BenchFeedback;
class Form1;
class HistoryBox;
class QEventLoop;
class QTimer;
class TesterCore;

// The program's window and logic on the real terminal device, with the program's timing, its
// port the slave of the feeder's pseudo-terminal. Beeps are counted and ring the desktop's
// bell, as in the program; the start-up scan's boxes are swallowed. Notes when the window, the
// history and the barcode display repaint, what the history held at each of its paints, and
// when Timer1 ticks, on the feeder's clock.
//
// The benchmark sends only digits and CR, each of which is one character of the history as
// shown, so its length is the count of characters received.
class BenchRig : public QObject
{
    Q_OBJECT

public:
    // Given a `port`, the window opens that one instead of the feeder's, and while it cannot,
    // watches the devices for it as the program does.
    explicit BenchRig(const QString &port = {});
    ~BenchRig() override;

    // Shows the window and waits until its start-up scan has opened the pseudo-terminal.
    bool showAndOpen();
    TesterCore &core();
    PtyFeeder &feeder() { return m_feeder; }
    qint64 beeps() const;
    HistoryBox *historyBox() { return m_history; }
    QWidget *barcodeBox() { return m_barcode; }
    QTimer *timer1() { return m_timer1; }

    // Replaces the history with `raw` (CR LF line breaks), shows its end, lets the work that
    // causes settle and forgets what was noted so far.
    void setHistory(const QString &raw);
    // Empties the history and lets what an earlier part left behind settle, before a part.
    void clear();
    qint64 historyChars() const;
    // Runs the event loop until the history holds `chars` characters; false when it stopped
    // growing for 15 s first. Adds no events of its own while it grows.
    bool waitForChars(qint64 chars);
    // Sends `sent`, `chunk` bytes every `interval` or (with an interval of 0) as fast as the pty
    // takes them, and waits until all of it is in the history and on screen. Returns the CPU
    // seconds the process spent meanwhile, without the feeder's: the window's thread, Qt's
    // helper threads and the X connection's.
    double feed(const QByteArray &sent, std::chrono::nanoseconds interval = {},
                qsizetype chunk = 1);
    // Runs the event loop until one of `paints` (historyPaints(), barcodePaints()) came after
    // `since` (monotonicNs()) and is done; the milliseconds from `since`, infinity when none
    // came within `timeoutMs`.
    double msToPaint(const std::vector<qint64> &paints, qint64 since, int timeoutMs = 60'000);
    // Runs the event loop for `ms`, adding no events of its own.
    void runFor(int ms);

    qint64 firstPaintNs() const { return m_firstPaintNs; }
    const std::vector<Progress> &progress() const { return m_progress; }
    const std::vector<qint64> &historyPaints() const { return m_historyPaints; }
    const std::vector<qint64> &barcodePaints() const { return m_barcodePaints; }
    const std::vector<qint64> &ticks() const { return m_ticks; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Runs the event loop until `done` holds, for `timeoutMs` at most. `done` is looked at after
    // each change of the history's document and each repaint noted.
    bool runUntil(const std::function<bool()> &done, int timeoutMs);

    PtyFeeder m_feeder;
    BenchFeedback *m_feedback = nullptr; // owned by the window's logic
    std::unique_ptr<Form1> m_form;
    HistoryBox *m_history = nullptr;
    QWidget *m_barcode = nullptr;
    QTimer *m_timer1 = nullptr;
    qint64 m_firstPaintNs = 0;
    // runUntil() is running this loop until this holds.
    QEventLoop *m_untilLoop = nullptr;
    const std::function<bool()> *m_until = nullptr;
    std::vector<Progress> m_progress;
    std::vector<qint64> m_historyPaints;
    std::vector<qint64> m_barcodePaints;
    std::vector<qint64> m_ticks;
};

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"); -1 when it cannot be read.
qint64 memoryBytes(const char *field);
// Makes the peak resident memory (VmHWM) start again from what is resident now.
bool resetPeakMemory();
