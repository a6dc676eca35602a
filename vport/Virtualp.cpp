#include "vport/Virtualp.h"

#include "vport/PortKeeper.h"
#include "vport/VSPortLib_TLB.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>

namespace
{

constexpr char LabelFontFamily[] = "MS Sans Serif";
constexpr int LabelFontPixels = 13;
// Small enough that a usual path such as /run/user/1000/velmor-debug/COM10 takes one line of
// the 185x81 group; longer ones lose their middle, the whole path in the tooltip and behind
// "Copy path".
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
    VPortPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    VPortPath->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *CopyPath = new QAction(QStringLiteral("Copy path"), VPortPath);
    CopyPath->setObjectName(QStringLiteral("CopyPath"));
    VPortPath->addAction(CopyPath);
    connect(CopyPath, &QAction::triggered, this,
            [this] { QGuiApplication::clipboard()->setText(FullPath); });
    VPortPath->installEventFilter(this);
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

    // The keeper resets the control and sets it up as the port wants it.
    Keeper = std::make_unique<TPortKeeper>(*VSPortAx, VPortName->text());
    Keeper->Creating = [this] { FillHost(); };

    hide();
}

// The control goes with the panel and, DeleteOnExit being set, takes its port along.
TVirtualPort::~TVirtualPort() = default;

void TVirtualPort::RefreshStatus()
{
    // No port list yet, so no name to create a port under.
    if (PortSource == nullptr)
        return;
    switch (Keeper->Keep(PortSource->currentText())) {
    case TPortKeeper::TKept::Checked:
        // This runs every tick: labels are touched only when the word changes.
        if (VPortStatus->text() != Keeper->Status()) {
            VPortStatus->setText(Keeper->Status());
            ShowDetails();
        }
        return;
    case TPortKeeper::TKept::Created:
        VPortName->setText(Keeper->Name());
        break;
    case TPortKeeper::TKept::Failed:
        // The port whose name was on show has gone: showing it beside "Error" would read as if
        // it were still there.
        if (VPortName->text() != Keeper->Name())
            VPortName->setText(Keeper->Name());
        break;
    }
    SetTextIfChanged(VPortStatus, Keeper->Status());
    ShowDetails();
}

bool TVirtualPort::ApplicationHoldsPort() const
{
    return Keeper->ApplicationHoldsPort();
}

void TVirtualPort::ShowDetails()
{
    const QString Path = VSPortAx->PortPath();
    if (FullPath != Path || VPortPath->toolTip().isEmpty() != Path.isEmpty()) {
        FullPath = Path;
        VPortPath->setToolTip(PlainToolTip(Path));
        ShowPath();
    }
    const QString Error = PlainToolTip(VSPortAx->LastError());
    if (VPortStatus->toolTip() != Error)
        VPortStatus->setToolTip(Error);
}

void TVirtualPort::ShowPath()
{
    // One line, its middle given up when it is too long: the folder it starts in and the name
    // at its end are what tell ports apart.
    SetTextIfChanged(VPortPath, VPortPath->fontMetrics().elidedText(FullPath, Qt::ElideMiddle,
                                                                    VPortPath->width()));
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
    if (Watched == VPortPath && Event->type() == QEvent::Resize)
        ShowPath();
    return QWidget::eventFilter(Watched, Event);
}
