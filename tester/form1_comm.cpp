#include "form1.h"

#include "commevents.h"
#include "feedback.h"
#include "historybox.h"
#include "textbox.h"

#include <QLabel>

void Form1::ComPort_OnComm()
{
    const qint16 code = ComPort->CommEvent();
    if (code == comEvReceive) {
        receive();
        return;
    }
    // Every other event of the control's table is named; codes outside it change nothing.
    const QString name = commEventName(code);
    if (!name.isEmpty())
        ErrorMsg->setText(name);
}

void Form1::receive()
{
    setIndicator(IndicatorGreen);
    Tick = 0;
    LastInput = ComPort->Input();
    if (LastInput.isEmpty())
        LastInput = QString(1, QChar(u'\0'));
    m_feedback->beep();
    if (LastInput == u"\r") {
        TextReceivedTxt->appendLineBreak();
        BarCodeText->setText(BarCodeBuffer);
        BarCodeBuffer.clear();
    } else {
        TextReceivedTxt->appendReceived(LastInput);
        BarCodeBuffer += LastInput;
    }
}

void Form1::Timer1_Timer()
{
    Tick += 1;
    if (Tick > IdleTicks) {
        setIndicator(IndicatorRed);
        BarCodeText->setText(QString());
        Tick = 0;
    }
}

void Form1::Command1_Click()
{
    TextReceivedTxt->setText(QString());
}

void Form1::setIndicator(quint32 color)
{
    // Runs for every received character: the colour is made once, not each time.
    static const QColor red = colorFromBgr(IndicatorRed);
    static const QColor green = colorFromBgr(IndicatorGreen);
    if (ReceivedData->setBackColor(color == IndicatorGreen ? green : red))
        ReceivedData->setAccessibleDescription(color == IndicatorGreen ? QStringLiteral("receiving")
                                                                       : QStringLiteral("idle"));
}
