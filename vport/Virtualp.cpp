#include "vport/Virtualp.h"

#include "vport/VSPortLib_TLB.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>

namespace
{

const QString StatusIdle = QStringLiteral("Idle");
const QString StatusOpened = QStringLiteral("Opened");
const QString StatusIdleNoDcd = QStringLiteral("Idle No Dcd");
const QString StatusError = QStringLiteral("Error");

// The wiring the port is created with: DTR and RTS on, OUT1 and OUT2 off.
constexpr long WiringDtr = 32;
constexpr long WiringRts = 16;
constexpr long WiringOut1 = 0;
constexpr long WiringOut2 = 0;

constexpr char LabelFontFamily[] = "MS Sans Serif";
constexpr int LabelFontPixels = 13;
// Small enough that a usual path such as /run/user/1000/velmor-debug/COM10 takes one line of
// the 185x81 group; longer ones wrap, which leaves the text itself whole for copying.
constexpr int PathFontPixels = 9;
constexpr int StoredWidth = 213;
constexpr int StoredHeight = 109;
constexpr int ColumnGap = 6;
constexpr int RowGap = 1;

QLabel *MakeLabel(const QString &Name, const QString &Caption, bool Bold, QWidget *Parent)
{
    auto *Label = new QLabel(Caption, Parent);
    Label->setObjectName(Name);
    // Names and paths come from the user and the file system: shown as they are, never as markup.
    Label->setTextFormat(Qt::PlainText);
    QFont Font(QString::fromLatin1(LabelFontFamily));
    Font.setPixelSize(LabelFontPixels);
    Font.setBold(Bold);
    Label->setFont(Font);
    return Label;
}

void SetTextIfChanged(QLabel *Label, const QString &Text)
{
    if (Label->text() != Text)
        Label->setText(Text);
}

// A tooltip is rendered as rich text whenever it looks like markup; one that does is escaped, so
// that a name or path in it is shown exactly as it is.
QString PlainToolTip(const QString &Text)
{
    return Qt::mightBeRichText(Text) ? Qt::convertFromPlainText(Text, Qt::WhiteSpacePre) : Text;
}

} // namespace

TVirtualPort::TVirtualPort(QWidget *Owner, std::unique_ptr<IVSPortAx> Control)
    : QWidget(Owner),
      Label1(MakeLabel(QStringLiteral("Label1"), QStringLiteral("Virtual Port:"), false, this)),
      Status(MakeLabel(QStringLiteral("Status"), QStringLiteral("Status:"), false, this)),
      VPortName(MakeLabel(QStringLiteral("VPortName"), QStringLiteral("VPortName"), true, this)),
      VPortStatus(
          MakeLabel(QStringLiteral("VPortStatus"), QStringLiteral("VPortStatus"), true, this)),
      VSPortAx(nullptr), VPortPath(new QLabel(this)),
      OwnedControl(Control ? std::move(Control) : std::make_unique<TVSPortAx>())
{
    VSPortAx = OwnedControl.get();
    setObjectName(QStringLiteral("VirtualPort"));
    setWindowTitle(QStringLiteral("VirtualPort"));
    resize(StoredWidth, StoredHeight);

    VPortPath->setObjectName(QStringLiteral("VPortPath"));
    VPortPath->setTextFormat(Qt::PlainText);
    QFont PathFont = VPortPath->font();
    PathFont.setPixelSize(PathFontPixels);
    VPortPath->setFont(PathFont);
    VPortPath->setWordWrap(true);
    VPortPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    VPortPath->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Long names are cut at the group's edge rather than widening the main window.
    for (QLabel *Label : {VPortName, VPortStatus, VPortPath})
        Label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto *Grid = new QGridLayout(this);
    Grid->setContentsMargins(0, 0, 0, 0);
    Grid->setHorizontalSpacing(ColumnGap);
    Grid->setVerticalSpacing(RowGap);
    Grid->addWidget(Label1, 0, 0);
    Grid->addWidget(VPortName, 0, 1);
    Grid->addWidget(Status, 1, 0);
    Grid->addWidget(VPortStatus, 1, 1);
    Grid->addWidget(VPortPath, 2, 0, 1, 2);
    Grid->setColumnStretch(1, 1);
    Grid->setRowStretch(3, 1);

    VSPortAx->ResetBus();
    VSPortAx->SetDSR(false);
    VSPortAx->SetRING(false);
    VSPortAx->SetDCD(false);
    VSPortAx->SetDeleteOnExit(true);

    hide();
}

