#include "bytes.h"
#include "commerror.h"
#include "commevents.h"
#include "formharness.h"
#include "historybox.h"
#include "testmain.h"
#include "textbox.h"

#include <QLabel>
#include <QPushButton>
#include <QTextBlock>

// What the window makes of received characters and line events, and of the idle timeout and
// the Clear button.
class ReceiveTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void barcodeCompletes();
    void crLfScanner();
    void twoCarriageReturns();
    void multiCharacterReadCompletesNothing();
    void emptyReadAppendsNul();
    void everyByteValueArrivesUnchanged();
    void controlCharactersShownAsPictures();
    void lineEvents_data();
    void lineEvents();
    void unknownCodesChangeNothing_data();
    void unknownCodesChangeNothing();
    void idleTimeout();
    void steadyArrivalsKeepGreen();
    void pauseDoesNotSplitBarcode();
    void clearInMidBarcode();
    void typedTextStaysInHistory();
    void failureInHandlerShownOnce();

private:
    std::unique_ptr<FormHarness> h;
    Form1 *f = nullptr;
};

static const QColor Green(0, 255, 0);
static const QColor Red(255, 0, 0);

void ReceiveTest::init()
{
    h = std::make_unique<FormHarness>();
    f = h->form.get();
    h->openPort();
}

void ReceiveTest::cleanup()
{
    f = nullptr;
    h.reset();
}

void ReceiveTest::barcodeCompletes()
{
    h->tick(10);
    h->receive("4006381333931\r");
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("4006381333931\r\n"));
    QCOMPARE(f->BarCodeText->Text(), QStringLiteral("4006381333931"));
    QVERIFY(f->barCodeBuffer().isEmpty());
    QCOMPARE(*h->beeps, 14);
    QCOMPARE(f->ReceivedData->BackColor(), Green);
    QCOMPARE(f->Tick, qint16(0));
    QCOMPARE(f->lastInput(), QStringLiteral("\r"));
    // On screen the line break is one real paragraph break, not two.
    f->TextReceivedTxt->flush();
    QCOMPARE(f->TextReceivedTxt->document()->blockCount(), 2);
    QCOMPARE(f->TextReceivedTxt->document()->firstBlock().text(), QStringLiteral("4006381333931"));
}

void ReceiveTest::crLfScanner()
{
    h->receive("123\r\n456\r\n");
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("123\r\n\n456\r\n\n"));
    QCOMPARE(f->BarCodeText->Text(), QStringLiteral("\n456"));
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("\n"));
    // The LF is shown as what it is, leading the next line.
    QCOMPARE(f->BarCodeText->text(), QStringLiteral("\u240A456"));
    f->TextReceivedTxt->flush();
    QCOMPARE(f->TextReceivedTxt->document()->findBlockByNumber(1).text(),
             QStringLiteral("\u240A456"));
}

void ReceiveTest::twoCarriageReturns()
{
    h->receive("AB\r\r");
    QCOMPARE(f->BarCodeText->Text(), QString());
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("AB\r\n\r\n"));
    QCOMPARE(*h->beeps, 4);
}

void ReceiveTest::multiCharacterReadCompletesNothing()
{
    FormHarness wide(FormHarness::defaultPorts(), CommControl::Settings{.inputLen = 64});
    wide.openPort();
    wide.receive("12\r34");
    // One read returned all five characters: appended whole, CR included; nothing completes.
    QCOMPARE(wide.form->lastInput(), QStringLiteral("12\r34"));
    QCOMPARE(wide.form->TextReceivedTxt->Text(), QStringLiteral("12\r34"));
    QCOMPARE(wide.form->barCodeBuffer(), QStringLiteral("12\r34"));
    QCOMPARE(wide.form->BarCodeText->Text(), QString());
    QCOMPARE(*wide.beeps, 1);
    wide.receive("\r");
    QCOMPARE(wide.form->BarCodeText->Text(), QStringLiteral("12\r34"));
    QCOMPARE(wide.form->BarCodeText->text(), QStringLiteral("12\u240D34"));
}

void ReceiveTest::emptyReadAppendsNul()
{
    h->receive("7");
    QCOMPARE(f->ComPort->CommEvent(), qint16(comEvReceive));
    // A receive event that finds nothing waiting.
    f->ComPort_OnComm();
    QCOMPARE(f->lastInput(), QString(QChar(u'\0')));
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("7") + QChar(u'\0'));
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("7") + QChar(u'\0'));
    QCOMPARE(*h->beeps, 2);
}

void ReceiveTest::everyByteValueArrivesUnchanged()
{
    const QByteArray bytes = everyByteExceptCr();
    // Each byte is the character with the same code.
    const QString expected = QString::fromLatin1(bytes);
    h->receive(bytes);
    QCOMPARE(f->barCodeBuffer(), expected);
    QCOMPARE(f->TextReceivedTxt->Text(), expected);
    h->receive("\r");
    QCOMPARE(f->BarCodeText->Text(), expected);
    QCOMPARE(*h->beeps, 256);
}

void ReceiveTest::controlCharactersShownAsPictures()
{
    h->receive(QByteArray("\x02"
                          "A\tB\x1b\x7f\x03",
                          7));
    f->TextReceivedTxt->flush();
    QCOMPARE(f->TextReceivedTxt->toPlainText(), QStringLiteral("\u2402A\u2409B\u241B\u2421\u2403"));
    h->receive("\r");
    QCOMPARE(f->BarCodeText->text(), QStringLiteral("\u2402A\u2409B\u241B\u2421\u2403"));
}

