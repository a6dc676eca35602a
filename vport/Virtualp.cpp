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

constexpr char kLabelFontFamily[] = "MS Sans Serif";
constexpr int kLabelFontPixels = 13;
// Small enough that a usual path such as /run/user/1000/velmor-debug/COM10 takes one line of
// the 185x81 group; longer ones lose their middle, the whole path in the tooltip and behind
// "Copy path".
constexpr int kPathFontPixels = 9;
constexpr int kStoredWidth = 213;
constexpr int kStoredHeight = 109;
constexpr int kColumnGap = 6;
constexpr int kRowGap = 1;

QLabel *MakeLabel(const QString &Name, const QString &Caption, bool Bold, QWidget *Parent)
{
    auto *label = new QLabel(Caption, Parent);
    label->setObjectName(Name);
    // Names and paths come from the user and the file system: shown as they are, never as markup.
    label->setTextFormat(Qt::PlainText);
    QFont font(QString::fromLatin1(kLabelFontFamily));
    font.setPixelSize(kLabelFontPixels);
    font.setBold(Bold);
    label->setFont(font);
    return label;
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
      FOwnedControl(Control ? std::move(Control) : std::make_unique<TVSPortAx>())
{
    VSPortAx = FOwnedControl.get();
    setObjectName(QStringLiteral("VirtualPort"));
    setWindowTitle(QStringLiteral("VirtualPort"));
    resize(kStoredWidth, kStoredHeight);

    VPortPath->setObjectName(QStringLiteral("VPortPath"));
    VPortPath->setTextFormat(Qt::PlainText);
    QFont pathFont = VPortPath->font();
    pathFont.setPixelSize(kPathFontPixels);
    VPortPath->setFont(pathFont);
    VPortPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    VPortPath->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto *copyPath = new QAction(QStringLiteral("Copy path"), VPortPath);
    copyPath->setObjectName(QStringLiteral("CopyPath"));
    VPortPath->addAction(copyPath);
    connect(copyPath, &QAction::triggered, this,
            [this] { QGuiApplication::clipboard()->setText(FFullPath); });
    VPortPath->installEventFilter(this);
    VPortName->installEventFilter(this);
    VPortPath->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Long names are cut at the group's edge rather than widening the main window.
    for (QLabel *label : {VPortName, VPortStatus, VPortPath})
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(kColumnGap);
    grid->setVerticalSpacing(kRowGap);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(VPortName, 0, 1);
    grid->addWidget(Status, 1, 0);
    grid->addWidget(VPortStatus, 1, 1);
    grid->addWidget(VPortPath, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);

    // The keeper resets the control and sets it up as the port wants it.
    FKeeper = std::make_unique<TPortKeeper>(*VSPortAx, VPortName->text());
    FKeeper->Creating = [this] { FillHost(); };

    hide();
}

// The control goes with the panel and, DeleteOnExit being set, takes its port along.
TVirtualPort::~TVirtualPort() = default;

void TVirtualPort::RefreshStatus()
{
    // No port list yet, so no name to create a port under.
    if (PortSource == nullptr)
        return;
    switch (FKeeper->Keep(PortSource->currentText())) {
    case TPortKeeper::TKept::Checked:
        // This runs every tick: labels are touched only when the word changes.
        if (VPortStatus->text() != FKeeper->Status()) {
            VPortStatus->setText(FKeeper->Status());
            ShowDetails();
        }
        return;
    case TPortKeeper::TKept::Created:
        FFullName = FKeeper->Name();
        ShowName();
        break;
    case TPortKeeper::TKept::Failed:
        // The port whose name was on show has gone: showing it beside "Error" would read as if
        // it were still there.
        if (FFullName != FKeeper->Name()) {
            FFullName = FKeeper->Name();
            ShowName();
        }
        break;
    }
    SetTextIfChanged(VPortStatus, FKeeper->Status());
    ShowDetails();
}

bool TVirtualPort::ApplicationHoldsPort() const
{
    return FKeeper->ApplicationHoldsPort();
}

void TVirtualPort::ShowDetails()
{
    const QString path = VSPortAx->PortPath();
    if (FFullPath != path || VPortPath->toolTip().isEmpty() != path.isEmpty()) {
        FFullPath = path;
        VPortPath->setToolTip(PlainToolTip(path));
        ShowPath();
    }
    const QString error = PlainToolTip(VSPortAx->LastError());
    if (VPortStatus->toolTip() != error)
        VPortStatus->setToolTip(error);
}

void TVirtualPort::ShowPath()
{
    // One line, its middle given up when it is too long: the folder it starts in and the name
    // at its end are what tell ports apart.
    SetTextIfChanged(VPortPath, VPortPath->fontMetrics().elidedText(FFullPath, Qt::ElideMiddle,
                                                                    VPortPath->width()));
}

void TVirtualPort::ShowName()
{
    // Until the panel is laid out the label has no width of its own to cut to.
    const QString shown =
        VPortName->isVisible()
            ? VPortName->fontMetrics().elidedText(FFullName, Qt::ElideMiddle, VPortName->width())
            : FFullName;
    SetTextIfChanged(VPortName, shown);
    const QString tip = shown == FFullName ? QString() : PlainToolTip(FFullName);
    if (VPortName->toolTip() != tip)
        VPortName->setToolTip(tip);
}

void TVirtualPort::FillHost()
{
    if (QWidget *host = parentWidget()) {
        if (!FHostWatched) {
            host->installEventFilter(this);
            FHostWatched = true;
        }
        setGeometry(host->contentsRect());
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
    if (Watched == VPortName && (Event->type() == QEvent::Resize || Event->type() == QEvent::Show))
        ShowName();
    return QWidget::eventFilter(Watched, Event);
}
