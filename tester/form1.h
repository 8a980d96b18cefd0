#pragma once

#include "framepacer.h"
#include "testercore.h"

#include <QWidget>

#include <chrono>
#include <memory>

class HistoryBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TextBox;

// The tester's one window: the controls of its design, each named as designed, drawing what
// its logic (TesterCore) holds and handing the user's clicks and typing to it.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    // Drawing costs about the same per frame however many barcodes a frame shows. At most one
    // frame every 40 ms (25 a second) puts each change on screen within about 42 ms, and at a
    // barcode every 15 ms draws less than half as often as a frame per barcode would.
    static constexpr std::chrono::milliseconds FrameInterval{40};

    // Frames come at most every `frameInterval`; with 0, at the event loop's next pass.
    explicit Form1(std::unique_ptr<TesterCore> core,
                   std::chrono::milliseconds frameInterval = FrameInterval,
                   QWidget *parent = nullptr);
    ~Form1() override;

    TesterCore &core() { return *m_core; }
    static QColor colorFromBgr(quint32 value);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void createControls();
    void connectCore();
    void draw(TesterCore::Field field);
    // Puts what changed since the last frame on screen.
    void drawFrame();
    void showIndicator();

    std::unique_ptr<TesterCore> m_core;
    // The history, the current barcode and the indicator go on screen together, at most once
    // per frame.
    FramePacer m_pacer;
    bool m_indicatorPending = false;
    bool m_shown = false;

    // Controls, in tab order.
    QLabel *CommLabel;
    QLabel *ErrorMsg;
    QLabel *Label4;
    QLabel *Label5;
    QLineEdit *ReceivedData;
    QLabel *Label2;
    QLabel *Label3;
    QPushButton *Command1;
    HistoryBox *TextReceivedTxt;
    QLabel *Label6;
    TextBox *BarCodeText;
    QLabel *Label1;
    QLabel *Label7;
};
