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

// The program's window and logic on the real terminal device and timing, its port the slave of
// the feeder's pseudo-terminal. Beeps are counted and ring the desktop's bell, as in the
// program; the start-up scan's boxes are swallowed. Notes when the window, the history and the
// barcode display repaint, what the history held at each of its paints, and when Timer1 ticks,
// on the feeder's clock. The benchmark sends only digits and CR, each one character of the
// history as shown, so its length is the count of characters received.
class BenchRig : public QObject
{
    Q_OBJECT

public:
    // Given a `port`, opens that instead, watching the devices for it while it cannot.
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
    // causes settle and forgets what was noted so far; clear() also lets an earlier part settle.
    void setHistory(const QString &raw);
    void clear();
    qint64 historyChars() const;
    // Characters of the history lost or altered against `expected`.
    qint64 damaged(const QString &expected) const;
    // Sends `sent`, `chunk` bytes every `interval` or (with an interval of 0) as fast as the pty
    // takes them, and waits (adding no events of its own) until all of it is in the history and
    // on screen, or it stopped growing for 15 s. Returns the CPU seconds the process spent
    // meanwhile but the feeder's: the window's thread, Qt's helper threads and the X connection's.
    double feed(const QByteArray &sent, std::chrono::nanoseconds interval = {},
                qsizetype chunk = 1);
    // Runs the event loop until one of `paints` came after `since` (monotonicNs()) and is done;
    // the milliseconds from `since`, infinity when none came within `timeoutMs`.
    double msToPaint(const std::vector<qint64> &paints, qint64 since, int timeoutMs = 60'000);
    // Presses `key` in the history or the barcode box as a user does: the milliseconds until its
    // next paint is done, infinity when none came within `timeoutMs`.
    double pressToScreen(QWidget *box, Qt::Key key, Qt::KeyboardModifiers modifiers = {},
                         int timeoutMs = 1000);
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
    // Runs the event loop until `done` holds, for `timeoutMs` at most, looking after each paint.
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