// The control goes with the panel and, DeleteOnExit being set, takes its port along.
TVirtualPort::~TVirtualPort() = default;

void TVirtualPort::RefreshStatus()
{
    // No port list yet, so no name to create a port under.
    if (PortSource == nullptr)
        return;
    const QString Wanted = PortSource->currentText();
    if (VSPortAx->PortCreated() && Wanted == VPortName->text()) {
        ShowOpenedState();
        return;
    }
    CreateWanted(Wanted);
}

void TVirtualPort::CreateWanted(const QString &Wanted)
{
    // A port that merely vanished is created again under its name; a renamed one goes first.
    if (Wanted != VPortName->text())
        VSPortAx->Delete();
    FillHost();
    // The name goes unchanged, whatever its length: the control refuses what it cannot create
    // exactly.
    if (VSPortAx->CreatePort(Wanted)) {
        ShowCreated(Wanted);
    } else {
        SetTextIfChanged(VPortStatus, StatusError);
        VSPortAx->ResetBus();
        if (VSPortAx->CreatePort(Wanted))
            ShowCreated(Wanted);
        else if (ShowsPort) {
            // The port whose name is on show has gone: showing it beside "Error" would read as
            // if it were still there. The empty name differs from any wanted one but the empty
            // name itself (for which no port exists to delete), so the next refresh still
            // deletes before it creates.
            VPortName->clear();
            ShowsPort = false;
        }
    }
    ShowDetails();
}

void TVirtualPort::ShowCreated(const QString &Wanted)
{
    VPortName->setText(Wanted);
    ShowsPort = true;
    HeldByApplication = false;
    const bool Wired = VSPortAx->SetWiring(WiringDtr, WiringRts, WiringOut1, WiringOut2);
    SetTextIfChanged(VPortStatus, Wired ? StatusIdle : StatusIdleNoDcd);
}

void TVirtualPort::ShowOpenedState()
{
    // This runs every tick: labels are touched only when the word changes.
    HeldByApplication = VSPortAx->PortOpened();
    const QString &Word = HeldByApplication ? StatusOpened : StatusIdle;
    if (VPortStatus->text() != Word) {
        VPortStatus->setText(Word);
        ShowDetails();
    }
}

void TVirtualPort::ShowDetails()
{
    const QString Path = VSPortAx->PortPath();
    if (VPortPath->text() != Path) {
        VPortPath->setText(Path);
        VPortPath->setToolTip(PlainToolTip(Path));
    }
    const QString Error = PlainToolTip(VSPortAx->LastError());
    if (VPortStatus->toolTip() != Error)
        VPortStatus->setToolTip(Error);
}

void TVirtualPort::FillHost()
{
    if (QWidget *Host = parentWidget()) {
        if (!HostWatched) {
            Host->installEventFilter(this);
            HostWatched = true;
        }
        setGeometry(Host->contentsRect());
    } else if (!windowFlags().testFlag(Qt::FramelessWindowHint)) {
        setWindowFlag(Qt::FramelessWindowHint, true);
    }
    show();
}

bool TVirtualPort::eventFilter(QObject *Watched, QEvent *Event)
{
    // A group box's client area is its contents rect, which moves with its size and title font.
    if (Watched == parentWidget() &&
        (Event->type() == QEvent::Resize || Event->type() == QEvent::ContentsRectChange))
        setGeometry(parentWidget()->contentsRect());
    return QWidget::eventFilter(Watched, Event);
}
