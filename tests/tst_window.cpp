#include "formharness.h"

#include "historybox.h"
#include "testmain.h"
#include "textbox.h"
#include <cerrno>

#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

// The window as designed: every control's text, place, order and look, and the state the
// window starts in.
class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void controls_data();
    void controls();
    void window();
    void tabOrder();
    void fonts();
    void initialState();
    void historyScrollsBothWays();
    void accessibleNames();
    void indicatorStateAsText();
    void connectionTooltip();
    void highDensityScreen();
};

void WindowTest::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");

    // Geometry in pixels: the design's twips divided by 15.
    QTest::addRow("CommLabel") << "CommLabel"
                               << "No RS232 Connection" << QRect(40, 512, 121, 17);
    QTest::addRow("ErrorMsg") << "ErrorMsg"
                              << "No Errors" << QRect(40, 472, 121, 17);
    QTest::addRow("Label4") << "Label4"
                            << "Errors" << QRect(40, 456, 121, 17);
    QTest::addRow("Label5") << "Label5"
                            << "Current Bar Code" << QRect(0, 24, 121, 17);
    QTest::addRow("ReceivedData") << "ReceivedData"
                                  << "" << QRect(624, 64, 10, 19);
    QTest::addRow("Label2") << "Label2"
                            << "Rx" << QRect(616, 40, 25, 17);
    QTest::addRow("Label3") << "Label3"
                            << "RS232 Connection" << QRect(40, 496, 121, 17);
    QTest::addRow("Command1") << "Command1"
                              << "Clear" << QRect(144, 136, 73, 17);
    QTest::addRow("TextReceivedTxt") << "TextReceivedTxt"
                                     << "" << QRect(16, 168, 521, 217);
    QTest::addRow("Label6") << "Label6"
                            << "All Barcodes so far" << QRect(16, 136, 97, 17);
    QTest::addRow("BarCodeText") << "BarCodeText"
                                 << "" << QRect(8, 40, 593, 57);
    QTest::addRow("Label7") << "Label7"
                            << "Rev Testing Only" << QRect(352, 488, 137, 17);
}

static QWidget *control(Form1 &form, const QString &name)
{
    const QHash<QString, QWidget *> controls{
        {"CommLabel", form.CommLabel},
        {"ErrorMsg", form.ErrorMsg},
        {"Label4", form.Label4},
        {"Label5", form.Label5},
        {"ReceivedData", form.ReceivedData},
        {"Label2", form.Label2},
        {"Label3", form.Label3},
        {"Command1", form.Command1},
        {"TextReceivedTxt", form.TextReceivedTxt},
        {"Label6", form.Label6},
        {"BarCodeText", form.BarCodeText},
        {"Label1", form.Label1},
        {"Label7", form.Label7},
    };
    return controls.value(name);
}

static QString textOf(QWidget *w)
{
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<QPushButton *>(w))
        return button->text();
    if (auto *box = qobject_cast<TextBox *>(w))
        return box->Text();
    if (auto *history = qobject_cast<HistoryBox *>(w))
        return history->Text();
    return {};
}

void WindowTest::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);

    FormHarness h;
    QWidget *w = control(*h.form, name);
    QVERIFY(w);
    QCOMPARE(textOf(w), text);
    QCOMPARE(w->geometry(), geometry);
    QVERIFY(w->isEnabled());
    QVERIFY(!w->isHidden());
}

void WindowTest::window()
{
    FormHarness h;
    QCOMPARE(h.form->windowTitle(), QStringLiteral("Lumora"));
    QCOMPARE(h.form->size(), QSize(658, 546));
    QCOMPARE(h.form->Timer1->interval(), 25);
    QVERIFY(h.form->Label1->geometry() == QRect(176, 520, 425, 17));
    // The maker's notice is one line that fits its label.
    QVERIFY(!h.form->Label1->text().contains(u'\n'));
    QCOMPARE(h.form->CommLabel->frameShape(), QFrame::Box);
    QCOMPARE(h.form->ErrorMsg->frameShape(), QFrame::Box);
    QCOMPARE(h.form->Label4->frameShape(), QFrame::NoFrame);
    QVERIFY(h.form->Label5->alignment() & Qt::AlignHCenter);
}

void WindowTest::tabOrder()
{
    FormHarness h;
    Form1 &f = *h.form;
    // Labels never take the focus; the focusable controls follow each other in design order.
    for (QLabel *l : {f.CommLabel, f.ErrorMsg, f.Label4, f.Label5, f.Label2, f.Label3, f.Label6,
                      f.Label1, f.Label7})
        QCOMPARE(l->focusPolicy(), Qt::NoFocus);
    const QList<QWidget *> order{f.ReceivedData, f.Command1, f.TextReceivedTxt, f.BarCodeText};
    const auto nextFocusable = [](QWidget *w) {
        do
            w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus);
        return w;
    };
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        QCOMPARE(nextFocusable(order[i]), order[i + 1]);

    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QTRY_COMPARE(QApplication::focusWidget(), f.ReceivedData);
}

