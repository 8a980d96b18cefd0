#include "bytes.h"
#include "commevents.h"
#include "testerrig.h"
#include "testmain.h"

#include <QRandomGenerator>

// What the window's logic makes of received characters and line events, and of the idle
// timeout and the Clear button.
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
    void lineEvents_data();
    void lineEvents();
    void unknownCodesChangeNothing_data();
    void unknownCodesChangeNothing();
    void idleTimeout();
    void steadyArrivalsKeepGreen();
    void pauseDoesNotSplitBarcode();
    void clearInMidBarcode();
    void typingKeepsItsPlace();
    void historyRowsFollowEveryEdit();
    void failureInHandlerShownOnce();

private:
    std::unique_ptr<TesterRig> h;
    TesterCore *f = nullptr;
};

static constexpr quint32 Green = TesterCore::IndicatorGreen;
static constexpr quint32 Red = TesterCore::IndicatorRed;

void ReceiveTest::init()
{
    h = std::make_unique<TesterRig>();
    f = &h->core();
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
    QCOMPARE(f->history(), QStringLiteral("4006381333931\r\n"));
    QCOMPARE(f->barCodeText(), QStringLiteral("4006381333931"));
    QVERIFY(f->barCodeBuffer().isEmpty());
    QCOMPARE(h->record->beeps, 14);
    QCOMPARE(f->indicator(), Green);
    QCOMPARE(f->Tick, qint16(0));
    QCOMPARE(f->lastInput(), QStringLiteral("\r"));
}

void ReceiveTest::crLfScanner()
{
    h->receive("123\r\n456\r\n");
    QCOMPARE(f->history(), QStringLiteral("123\r\n\n456\r\n\n"));
    QCOMPARE(f->barCodeText(), QStringLiteral("\n456"));
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("\n"));
}

void ReceiveTest::twoCarriageReturns()
{
    h->receive("AB\r\r");
    QCOMPARE(f->barCodeText(), QString());
    QCOMPARE(f->history(), QStringLiteral("AB\r\n\r\n"));
    QCOMPARE(h->record->beeps, 4);
}

void ReceiveTest::multiCharacterReadCompletesNothing()
{
    TesterRig wide(TesterRig::fakePorts(), CommControl::Settings{.charsPerRead = 64});
    wide.openPort();
    wide.receive("12\r34");
    // One read returned all five characters: appended whole, CR included; nothing completes.
    QCOMPARE(wide.core().lastInput(), QStringLiteral("12\r34"));
    QCOMPARE(wide.core().history(), QStringLiteral("12\r34"));
    QCOMPARE(wide.core().barCodeBuffer(), QStringLiteral("12\r34"));
    QCOMPARE(wide.core().barCodeText(), QString());
    QCOMPARE(wide.record->beeps, 1);
    wide.receive("\r");
    QCOMPARE(wide.core().barCodeText(), QStringLiteral("12\r34"));
}

void ReceiveTest::emptyReadAppendsNul()
{
    h->receive("7");
    QCOMPARE(f->comPort().CommEvent(), qint16(comEvReceive));
    // A receive event that finds nothing waiting.
    f->ComPort_OnComm();
    QCOMPARE(f->lastInput(), QString(QChar(u'\0')));
    QCOMPARE(f->history(), QStringLiteral("7") + QChar(u'\0'));
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("7") + QChar(u'\0'));
    QCOMPARE(h->record->beeps, 2);
}

void ReceiveTest::everyByteValueArrivesUnchanged()
{
    const QByteArray bytes = everyByteExceptCr();
    // Each byte is the character with the same code.
    const QString expected = QString::fromLatin1(bytes);
    h->receive(bytes);
    QCOMPARE(f->barCodeBuffer(), expected);
    QCOMPARE(f->history(), expected);
    h->receive("\r");
    QCOMPARE(f->barCodeText(), expected);
    QCOMPARE(h->record->beeps, 256);
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
    QCOMPARE(f->errorMsg(), name);
    // Nothing else changes.
    QCOMPARE(f->indicator(), Green);
    QCOMPARE(f->Tick, qint16(3));
    QCOMPARE(f->history(), QStringLiteral("12"));
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("12"));
    QCOMPARE(h->record->beeps, 2);
    // The name stays until the next event names another.
    h->receive("3\r");
    QCOMPARE(f->errorMsg(), name);
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
    QCOMPARE(f->errorMsg(), QStringLiteral("No Errors"));
    QCOMPARE(f->indicator(), Red);
    QCOMPARE(h->record->beeps, 0);
}

void ReceiveTest::idleTimeout()
{
    h->receive("5901234123457\r");
    h->tick(25);
    QCOMPARE(f->barCodeText(), QStringLiteral("5901234123457"));
    QCOMPARE(f->indicator(), Green);
    QCOMPARE(f->Tick, qint16(25));
    h->tick();
    QCOMPARE(f->barCodeText(), QString());
    QCOMPARE(f->indicator(), Red);
    QCOMPARE(f->Tick, qint16(0));
    // With nothing arriving the timeout repeats every 26 ticks and the history is untouched.
    h->tick(26 * 3 + 5);
    QCOMPARE(f->Tick, qint16(5));
    QCOMPARE(f->history(), QStringLiteral("5901234123457\r\n"));
}

void ReceiveTest::steadyArrivalsKeepGreen()
{
    for (int i = 0; i < 40; ++i) {
        h->receive("9");
        h->tick(25);
        QCOMPARE(f->indicator(), Green);
    }
}

