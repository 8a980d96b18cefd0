#include "testercore.h"

#include "commevents.h"
#include "feedback.h"

void TesterCore::ComPort_OnComm()
{
    const qint16 code = ComPort.CommEvent();
    if (code == comEvReceive) {
        receive();
        return;
    }
    // Every other event of the control's table is named; codes outside it change nothing.
    const QString name = commEventName(code);
    if (!name.isEmpty())
        setErrorMsg(name);
}

void TesterCore::receive()
{
    setIndicator(IndicatorGreen);
    Tick = 0;
    CommInput input = ComPort.Input();
    if (!input.result.ok()) {
        reportFailure(input.result);
        return;
    }
    LastInput = std::move(input.chars);
    if (LastInput.isEmpty())
        LastInput = QString(1, QChar(u'\0'));
    m_feedback->beep();
    if (LastInput == u"\r") {
        m_history.append(u"\r\n");
        Q_EMIT historyAppended(QStringView(m_history.text()).right(2), true);
        setBarCodeText(BarCodeBuffer);
        BarCodeBuffer.clear();
    } else {
        m_history.append(LastInput);
        Q_EMIT historyAppended(LastInput, false);
        BarCodeBuffer += LastInput;
    }
}
