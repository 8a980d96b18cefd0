#include "bytes.h"
#include "historybox.h"
#include "historyrows.h"
#include "testerrig.h"
#include "testmain.h"
#include "textbox.h"

#include <QClipboard>
#include <QImage>
#include <QPushButton>
#include <QScreen>
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
    void screenShowsWhatAFullRedrawShows();
    void longLinesShownInRows();
    void wholeRowInOneFrame();
    void clearEmptiesTheScreen();
    void noteTypedOnALaterLine();
    void editingLongLines_data();
    void editingLongLines();

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

    // A barcode that arrived since the last frame is on screen before a key is handled, so
    // the key edits the barcode it was typed into.
    rig->receive("XYZ\r");
    QTest::keyClick(box, Qt::Key_End);
    typeText(box, QStringLiteral("1"));
    QCOMPARE(rig->core().barCodeText(), QStringLiteral("XYZ1"));
    QCOMPARE(box->text(), QStringLiteral("XYZ1"));
}

// Frames redraw only what changed; what is on screen must still be what drawing the whole
// window afresh shows.
void DisplayTest::screenShowsWhatAFullRedrawShows()
{
    Form1 &form = rig->form();
    const QList<QWidget *> parts{rig->history(), rig->barCodeBox()};
    const auto onScreen = [&form](QWidget *part) {
        const QRect area(part->mapTo(&form, QPoint()), part->size());
        return form.screen()->grabWindow(form.winId()).copy(area).toImage();
    };
    const auto redrawn = [&form](QWidget *part) {
        return form.grab(QRect(part->mapTo(&form, QPoint()), part->size())).toImage();
    };
    for (int i = 0; i < 30; ++i) {
        // Lines of all lengths, some in frames of their own, some several to a frame.
        rig->receive(QByteArray(i * 7 % 90, char('0' + i % 10)) + "\r" + (i % 3 ? "" : "42\r"));
        if (i % 2)
            continue;
        rig->frame();
        QCoreApplication::processEvents();
        for (QWidget *part : parts)
            QCOMPARE(onScreen(part), redrawn(part));
    }
}

// The history's text as the document shows it, soft breaks as nothing.
static QString shownText(HistoryBox *history)
{
    const QTextDocument *doc = history->document();
    return HistoryRows::text(doc, 0, doc->characterCount() - 1, u"\r\n");
}

static Qt::Key namedKey(const QString &name)
{
    const QHash<QString, Qt::Key> keys{{QStringLiteral("Backspace"), Qt::Key_Backspace},
                                       {QStringLiteral("Delete"), Qt::Key_Delete},
                                       {QStringLiteral("Return"), Qt::Key_Return}};
    return keys.value(name, Qt::Key(0));
}

// 2,100 digits: rows of 1,024, 1,024 and 52 characters.
static QString longLine()
{
    return QStringLiteral("0123456789").repeated(210);
}

void DisplayTest::longLinesShownInRows()
{
    HistoryBox *history = rig->history();
    // Each part arrives in a frame of its own, so later characters continue a row on screen.
    const QByteArray line = longLine().toLatin1();
    for (const QByteArray &part : {line.left(700), line.mid(700, 700), line.mid(1400) + '\r'}) {
        rig->receive(part);
        rig->frame();
    }
    QCOMPARE(history->document()->blockCount(), 4);
    for (QTextBlock block = history->document()->begin(); block.isValid(); block = block.next())
        QVERIFY(block.length() - 1 <= HistoryRows::RowChars);
    QCOMPARE(shownText(history), rig->core().history());
    // Copied across a row break, the line is whole.
    QTextCursor selection(history->document());
    selection.setPosition(1000);
    selection.setPosition(1050, QTextCursor::KeepAnchor);
    history->setTextCursor(selection);
    history->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), longLine().mid(1000, 49));
}

void DisplayTest::wholeRowInOneFrame()
{
    // Exactly one row's worth arrives in one frame, then the line goes on and ends: every row
    // on screen holds characters.
    HistoryBox *history = rig->history();
    const QByteArray row(HistoryRows::RowChars, '7');
    rig->receive(row);
    rig->frame();
    rig->receive("88\r");
    rig->frame();
    QCOMPARE(history->document()->blockCount(), 3);
    QCOMPARE(history->document()->firstBlock().length() - 1, HistoryRows::RowChars);
    QCOMPARE(history->document()->firstBlock().next().text(), QStringLiteral("88"));
    QCOMPARE(shownText(history), rig->core().history());
}

