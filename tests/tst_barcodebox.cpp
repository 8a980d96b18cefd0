#include "controlpictures.h"
#include "testerrig.h"
#include "testmain.h"
#include "textbox.h"
#include "textboxaccessible.h"

#include <QAccessible>
#include <QClipboard>
#include <QImage>

// The barcode box with a barcode far longer than it shows: a scanner with an LF suffix sends
// barcodes that never end, until a CR makes them all one. What the box shows of it, and how the
// user's keys, clicks and copies reach the logic's text.
class BarcodeBoxTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void showsBothEnds();
    void copiesExactly();
    void editsLandInPlace_data();
    void editsLandInPlace();
    void mouseSelectsWhatItCovers();

private:
    // Receives `run` and a CR, and draws the frame that shows it.
    void showBarcode(const QByteArray &run);

    std::unique_ptr<TesterRig> rig;
    TextBox *box = nullptr;
};

// `chars` characters of 13-digit barcodes, each ended by LF, all different.
static QByteArray lfRun(qsizetype chars)
{
    QByteArray run;
    run.reserve(chars + 14);
    for (qint64 i = 0; run.size() < chars; ++i)
        run += QByteArray::number(4'006'381'333'931 + i * 1'000'003).right(13) + '\n';
    run.truncate(chars);
    return run;
}

static QString shown(const QByteArray &raw)
{
    return ControlPictures::toVisible(QString::fromLatin1(raw));
}

static constexpr qsizetype RunChars = 200'000;

void BarcodeBoxTest::init()
{
    rig = std::make_unique<TesterRig>();
    rig->form().show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig->form()));
    rig->openPort();
    box = rig->barCodeBox();
}

void BarcodeBoxTest::cleanup()
{
    rig.reset();
}

void BarcodeBoxTest::showBarcode(const QByteArray &run)
{
    rig->receive(run + '\r');
    rig->frame();
}

// A point on the left part of the character at `position`: a click there puts the cursor
// before it.
static QPoint before(TextBox *box, qsizetype position)
{
    const QRect character = box->characterRect(position);
    return QPoint(character.left() + 2, character.center().y());
}

static QImage drawn(QWidget *box)
{
    return box->grab().toImage();
}

void BarcodeBoxTest::showsBothEnds()
{
    // Each end of a long barcode looks as the same characters do alone.
    const QByteArray run = lfRun(RunChars);
    showBarcode(run.left(40));
    const QImage start = drawn(box);
    showBarcode(run);
    QCOMPARE(drawn(box), start);
    QTest::keyClick(box, Qt::Key_End);
    const qsizetype first = box->positionAt(QPoint(8, box->height() / 2));
    QVERIFY(first > RunChars - 40);
    const QImage end = drawn(box);
    QTest::keyClick(box, Qt::Key_Home);
    QCOMPARE(drawn(box), start);

    // A screen reader is given the beginning, as far as it can take.
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(box)->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), TextBoxAccessible::AccessibleChars);
    QCOMPARE(text->text(0, text->characterCount()),
             shown(run.left(TextBoxAccessible::AccessibleChars)));

    showBarcode(run.mid(first));
    QCOMPARE(drawn(box), end);
}

void BarcodeBoxTest::copiesExactly()
{
    const QByteArray run = lfRun(RunChars);
    showBarcode(run);
    box->setFocus();
    QClipboard *clipboard = QGuiApplication::clipboard();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), shown(run));
    // From the third barcode to the end, selected with keys from the start.
    QTest::keyClick(box, Qt::Key_Home);
    QTest::keyClick(box, Qt::Key_Right, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_Right, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_End, Qt::ShiftModifier);
    QTest::keyClick(box, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), shown(run.mid(28)));
    // Cut takes the same out of the logic's text.
    QTest::keyClick(box, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), shown(run.mid(28)));
    QCOMPARE(rig->core().barCodeText(), QString::fromLatin1(run.left(28)));
}

