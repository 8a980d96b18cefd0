#include "bytes.h"
#include "historybox.h"
#include "historytext.h"
#include "testerrig.h"
#include "testmain.h"
#include "textbox.h"

#include <QAccessible>
#include <QClipboard>
#include <QImage>
#include <QPushButton>
#include <QScreen>
#include <QSet>

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

static QAccessibleTextInterface *accessibleText(QWidget *widget)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(widget);
    return iface ? iface->textInterface() : nullptr;
}

// The history as a screen reader reads it: as shown, a line break as '\n'.
static QString shown(HistoryBox *history)
{
    QAccessibleTextInterface *text = accessibleText(history);
    return text->text(0, text->characterCount());
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
    // A line break on screen is one line break; control characters are pictures.
    QCOMPARE(shown(history), QStringLiteral("\u2402A\u2409B\u241B\u2421\u2403\n\u240A456\n"));
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
    QTest::keyClick(history, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(history, Qt::Key_Delete);
    QCOMPARE(rig->core().history(), QStringLiteral("nB\r\n\r\n"));
}

void DisplayTest::typedPicturesStayAsTyped()
{
    HistoryBox *history = rig->history();
    rig->receive(QByteArray("\0x", 2));
    history->setFocus();
    QTest::keyClick(history, Qt::Key_End, Qt::ControlModifier);
    // A picture typed or pasted reads back as the picture; the received NUL stays a NUL.
    typeText(history, QStringLiteral("\u2400"));
    QGuiApplication::clipboard()->setText(QStringLiteral("\u240A\u2400"));
    history->paste();
    QCOMPARE(rig->core().history(), QString(QChar(u'\0')) + QStringLiteral("x\u2400\u240A\u2400"));
    QCOMPARE(shown(history), QStringLiteral("\u2400x\u2400\u240A\u2400"));
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
    rig->receive("XYZ\r");
    rig->frame();
    // Rows of 1,024 characters one under the other, then the next line.
    QAccessibleTextInterface *text = accessibleText(history);
    const QRect first = text->characterRect(0);
    QVERIFY(!first.isEmpty());
    for (const int row : {1, 2, 3}) {
        const QRect start = text->characterRect(row == 3 ? 2101 : row * 1024);
        QCOMPARE(start.left(), first.left());
        QCOMPARE(start.top(), first.top() + row * first.height());
    }
    // Copied across a row break, the line is whole.
    history->setFocus();
    text->setSelection(0, 1000, 1050);
    QTest::keyClick(history, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), longLine().mid(1000, 50));
}

void DisplayTest::wholeRowInOneFrame()
{
    // Exactly one row's worth arrives in one frame, then the line goes on and ends: the next
    // characters are in the row right under it.
    HistoryBox *history = rig->history();
    rig->receive(QByteArray(HistoryText::RowChars, '7'));
    rig->frame();
    rig->receive("88\r9");
    rig->frame();
    QAccessibleTextInterface *text = accessibleText(history);
    const QRect first = text->characterRect(0);
    QCOMPARE(text->characterRect(1024).top(), first.top() + first.height());
    QCOMPARE(text->characterRect(1027).top(), first.top() + 2 * first.height());
    QCOMPARE(text->characterRect(1027).left(), first.left());
}

void DisplayTest::clearEmptiesTheScreen()
{
    HistoryBox *history = rig->history();
    const QImage empty = history->viewport()->grab().toImage();
    rig->receive("111\r22");
    rig->frame();
    QVERIFY(history->viewport()->grab().toImage() != empty);
    QTest::mouseClick(rig->control<QPushButton>("Command1"), Qt::LeftButton);
    rig->frame();
    QCOMPARE(history->viewport()->grab().toImage(), empty);
    // What arrives next shows alone; the barcode itself was assembled whole.
    rig->receive("2\r");
    rig->frame();
    QCOMPARE(shown(history), QStringLiteral("2\n"));
    QCOMPARE(rig->barCodeBox()->text(), QStringLiteral("222"));
}