void ReceiveTest::lineEvents_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    const QList<std::pair<int, const char *>> table{
        {1001, "comEventBreak"},  {1007, "comEventCDTO"},
        {1002, "comEventCTSTO"},  {1003, "comEventDSRTO"},
        {1004, "comEventFrame"},  {1006, "comEventOverrun"},
        {1008, "comEventRxOver"}, {1009, "comEventRxParity"},
        {1010, "comEventTxFull"}, {1011, "comEventDCB"},
        {5, "comEvCD"},           {3, "comEvCTS"},
        {4, "comEvDSR"},          {6, "comEvRing"},
        {1, "comEvSend"},         {7, "comEvEOF"},
    };
    for (const auto &[code, name] : table)
        QTest::addRow("%d", code) << code << QString::fromLatin1(name);
}

void ReceiveTest::lineEvents()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    h->receive("12");
    h->tick(3);
    h->lineEvent(qint16(code));
    QCOMPARE(f->ErrorMsg->text(), name);
    // Nothing else changes.
    QCOMPARE(f->ReceivedData->BackColor(), Green);
    QCOMPARE(f->Tick, qint16(3));
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("12"));
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("12"));
    QCOMPARE(*h->beeps, 2);
    // The name stays until the next event names another.
    h->receive("3\r");
    QCOMPARE(f->ErrorMsg->text(), name);
}

void ReceiveTest::unknownCodesChangeNothing_data()
{
    QTest::addColumn<int>("code");
    for (int code : {0, 8, 1005, 1012, -1})
        QTest::addRow("%d", code) << code;
}

void ReceiveTest::unknownCodesChangeNothing()
{
    QFETCH(int, code);
    h->lineEvent(qint16(code));
    QCOMPARE(f->ErrorMsg->text(), QStringLiteral("No Errors"));
    QCOMPARE(f->ReceivedData->BackColor(), Red);
    QCOMPARE(*h->beeps, 0);
}

void ReceiveTest::idleTimeout()
{
    h->receive("5901234123457\r");
    h->tick(25);
    QCOMPARE(f->BarCodeText->Text(), QStringLiteral("5901234123457"));
    QCOMPARE(f->ReceivedData->BackColor(), Green);
    QCOMPARE(f->Tick, qint16(25));
    h->tick();
    QCOMPARE(f->BarCodeText->Text(), QString());
    QCOMPARE(f->ReceivedData->BackColor(), Red);
    QCOMPARE(f->Tick, qint16(0));
    // With nothing arriving the timeout repeats every 26 ticks and the history is untouched.
    h->tick(26 * 3 + 5);
    QCOMPARE(f->Tick, qint16(5));
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("5901234123457\r\n"));
}

void ReceiveTest::steadyArrivalsKeepGreen()
{
    for (int i = 0; i < 40; ++i) {
        h->receive("9");
        h->tick(25);
        QCOMPARE(f->ReceivedData->BackColor(), Green);
    }
}

void ReceiveTest::pauseDoesNotSplitBarcode()
{
    h->receive("ABC");
    h->tick(100);
    QCOMPARE(f->ReceivedData->BackColor(), Red);
    h->receive("DEF\r");
    QCOMPARE(f->BarCodeText->Text(), QStringLiteral("ABCDEF"));
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("ABCDEF\r\n"));
}

void ReceiveTest::clearInMidBarcode()
{
    h->receive("111\r222");
    h->tick(4);
    f->Command1->click();
    QCOMPARE(f->TextReceivedTxt->Text(), QString());
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("222"));
    QCOMPARE(f->BarCodeText->Text(), QStringLiteral("111"));
    QCOMPARE(f->ReceivedData->BackColor(), Green);
    QCOMPARE(f->Tick, qint16(4));
    h->receive("333\r");
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("333\r\n"));
    QCOMPARE(f->BarCodeText->Text(), QStringLiteral("222333"));
}

void ReceiveTest::typedTextStaysInHistory()
{
    h->receive("AAA\r");
    f->TextReceivedTxt->flush();
    f->TextReceivedTxt->moveCursor(QTextCursor::End);
    QTest::keyClicks(f->TextReceivedTxt, "note");
    QTest::keyClick(f->TextReceivedTxt, Qt::Key_Return);
    h->receive("BBB\r");
    QCOMPARE(f->TextReceivedTxt->Text(), QStringLiteral("AAA\r\nnote\r\nBBB\r\n"));
}

void ReceiveTest::failureInHandlerShownOnce()
{
    // A receive event reaching a closed port: Input fails with 8012. The failure is shown in
    // one box, a repeat while that box is open adds none, and the program goes on.
    h->receive("1");
    f->ComPort->setPortOpen(false);
    *h->onBox = [this](const QString &) {
        Q_EMIT f->ComPort->OnComm();
    };
    Q_EMIT f->ComPort->OnComm();
    QCOMPARE(h->boxes->size(), 1);
    QCOMPARE(h->boxes->first().text,
             QStringLiteral("Run-time error '8012':\r\rThe device is not open"));
    QCOMPARE(f->ReceivedData->BackColor(), Green); // steps before the failure stay done
    *h->onBox = nullptr;
    Q_EMIT f->ComPort->OnComm();
    QCOMPARE(h->boxes->size(), 2);
}

LUMORA_TEST_MAIN(ReceiveTest)
#include "tst_receive.moc"