void DisplayTest::clearEmptiesTheScreen()
{
    HistoryBox *history = rig->history();
    rig->receive("111\r22");
    rig->frame();
    QTest::mouseClick(rig->control<QPushButton>("Command1"), Qt::LeftButton);
    rig->frame();
    QCOMPARE(history->toPlainText(), QString());
    // What arrives next shows alone; the barcode itself was assembled whole.
    rig->receive("2\r");
    rig->frame();
    QCOMPARE(history->toPlainText(), QStringLiteral("2\n"));
    QCOMPARE(rig->barCodeBox()->text(), QStringLiteral("222"));
}

void DisplayTest::noteTypedOnALaterLine()
{
    HistoryBox *history = rig->history();
    rig->receive("111\r222\r333\r");
    rig->frame();
    history->setFocus();
    QTextCursor cursor(history->document()->findBlockByNumber(1));
    cursor.movePosition(QTextCursor::NextCharacter);
    history->setTextCursor(cursor);
    typeText(history, QStringLiteral("x"));
    QCOMPARE(rig->core().history(), QStringLiteral("111\r\n2x22\r\n333\r\n"));
}

void DisplayTest::editingLongLines_data()
{
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    // On screen: rows [0, 1024) and [1025, 2049) with soft breaks after them, then
    // [2050, 2102), a line break, XYZ at 2103.
    const QString line = longLine();
    const QString next = QStringLiteral("\r\nXYZ\r\n");
    const auto row = [&](qsizetype end, const QString &between, qsizetype from) {
        return line.left(end) + between + line.mid(from) + next;
    };
    QTest::addRow("typing inside a row") << 10 << 10 << "n" << row(10, "n", 10);
    QTest::addRow("typing at a row's start") << 1025 << 1025 << "n" << row(1024, "n", 1024);
    QTest::addRow("typing at a row's end") << 1024 << 1024 << "n" << row(1024, "n", 1024);
    QTest::addRow("Backspace at a row's start") << 1025 << 1025 << "Backspace" << line + next;
    QTest::addRow("Delete at a row's end") << 1024 << 1024 << "Delete" << line + next;
    QTest::addRow("Backspace after a row's start")
        << 1026 << 1026 << "Backspace" << row(1024, {}, 1025);
    QTest::addRow("Return inside a row") << 1030 << 1030 << "Return" << row(1029, "\r\n", 1029);
    QTest::addRow("Return at a row's start") << 1025 << 1025 << "Return" << row(1024, "\r\n", 1024);
    QTest::addRow("typing over two row breaks") << 1020 << 2060 << "n" << row(1020, "n", 2058);
    QTest::addRow("deleting across a row break") << 1020 << 1030 << "Delete" << row(1020, {}, 1029);
    QTest::addRow("pasting lines across a row break")
        << 1030 << 1020 << "paste" << row(1020, "a\r\nb", 1029);
    QTest::addRow("joining the next line to the last row")
        << 2102 << 2102 << "Delete" << line + QStringLiteral("XYZ\r\n");
    QTest::addRow("Backspace at the next line's start")
        << 2103 << 2103 << "Backspace" << line + QStringLiteral("XYZ\r\n");
}

void DisplayTest::editingLongLines()
{
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(QString, input);
    QFETCH(QString, expected);

    HistoryBox *history = rig->history();
    rig->receive(longLine().toLatin1() + "\rXYZ\r");
    rig->frame();
    history->setFocus();
    QTextCursor cursor(history->document());
    cursor.setPosition(anchor);
    cursor.setPosition(position, QTextCursor::KeepAnchor);
    history->setTextCursor(cursor);
    if (input == u"paste") {
        QGuiApplication::clipboard()->setText(QStringLiteral("a\nb"));
        history->paste();
    } else if (const Qt::Key key = namedKey(input)) {
        QTest::keyClick(history, key);
    } else {
        typeText(history, input);
    }
    QCOMPARE(rig->core().history(), expected);
    // Every break on screen still stands for what it did, so later edits map right too.
    QCOMPARE(shownText(history), expected);
    rig->receive("77\r");
    rig->frame();
    QCOMPARE(rig->core().history(), expected + QStringLiteral("77\r\n"));
    QCOMPARE(shownText(history), rig->core().history());
}

LUMORA_TEST_MAIN(DisplayTest)
#include "tst_display.moc"
