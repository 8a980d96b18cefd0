#pragma once

#include "traffic.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// The scanner's end of a pseudo-terminal: the slave (slavePath()) is the port the window
// opens, and a thread writes to the master, either as fast as the slave takes it or a chunk at
// a time at a steady pace.
class PtyFeeder
{
public:
    PtyFeeder();
    ~PtyFeeder();

    // False when no pseudo-terminal could be had; errorString() says why.
    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }

    // Writes `bytes` as fast as the slave takes them, or `chunk` bytes every `interval`, noting
    // when each chunk was written (monotonicNs()).
    void start(QByteArray bytes, std::chrono::nanoseconds interval = {}, qsizetype chunk = 1);
    // Ends the writing: once all is written, or early.
    void stop();

    // When each paced chunk was written, and the CPU time the writing thread used: complete
    // once stop() returned. The process's CPU without the writer's is the window's.
    const std::vector<qint64> &pacedWriteTimes() const { return m_pacedTimes; }
    qint64 cpuNs() const { return m_cpuNs; }

private:
    // Writes all of `data`, waiting while the slave's input is full; false when stopped or failed.
    bool writeAll(const char *data, qsizetype size);

    int m_master = -1;
    QString m_slavePath, m_error;
    std::thread m_thread;
    std::atomic<bool> m_stop = false;
    qint64 m_cpuNs = 0;
    std::vector<qint64> m_pacedTimes;
};

class BenchFeedback;
class Form1;
class HistoryBox;
class QEventLoop;
class QTimer;
class TesterCore;

// The program's window and logic on the real terminal device and timing, its port the slave of
// the feeder's pseudo-terminal; or, given a `port` (the waiting probe), that one, the devices
// watched for it while it cannot be opened, and beeps silent. Beeps are counted and ring the
// desktop's bell, as in the program; the start-up scan's boxes are swallowed. Notes when the
// window, the history and the barcode box repaint, what the history held at each of its paints,
// and when Timer1 ticks. The benchmark sends only digits and CR, each one character of the
// history as shown, so its length is the count of characters received.
class BenchRig : public QObject
{
    Q_OBJECT

public:
    explicit BenchRig(const QString &port = {});
    ~BenchRig() override;

    // Shows the window and waits until it has painted and its start-up scan has opened the
    // pseudo-terminal.
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
    // Sends `sent` (see PtyFeeder::start()) and waits, adding no events of its own, until all of
    // it is in the history and on screen, or it stopped growing for 15 s. Returns the CPU
    // seconds the process spent meanwhile but the feeder's: the window's thread, Qt's helper
    // threads and the X connection's.
    double feed(const QByteArray &sent, std::chrono::nanoseconds interval = {},
                qsizetype chunk = 1);
    // Runs the event loop until one of `paints` came after `since` (monotonicNs()) and is done;
    // the milliseconds from `since`, infinity when none came within `timeoutMs`.
    double msToPaint(const std::vector<qint64> &paints, qint64 since, int timeoutMs = 60'000);
    // The same from pressing `key` in the history or the barcode box, as a user does.
    double pressToScreen(QWidget *box, Qt::Key key, Qt::KeyboardModifiers modifiers = {},
                         int timeoutMs = 1000);
    // Runs the event loop for `ms`, adding no events of its own.
    void runFor(int ms);

    qint64 firstPaintNs() const { return m_firstPaintNs; }
    // Since setHistory(): when each feed() began and each paint of the history, what it held.
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
    QEventLoop *m_untilLoop = nullptr; // runUntil()'s, until this holds:
    const std::function<bool()> *m_until = nullptr;
    std::vector<Progress> m_progress;
    std::vector<qint64> m_historyPaints, m_barcodePaints, m_ticks;
};