void WindowTest::fonts()
{
    FormHarness h;
    const QFont large = h.form->BarCodeText->font();
    QCOMPARE(large.family(), QStringLiteral("Courier New"));
    QCOMPARE(large.weight(), QFont::Bold);
    QCOMPARE(large.pointSizeF(), 27.75);
    // Courier New resolves to an installed monospaced face.
    QVERIFY(QFontInfo(large).fixedPitch());
    // Every other control uses the window's default font, and every heading fits its label.
    const QFont standard = h.form->font();
    for (QWidget *w : h.form->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (w == h.form->BarCodeText)
            continue;
        QCOMPARE(w->font().family(), standard.family());
        QCOMPARE(w->font().pointSizeF(), standard.pointSizeF());
        if (auto *label = qobject_cast<QLabel *>(w))
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text())
                         <= label->contentsRect().width(),
                     qPrintable(label->text()));
    }
}

void WindowTest::initialState()
{
    FormHarness h;
    Form1 &f = *h.form;
    QCOMPARE(f.ReceivedData->BackColor(), QColor(255, 0, 0));
    QCOMPARE(Form1::colorFromBgr(Form1::IndicatorGreen), QColor(0, 255, 0));
    QCOMPARE(f.Tick, qint16(0));
    QVERIFY(f.barCodeBuffer().isEmpty());
    QVERIFY(f.lastInput().isEmpty());
    QCOMPARE(f.ComPort->CommPort(), qint16(1));
    QVERIFY(!f.ComPort->PortOpen());
}

void WindowTest::historyScrollsBothWays()
{
    FormHarness h;
    HistoryBox *history = h.form->TextReceivedTxt;
    QCOMPARE(history->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(history->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(history->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(!history->isReadOnly());
}

void WindowTest::accessibleNames()
{
    FormHarness h;
    Form1 &f = *h.form;
    // Each field is named by the heading that stands over it.
    QCOMPARE(f.ErrorMsg->accessibleName(), QStringLiteral("Errors"));
    QCOMPARE(f.CommLabel->accessibleName(), QStringLiteral("RS232 Connection"));
    QCOMPARE(f.BarCodeText->accessibleName(), QStringLiteral("Current Bar Code"));
    QCOMPARE(f.TextReceivedTxt->accessibleName(), QStringLiteral("All Barcodes so far"));
    QCOMPARE(f.Label5->buddy(), f.BarCodeText);
    QCOMPARE(f.Label6->buddy(), f.TextReceivedTxt);
    QCOMPARE(f.Label2->buddy(), f.ReceivedData);
    for (QWidget *w : f.findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (w->focusPolicy() != Qt::NoFocus)
            QVERIFY2(!w->accessibleName().isEmpty(), w->metaObject()->className());
    }
}

void WindowTest::indicatorStateAsText()
{
    FormHarness h;
    h.openPort();
    QCOMPARE(h.form->ReceivedData->accessibleDescription(), QStringLiteral("idle"));
    h.receive("1");
    QCOMPARE(h.form->ReceivedData->accessibleDescription(), QStringLiteral("receiving"));
    h.tick(26);
    QCOMPARE(h.form->ReceivedData->accessibleDescription(), QStringLiteral("idle"));
}

void WindowTest::connectionTooltip()
{
    FormHarness h;
    h.form->setDeviceDescriber(
        [](const QString &path) { return path + QStringLiteral(" (Acme)"); });
    h.device->failures.insert(h.ports->at(0), EBUSY);
    h.form->Form_Activate();
    QCOMPARE(h.form->CommLabel->toolTip(), QStringLiteral("/fake/ttyACM1 (Acme)"));

    // With no port open it lists what ports 1 to 4 were at the last scan.
    FormHarness none(FormHarness::defaultPorts().mid(0, 2));
    for (const QString &path : *none.ports)
        none.device->failures.insert(path, EBUSY);
    none.form->Form_Activate();
    QCOMPARE(none.form->CommLabel->toolTip(),
             QStringLiteral("Com Port 1: /fake/ttyACM0\nCom Port 2: /fake/ttyACM1"));
}

void WindowTest::highDensityScreen()
{
    // Run a second time with QT_SCALE_FACTOR=2 (see CMakeLists): geometry stays in logical
    // pixels while the screen has twice the density.
    FormHarness h;
    h.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(h.form.get()));
    const qreal expected = qEnvironmentVariableIntValue("QT_SCALE_FACTOR") == 2 ? 2.0 : 1.0;
    QCOMPARE(h.form->devicePixelRatioF(), expected);
    QCOMPARE(h.form->size(), QSize(658, 546));
    QCOMPARE(h.form->BarCodeText->geometry(), QRect(8, 40, 593, 57));
    QCOMPARE(h.form->grab().size(), QSize(658, 546) * expected);
}

LUMORA_TEST_MAIN(WindowTest)
#include "tst_window.moc"