void DisplayTest::noteTypedOnALaterLine()
{
    HistoryBox *history = rig->history();
    rig->receive("111\r222\r333\r");
    rig->frame();
    history->setFocus();
    QTest::keyClick(history, Qt::Key_Home, Qt::ControlModifier);
    QTest::keyClick(history, Qt::Key_Down);
    QTest::keyClick(history, Qt::Key_Right);
    typeText(history, QStringLiteral("x"));
    QCOMPARE(rig->core().history(), QStringLiteral("111\r\n2x22\r\n333\r\n"));
    // Up from there lands on the first line at the same place.
    QTest::keyClick(history, Qt::Key_Up);
    typeText(history, QStringLiteral("y"));
    QCOMPARE(rig->core().history(), QStringLiteral("11y1\r\n2x22\r\n333\r\n"));
}

void DisplayTest::editingLongLines_data()
{
    QTest::addColumn<int>("anchor");
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    // On screen: rows [0, 1024), [1024, 2048) and [2048, 2100), a line break, XYZ at 2101.
    const QString line = longLine();
    const QString next = QStringLiteral("\r\nXYZ\r\n");
    const auto edited = [&](qsizetype end, const QString &between, qsizetype from) {
        return line.left(end) + between + line.mid(from) + next;
    };
    QTest::addRow("typing inside a row") << 10 << 10 << "n" << edited(10, "n", 10);
    QTest::addRow("typing at a row break") << 1024 << 1024 << "n" << edited(1024, "n", 1024);
    QTest::addRow("Backspace at a row break")
        << 1024 << 1024 << "Backspace" << edited(1023, {}, 1024);
    QTest::addRow("Delete at a row break") << 1024 << 1024 << "Delete" << edited(1024, {}, 1025);
    QTest::addRow("Return at a row break")
        << 1024 << 1024 << "Return" << edited(1024, "\r\n", 1024);
    QTest::addRow("typing over two row breaks") << 1020 << 2060 << "n" << edited(1020, "n", 2060);
    QTest::addRow("deleting across a row break")
        << 1020 << 1030 << "Delete" << edited(1020, {}, 1030);
    QTest::addRow("pasting lines across a row break")
        << 1030 << 1020 << "paste" << edited(1020, "a\r\nb", 1030);
    QTest::addRow("joining the next line to the last row")
        << 2100 << 2100 << "Delete" << line + QStringLiteral("XYZ\r\n");
    QTest::addRow("Backspace at the next line's start")
        << 2101 << 2101 << "Backspace" << line + QStringLiteral("XYZ\r\n");
    QTest::addRow("selecting backwards over the line break")
        << 2102 << 2099 << "Delete" << line.left(2099) + QStringLiteral("YZ\r\n");
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
    // Selected as a screen reader would, in the text as shown.
    accessibleText(history)->setSelection(0, anchor, position);
    if (input == u"paste") {
        QGuiApplication::clipboard()->setText(QStringLiteral("a\nb"));
        QTest::keyClick(history, Qt::Key_V, Qt::ControlModifier);
    } else if (const Qt::Key key = namedKey(input)) {
        QTest::keyClick(history, key);
    } else {
        typeText(history, input);
    }
    QCOMPARE(rig->core().history(), expected);
    // Lines and rows still stand where they did, so what arrives next and the next key land
    // where they should.
    rig->receive("77\r");
    rig->frame();
    QCOMPARE(rig->core().history(), expected + QStringLiteral("77\r\n"));
    QTest::keyClick(history, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(history, Qt::Key_Left);
    typeText(history, QStringLiteral("!"));
    QCOMPARE(rig->core().history(), expected + QStringLiteral("77!\r\n"));
}

LUMORA_TEST_MAIN(DisplayTest)
#include "tst_display.moc"