void ReceiveTest::pauseDoesNotSplitBarcode()
{
    h->receive("ABC");
    h->tick(100);
    QCOMPARE(f->indicator(), Red);
    h->receive("DEF\r");
    QCOMPARE(f->barCodeText(), QStringLiteral("ABCDEF"));
    QCOMPARE(f->history(), QStringLiteral("ABCDEF\r\n"));
}

void ReceiveTest::clearInMidBarcode()
{
    h->receive("111\r222");
    h->tick(4);
    f->Command1_Click();
    QCOMPARE(f->history(), QString());
    QCOMPARE(f->barCodeBuffer(), QStringLiteral("222"));
    QCOMPARE(f->barCodeText(), QStringLiteral("111"));
    QCOMPARE(f->indicator(), Green);
    QCOMPARE(f->Tick, qint16(4));
    h->receive("333\r");
    QCOMPARE(f->history(), QStringLiteral("333\r\n"));
    QCOMPARE(f->barCodeText(), QStringLiteral("222333"));
}

void ReceiveTest::typingKeepsItsPlace()
{
    // What the user types into the history stays where it was typed, as typed: a control
    // picture typed is that picture, not the control character it stands for.
    h->receive("AAA\r");
    f->editHistory(5, 0, QStringLiteral("note \u2400\r\n"));
    h->receive("BBB\r");
    QCOMPARE(f->history(), QStringLiteral("AAA\r\nnote \u2400\r\nBBB\r\n"));
    f->editHistory(0, 2, u"");
    QCOMPARE(f->history(), QStringLiteral("A\r\nnote \u2400\r\nBBB\r\n"));
    // The same in the current barcode's box, until the next barcode replaces its text.
    f->editBarCodeText(3, 0, u"\u2400");
    QCOMPARE(f->barCodeText(), QStringLiteral("BBB\u2400"));
    h->receive("C\r");
    QCOMPARE(f->barCodeText(), QStringLiteral("C"));
}

// The history's index of lines and rows, kept up to date edit by edit, against one worked out
// afresh from the text: any slip shows rows out of place and edits landing in the wrong spot.
void ReceiveTest::historyRowsFollowEveryEdit()
{
    constexpr qsizetype RowChars = HistoryText::RowChars;
    QRandomGenerator random(20261209);
    // Line breaks, lone CRs and LFs, and runs long enough to fill several rows.
    const auto piece = [&] {
        switch (random.bounded(6)) {
        case 0:
            return QStringLiteral("\r\n");
        case 1:
            return QStringLiteral("\r");
        case 2:
            return QStringLiteral("\n");
        case 3:
            return QString(random.bounded(2 * RowChars), u'7');
        default:
            return QStringLiteral("abc");
        }
    };
    HistoryText history;
    QString text;
    for (int step = 0; step < 1500; ++step) {
        const QString inserted = piece() + piece();
        if (step % 3 == 0) {
            history.append(inserted);
            text += inserted;
        } else if (step % 50 == 49) {
            history.clear();
            text.clear();
        } else {
            const qsizetype at = random.bounded(int(text.size() + 1));
            const qsizetype removed
                = random.bounded(int(std::min<qsizetype>(text.size() - at, 40) + 1));
            const QString part = inserted.left(random.bounded(int(inserted.size() + 1)));
            history.replace(at, removed, part);
            text.replace(at, removed, part);
        }
        QCOMPARE(history.text(), text);

        const QStringList lines = text.split(QStringLiteral("\r\n"));
        QCOMPARE(history.lineCount(), lines.size());
        qsizetype start = 0;
        qsizetype rowIndex = 0;
        for (qsizetype line = 0; line < lines.size(); ++line) {
            const qsizetype length = lines[line].size();
            const qsizetype rows = std::max<qsizetype>(1, (length + RowChars - 1) / RowChars);
            for (qsizetype r = 0; r < rows; ++r, ++rowIndex) {
                const HistoryText::Row row = history.row(rowIndex);
                QCOMPARE(row.line, line);
                QCOMPARE(row.start, start + r * RowChars);
                QCOMPARE(row.length, std::min(RowChars, length - r * RowChars));
                QCOMPARE(history.rowAt(row.start + row.length / 2), rowIndex);
            }
            // The line's end is shown at the end of its last row, after its last character.
            QCOMPARE(history.rowAt(start + length), rowIndex - 1);
            QCOMPARE(history.fromShown(history.toShown(start + length)), start + length);
            start += length + 2;
        }
        QCOMPARE(history.rowCount(), rowIndex);
        QCOMPARE(history.shownText(0, history.size()).size(), history.shownSize());
    }
}

void ReceiveTest::failureInHandlerShownOnce()
{
    // A receive event that finds the port closed: Input fails with 8012. The failure is shown
    // in one box, a repeat while that box is open adds none, and the program goes on.
    h->receive("1");
    h->fake->pullOut();
    h->settle();
    QVERIFY(!f->comPort().PortOpen());
    h->record->onBox = [this](const QString &) {
        f->ComPort_OnComm();
    };
    f->ComPort_OnComm();
    QCOMPARE(h->record->boxes.size(), 1);
    QCOMPARE(h->record->boxes.first().text,
             QStringLiteral("The serial port failed (number 8012):\r\rThe port is not open"));
    QCOMPARE(h->record->boxes.first().title, QStringLiteral("Lumora"));
    QCOMPARE(f->indicator(), Green); // steps before the failure stay done
    h->record->onBox = nullptr;
    f->ComPort_OnComm();
    QCOMPARE(h->record->boxes.size(), 2);
}

LUMORA_TEST_MAIN(ReceiveTest)
#include "tst_receive.moc"
