#include "bytes.h"
#include "historybox.h"
#include "testerrig.h"
#include "testmain.h"
#include "textbox.h"

#include <QClipboard>
#include <QImage>
#include <QSet>
#include <QTextBlock>

// What the window draws of the logic's text, and how the user's typing reaches it.
class DisplayTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void receivedTextDrawn();
    void longBarcodeShowsItsBeginning();
    void everyByteLooksDifferent();
    void typingLandsAfterWhatArrivedBefore();
    void typedPicturesStayAsTyped();
    void typingInTheBarcodeBox();

private:
    std::unique_ptr<TesterRig> rig;
};

// Key presses that type `text`, as a keyboard layout with those characters would.
static void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

void DisplayTest::init()
{
    rig = std::make_unique<TesterRig>();
    rig->form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig->form()));
    rig->openPort();
}

void DisplayTest::cleanup()
{
    rig.reset();
}

void DisplayTest::receivedTextDrawn()
{
    rig->receive(QByteArray("\x02"
                            "A\tB\x1b\x7f\x03\r\n456\r",
                            13));
    HistoryBox *history = rig->history();
    rig->frame();
    // A line break on screen is one paragraph break; control characters are pictures.
    QCOMPARE(history->document()->blockCount(), 3);
    QCOMPARE(history->document()->firstBlock().text(),
             QStringLiteral("\u2402A\u2409B\u241B\u2421\u2403"));
    QCOMPARE(history->document()->findBlockByNumber(1).text(), QStringLiteral("\u240A456"));
    QCOMPARE(rig->barCodeBox()->text(), QStringLiteral("\u240A456"));
}

// The part of a text box's rendering where its text begins.
static QImage leftEdge(QWidget *box)
{
    return box->grab(QRect(0, 0, 120, box->height())).toImage();
}

void DisplayTest::longBarcodeShowsItsBeginning()
{
    TextBox *box = rig->barCodeBox();
    rig->receive("(01)04012\r");
    rig->frame();
    const QImage shortOne = leftEdge(box);
    rig->receive("(01)04012345678901(17)140704(10)AB-123\r");
    rig->frame();
    QCOMPARE(rig->core().barCodeText(), QStringLiteral("(01)04012345678901(17)140704(10)AB-123"));
    QCOMPARE(leftEdge(box), shortOne);
    // The rest is reachable: End scrolls to the last character.
    box->setFocus();
    QTest::keyClick(box, Qt::Key_End);
    QVERIFY(leftEdge(box) != shortOne);
}

void DisplayTest::everyByteLooksDifferent()
{
    // Each byte drawn alone in the barcode box: none may look blank, and no two alike.
    TextBox *box = rig->barCodeBox();
    rig->receive("\r");
    rig->frame();
    const QImage blank = box->grab().toImage();
    QHash<QByteArray, int> seen;
    QByteArray bytes = everyByteExceptCr();
    for (const char byte : std::as_const(bytes)) {
        if (byte == ' ')
            continue; // a space is meant to look blank
        rig->receive(QByteArray(1, byte) + '\r');
        rig->frame();
        const QImage drawn = box->grab().toImage();
        const int code = uchar(byte);
        QVERIFY2(drawn != blank, qPrintable(QString::number(code, 16)));
        const QByteArray key(reinterpret_cast<const char *>(drawn.constBits()),
                             drawn.sizeInBytes());
        QVERIFY2(!seen.contains(key), qPrintable(QStringLiteral("0x%1 looks like 0x%2")
                                                     .arg(code, 0, 16)
                                                     .arg(seen.value(key), 0, 16)));
        seen.insert(key, code);
    }
}

void DisplayTest::typingLandsAfterWhatArrivedBefore()
{
    HistoryBox *history = rig->history();
    history->setFocus();
    // "A" arrives and is not on screen yet when the key is pressed, in the same frame.
    rig->receive("A");
    QTest::keyClick(history, Qt::Key_N);
    rig->receive("B");
    QCOMPARE(rig->core().history(), QStringLiteral("AnB"));
    QTest::keyClick(history, Qt::Key_Return);
    rig->receive("\r");
    QCOMPARE(rig->core().history(), QStringLiteral("AnB\r\n\r\n"));
    // Deleting works on what is shown: Backspace takes the character before the cursor.
    history->flush();
    history->moveCursor(QTextCursor::Start);
    QTest::keyClick(history, Qt::Key_Delete);
    QCOMPARE(rig->core().history(), QStringLiteral("nB\r\n\r\n"));
}

void DisplayTest::typedPicturesStayAsTyped()
{
    HistoryBox *history = rig->history();
    rig->receive(QByteArray("\0x", 2));
    history->setFocus();
    history->moveCursor(QTextCursor::End);
    // A picture typed or pasted reads back as the picture; the received NUL stays a NUL.
    typeText(history, QStringLiteral("\u2400"));
    QGuiApplication::clipboard()->setText(QStringLiteral("\u240A\u2400"));
    history->paste();
    QCOMPARE(rig->core().history(), QString(QChar(u'\0')) + QStringLiteral("x\u2400\u240A\u2400"));
    QCOMPARE(history->toPlainText(), QStringLiteral("\u2400x\u2400\u240A\u2400"));
}

void DisplayTest::typingInTheBarcodeBox()
{
    TextBox *box = rig->barCodeBox();
    rig->receive(QByteArray("A\0B\r", 4));
    rig->frame();
    box->setFocus();
    box->setCursorPosition(2);
    typeText(box, QStringLiteral("\u2400"));
    QCOMPARE(rig->core().barCodeText(),
             QStringLiteral("A") + QChar(u'\0') + QStringLiteral("\u2400B"));
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(rig->core().barCodeText(), QStringLiteral("AB"));
}

LUMORA_TEST_MAIN(DisplayTest)
#include "tst_display.moc"
