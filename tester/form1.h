#pragma once

#include "framepacer.h"
#include "testercore.h"

#include <QWidget>

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
    explicit Form1(std::unique_ptr<TesterCore> core, QWidget *parent = nullptr);
    ~Form1() override;

    TesterCore &core() { return *m_core; }
    static QColor colorFromBgr(quint32 value);
    // Puts what changed since the last frame on screen now, without waiting for the next one.
    void drawFrame();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void createControls();
    void connectCore();
    void draw(TesterCore::Field field);
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
