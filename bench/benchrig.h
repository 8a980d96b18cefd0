#pragma once

#include "ptyfeeder.h"
#include "testerrig.h"

#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class HistoryBox;
class QEventLoop;

// The real window on the real terminal device, its port on the slave of a pseudo-terminal
// whose master the feeder writes to; beeps ring the desktop's bell, as in the program. Notes
// when the history's document grows, when the window, the history and the barcode display
// repaint and when the timer ticks, all on the feeder's clock.
//
// The benchmark sends only digits and CR, each of which becomes one character of the
// document (besides the breaks between the rows of a long line), so the document's length is
// the count of characters received.
class BenchRig : public QObject
{
    Q_OBJECT

public:
    struct Progress
    {
        qint64 ns;
        qint64 chars; // characters in the history's document
        qint64 cpuNs; // CPU time of the window's thread so far
    };

    BenchRig();
    ~BenchRig() override;

    bool isValid() const { return m_feeder.isValid(); }
    QString errorString() const { return m_feeder.errorString(); }

    // Shows the window and waits until its start-up scan has opened the pseudo-terminal.
    bool showAndOpen();
    TesterCore &core() { return m_rig.core(); }
    PtyFeeder &feeder() { return m_feeder; }
    qint64 beeps() const { return m_rig.record->beeps; }

    // Replaces the history with `raw` (CR LF line breaks) and shows its end.
    void setHistory(const QString &raw);
    qint64 historyChars() const;
    // Forgets what was noted so far.
    void resetNotes();
    // Runs the event loop until the history holds `chars` characters; false when it stopped
    // growing for `stallMs` first. Adds no timer events while the history grows.
    bool waitForChars(qint64 chars, int stallMs);
    // Runs the event loop until the history repaints after `afterNs`, for `timeoutMs` at most.
    bool waitForRepaint(qint64 afterNs, int timeoutMs);
    // The same for the barcode display.
    bool waitForBarcodeRepaint(qint64 afterNs, int timeoutMs);
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
    void documentChanged();
    // Runs the event loop until `done` holds, for `timeoutMs` at most (-1: no limit). `done` is
    // looked at after each change of the history's document and each repaint noted, and every
    // `pollMs` if that is not 0.
    bool runUntil(const std::function<bool()> &done, int timeoutMs, int pollMs = 0);
    void checkUntil();

    PtyFeeder m_feeder;
    TesterRig m_rig;
    HistoryBox *m_history = nullptr;
    QWidget *m_barcode = nullptr;
    qint64 m_firstPaintNs = 0;
    // runUntil() is running this loop until this holds.
    QEventLoop *m_untilLoop = nullptr;
    const std::function<bool()> *m_until = nullptr;
    std::vector<Progress> m_progress;
    std::vector<qint64> m_historyPaints;
    std::vector<qint64> m_barcodePaints;
    std::vector<qint64> m_ticks;
};
