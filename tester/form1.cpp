#include "form1.h"

#include "historybox.h"
#include "panelcachestyle.h"
#include "textbox.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

namespace {

// The design is laid out in twips; at 96 dots per inch 15 twips make one pixel. Qt's
// device-pixel ratio takes care of denser screens.
constexpr int TwipsPerPixel = 15;

QRect twips(int left, int top, int width, int height)
{
    return QRect(left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel,
                 height / TwipsPerPixel);
}

template<typename Control>
Control *place(Control *control, const char *name, const QRect &geometry)
{
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    return control;
}

QLabel *label(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    return place(new QLabel(text, parent), name, geometry);
}

QLabel *borderedLabel(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    QLabel *l = label(parent, name, text, geometry);
    l->setFrameStyle(QFrame::Box | QFrame::Plain);
    l->setLineWidth(1);
    return l;
}

// A status field's text is its accessible name; screen readers hear of each change.
void setStatus(QLabel *field, const QString &text)
{
    field->setText(text);
    QAccessibleEvent event(field, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

} // namespace

Form1::Form1(std::unique_ptr<TesterCore> core, std::chrono::milliseconds frameInterval,
             QWidget *parent)
    : QWidget(parent)
    , m_core(std::move(core))
    , m_pacer(int(frameInterval.count()))
{
    createControls();
    connectCore();
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
    // Characters the face lacks (control pictures, C1 controls) come from Unifont, the one
    // face that draws every one of them, through the system's font fallback.
    QFont standard(QStringLiteral("Liberation Sans"));
    standard.setPointSizeF(8.25);
    setFont(standard);

    // Created in tab order; labels never take the focus.
    CommLabel = borderedLabel(this, "CommLabel", m_core->commLabel(), twips(600, 7680, 1815, 255));
    ErrorMsg = borderedLabel(this, "ErrorMsg", m_core->errorMsg(), twips(600, 7080, 1815, 255));
    Label4 = label(this, "Label4", QStringLiteral("Errors"), twips(600, 6840, 1815, 255));
    Label5 = label(this, "Label5", QStringLiteral("Current Bar Code"), twips(0, 360, 1815, 255));
    Label5->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    ReceivedData = place(new QLineEdit(this), "ReceivedData", twips(9360, 960, 150, 285));
    ReceivedData->setToolTip(QStringLiteral("Green while characters arrive"));

    Label2 = label(this, "Label2", QStringLiteral("Rx"), twips(9240, 600, 375, 255));
    Label3 = label(this, "Label3", QStringLiteral("RS232 Connection"), twips(600, 7440, 1815, 255));

    Command1 = place(new QPushButton(QStringLiteral("Clear"), this), "Command1",
                     twips(2160, 2040, 1095, 255));

    TextReceivedTxt = place(new HistoryBox(this), "TextReceivedTxt", twips(240, 2520, 7815, 3255));

    Label6
        = label(this, "Label6", QStringLiteral("All Barcodes so far"), twips(240, 2040, 1455, 255));

    BarCodeText = place(new TextBox(&m_core->barCodeText(), this), "BarCodeText",
                        twips(120, 600, 8895, 855));
    QFont large(QStringLiteral("Courier New"));
    large.setBold(true);
    large.setPointSizeF(27.75); // QFont's constructor would round the size down to 27
    BarCodeText->setFont(large);
    // Redrawn for every barcode: its panel comes from a cache and covers what is behind it.
    auto *panels = new PanelCacheStyle;
    panels->setParent(this);
    BarCodeText->setStyle(panels);
    BarCodeText->setAttribute(Qt::WA_OpaquePaintEvent);

    Label1 = label(this, "Label1", QStringLiteral("Lumora scanner tester. Free to use and share."),
                   twips(2640, 7800, 6375, 255));
    Label7
        = label(this, "Label7", QStringLiteral("Rev Testing Only"), twips(5280, 7320, 2055, 255));

    // Each heading labels the field under it, for screen readers; the fields' own names and
    // values are their current texts.
    Label3->setBuddy(CommLabel);
    Label4->setBuddy(ErrorMsg);
    Label5->setBuddy(BarCodeText);
    Label6->setBuddy(TextReceivedTxt);
    Label2->setBuddy(ReceivedData);
    Command1->setAccessibleName(QStringLiteral("Clear history"));

    setTabOrder(ReceivedData, Command1);
    setTabOrder(Command1, TextReceivedTxt);
    setTabOrder(TextReceivedTxt, BarCodeText);

    // A window made for logic that ran already shows what it holds.
    for (const auto field :
         {TesterCore::Field::CommLabel, TesterCore::Field::ErrorMsg, TesterCore::Field::BarCodeText,
          TesterCore::Field::Indicator, TesterCore::Field::Connection})
        draw(field);
    BarCodeText->flush();
    showIndicator();
    TextReceivedTxt->setHistory(&m_core->historyText());
}

void Form1::connectCore()
{
    TesterCore *core = m_core.get();
    connect(core, &TesterCore::changed, this, &Form1::draw);
    // The history box reads the logic's text; what arrived goes on screen with the next frame.
    connect(core, &TesterCore::historyAppended, this, [this] { m_pacer.request(); });
    connect(core, &TesterCore::historyCleared, TextReceivedTxt, &HistoryBox::reset);
    connect(TextReceivedTxt, &HistoryBox::edited, core, &TesterCore::editHistory);
    connect(BarCodeText, &TextBox::edited, core, &TesterCore::editBarCodeText);
    connect(Command1, &QPushButton::clicked, core, &TesterCore::Command1_Click);
    connect(&m_pacer, &FramePacer::frame, this, &Form1::drawFrame);
}

void Form1::drawFrame()
{
    TextReceivedTxt->flush();
    BarCodeText->flush();
    if (m_indicatorPending)
        showIndicator();
}

void Form1::showIndicator()
{
    m_indicatorPending = false;
    const bool green = m_core->indicator() == TesterCore::IndicatorGreen;
    QPalette p = ReceivedData->palette();
    p.setColor(QPalette::Base, colorFromBgr(m_core->indicator()));
    ReceivedData->setPalette(p);
    ReceivedData->setAccessibleDescription(green ? QStringLiteral("receiving")
                                                 : QStringLiteral("idle"));
}

void Form1::draw(TesterCore::Field field)
{
    switch (field) {
    case TesterCore::Field::CommLabel:
        setStatus(CommLabel, m_core->commLabel());
        break;
    case TesterCore::Field::ErrorMsg:
        setStatus(ErrorMsg, m_core->errorMsg());
        break;
    case TesterCore::Field::BarCodeText:
        BarCodeText->showLater();
        m_pacer.request();
        break;
    case TesterCore::Field::Indicator:
        // The indicator turns green with the first character of a barcode and red again with
        // the idle timeout, when the barcode display changes too: both go on screen in one
        // frame, one repaint of the window instead of two.
        m_indicatorPending = true;
        m_pacer.request();
        break;
    case TesterCore::Field::Connection: {
        const QString details = m_core->connectionDetails();
        // A screen reader is given the words; without a description of its own it would read
        // the tooltip's markup.
        CommLabel->setAccessibleDescription(details);
        // Device strings are text, whatever characters they hold: a tooltip would take markup
        // in them for rich text. Lines keep their breaks and indents, and a line too long for
        // the screen wraps.
        CommLabel->setToolTip(QStringLiteral("<p style='white-space:pre-wrap'>")
                              + details.toHtmlEscaped() + QStringLiteral("</p>"));
        break;
    }
    }
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
    QMetaObject::invokeMethod(m_core.get(), &TesterCore::Form_Activate, Qt::QueuedConnection);
}