void BarcodeBoxTest::editsLandInPlace_data()
{
    QTest::addColumn<QList<QKeyCombination>>("moves");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");

    const QString run = QString::fromLatin1(lfRun(RunChars));
    const auto at = [&run](qsizetype position, const QString &inserted, qsizetype removed = 0) {
        return QString(run).replace(position, removed, inserted);
    };
    const QKeyCombination home(Qt::Key_Home), end(Qt::Key_End);
    const QKeyCombination nextWord(Qt::ControlModifier, Qt::Key_Right);
    const QList<QKeyCombination> right700
        = QList{home} + QList<QKeyCombination>(700, Qt::Key_Right);
    const QList<QKeyCombination> left700 = QList{end} + QList<QKeyCombination>(700, Qt::Key_Left);
    QTest::addRow("typing at the start") << QList{home} << "a" << at(0, "a");
    QTest::addRow("typing at the end") << QList{end} << "b" << at(RunChars, "b");
    QTest::addRow("typing after 700 Right keys") << right700 << "c" << at(700, "c");
    QTest::addRow("typing after 700 Left keys from the end")
        << left700 << "d" << at(RunChars - 700, "d");
    QTest::addRow("typing after word moves")
        << QList{home, nextWord, nextWord} << "e" << at(28, "e");
    QTest::addRow("Backspace at the end") << QList{end} << "Backspace" << run.chopped(1);
    QTest::addRow("Delete after Left keys") << left700 << "Delete" << at(RunChars - 700, {}, 1);
    QTest::addRow("typing over all")
        << QList{QKeyCombination(Qt::ControlModifier, Qt::Key_A)} << "f" << QStringLiteral("f");
    QTest::addRow("typing over a selection from the middle to the end")
        << (right700 + QList{QKeyCombination(Qt::ShiftModifier, Qt::Key_End)}) << "g"
        << run.left(700) + u'g';
}

void BarcodeBoxTest::editsLandInPlace()
{
    QFETCH(QList<QKeyCombination>, moves);
    QFETCH(QString, input);
    QFETCH(QString, expected);

    const QByteArray run = lfRun(RunChars);
    showBarcode(run);
    box->setFocus();
    for (const QKeyCombination key : moves)
        QTest::keyClick(box, key.key(), key.keyboardModifiers());
    if (input == u"Backspace")
        QTest::keyClick(box, Qt::Key_Backspace);
    else if (input == u"Delete")
        QTest::keyClick(box, Qt::Key_Delete);
    else
        QTest::keyClicks(box, input);
    QCOMPARE(rig->core().barCodeText(), expected);
    // Undo puts back what was there, redo the edit again.
    QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(rig->core().barCodeText(), QString::fromLatin1(run));
    QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(rig->core().barCodeText(), expected);
}

void BarcodeBoxTest::mouseSelectsWhatItCovers()
{
    const QByteArray run = lfRun(RunChars);
    showBarcode(run);
    QTest::keyClick(box, Qt::Key_End);
    // A click puts the cursor before the character clicked, far into the barcode.
    const qsizetype clicked = RunChars - 5;
    QTest::mouseClick(box, Qt::LeftButton, {}, before(box, clicked));
    QTest::keyClicks(box, QStringLiteral("m"));
    QCOMPARE(rig->core().barCodeText(), QString::fromLatin1(run).insert(clicked, u'm'));
    // A drag from there back past the left edge selects, scrolling, what it went over.
    QTest::mousePress(box, Qt::LeftButton, {}, before(box, clicked));
    for (int i = 0; i < 30; ++i)
        QTest::mouseMove(box, QPoint(-5, box->height() / 2));
    QTest::mouseRelease(box, Qt::LeftButton, {}, QPoint(-5, box->height() / 2));
    QVERIFY(box->selectionStart() < clicked - 30);
    QCOMPARE(box->selectionEnd(), clicked);
    box->copy();
    QCOMPARE(QGuiApplication::clipboard()->text(),
             shown(run.mid(box->selectionStart(), clicked - box->selectionStart())));
}

LUMORA_TEST_MAIN(BarcodeBoxTest)
#include "tst_barcodebox.moc"
