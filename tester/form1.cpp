#include "form1.h"

#include "commerror.h"
#include "feedback.h"
#include "historybox.h"
#include "textbox.h"

#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>

namespace {

// The design is laid out in twips; at 96 dots per inch 15 twips make one pixel. Qt's
// device-pixel ratio takes care of denser screens.
constexpr int TwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
                 height / TwipsPerPixel);
}

QLabel *label(QWidget *parent, const QString &text, const QRect &geometry)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(geometry);
    return l;
}

QLabel *borderedLabel(QWidget *parent, const QString &text, const QRect &geometry)
{
    QLabel *l = label(parent, text, geometry);
    l->setFrameStyle(QFrame::Box | QFrame::Plain);
    l->setLineWidth(1);
    return l;
}

} // namespace

Form1::Form1(std::unique_ptr<SerialDevice> device, CommControl::PortList ports,
             std::unique_ptr<Feedback> feedback, CommControl::Settings settings, QWidget *parent)
    : QWidget(parent)
    , m_feedback(std::move(feedback))
{
    createControls();

    Timer1 = new QTimer(this);
    Timer1->setInterval(TimerIntervalMs);
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, [this] { runHandler([this] { Timer1_Timer(); }); });
    Timer1->start();

    ComPort = new CommControl(std::move(device), std::move(ports), settings, this);
    connect(ComPort, &CommControl::OnComm, this,
            [this] { runHandler([this] { ComPort_OnComm(); }); });
    connect(ComPort, &CommControl::portLost, this, &Form1::portLost);
    connect(Command1, &QPushButton::clicked, this,
            [this] { runHandler([this] { Command1_Click(); }); });

    Form_Load();
}

Form1::~Form1() = default;

QColor Form1::colorFromBgr(quint32 value)
{
    return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
}

void Form1::createControls()
{
    setWindowTitle(QStringLiteral("Lumora"));
    setFixedSize(9870 / TwipsPerPixel, 8190 / TwipsPerPixel);
    // The window's default font, which every control but the barcode display uses: a compact
    // sans face, so that every heading fits the width its label was designed with.
    QFont standard(QStringLiteral("Liberation Sans"));
    standard.setPointSizeF(8.25);
    setFont(standard);

    // Created in tab order; labels never take the focus.
    CommLabel
        = borderedLabel(this, QStringLiteral("No RS232 Connection"), twips(600, 7680, 1815, 255));
    ErrorMsg = borderedLabel(this, QStringLiteral("No Errors"), twips(600, 7080, 1815, 255));
    Label4 = label(this, QStringLiteral("Errors"), twips(600, 6840, 1815, 255));
    Label5 = label(this, QStringLiteral("Current Bar Code"), twips(0, 360, 1815, 255));
    Label5->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    ReceivedData = new TextBox(this);
    ReceivedData->setGeometry(twips(9360, 960, 150, 285));
    ReceivedData->setBackColor(colorFromBgr(IndicatorRed));
    ReceivedData->setToolTip(QStringLiteral("Green while characters arrive"));

    Label2 = label(this, QStringLiteral("Rx"), twips(9240, 600, 375, 255));
    Label3 = label(this, QStringLiteral("RS232 Connection"), twips(600, 7440, 1815, 255));

    Command1 = new QPushButton(QStringLiteral("Clear"), this);
    Command1->setGeometry(twips(2160, 2040, 1095, 255));

    TextReceivedTxt = new HistoryBox(this);
    TextReceivedTxt->setGeometry(twips(240, 2520, 7815, 3255));

    Label6 = label(this, QStringLiteral("All Barcodes so far"), twips(240, 2040, 1455, 255));

    BarCodeText = new TextBox(this);
    BarCodeText->setGeometry(twips(120, 600, 8895, 855));
    QFont large(QStringLiteral("Courier New"));
    large.setBold(true);
    large.setPointSizeF(27.75); // QFont's constructor would round the size down to 27
    BarCodeText->setFont(large);

    Label1 = label(this, QStringLiteral("Lumora scanner tester. Free to use and share."),
                   twips(2640, 7800, 6375, 255));
    Label7 = label(this, QStringLiteral("Rev Testing Only"), twips(5280, 7320, 2055, 255));

    // Headings name the fields they stand over, for screen readers.
    ErrorMsg->setAccessibleName(Label4->text());
    CommLabel->setAccessibleName(Label3->text());
    Label5->setBuddy(BarCodeText);
    BarCodeText->setAccessibleName(Label5->text());
    Label6->setBuddy(TextReceivedTxt);
    TextReceivedTxt->setAccessibleName(Label6->text());
    Label2->setBuddy(ReceivedData);
    ReceivedData->setAccessibleName(QStringLiteral("Rx activity"));
    ReceivedData->setAccessibleDescription(QStringLiteral("idle"));
    Command1->setAccessibleName(QStringLiteral("Clear history"));

    setTabOrder(ReceivedData, Command1);
    setTabOrder(Command1, TextReceivedTxt);
    setTabOrder(TextReceivedTxt, BarCodeText);
}

void Form1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    ReceivedData->setFocus();
    // The scan runs once, when the window is first shown, after the show has been handled.
    // Qt also activates a window whenever a message box closes or the user comes back from
    // another program; none of those starts another scan.
    QMetaObject::invokeMethod(this, &Form1::Form_Activate, Qt::QueuedConnection);
}

template<typename Handler>
void Form1::runHandler(Handler &&handler)
{
    try {
        handler();
    } catch (const CommError &error) {
        reportFailure(error.number(), error.message());
    } catch (const std::bad_alloc &) {
        reportFailure(7, QStringLiteral("Out of memory"));
    }
}

void Form1::reportFailure(int number, const QString &message)
{
    // A failure that repeats while its box is open does not stack another box on top.
    if (m_failureShown)
        return;
    m_failureShown = true;
    m_feedback->messageBox(QStringLiteral("Run-time error '%1':\r\r%2").arg(number).arg(message),
                           windowTitle());
    m_failureShown = false;
}
