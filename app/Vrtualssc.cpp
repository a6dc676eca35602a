#include "app/Vrtualssc.h"

#include "device/Tsscclass.h"
#include "dialogs/About.h"
#include "dialogs/Message.h"
#include "dialogs/Messages.h"
#include "dialogs/Setup.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <memory>

using namespace bridge;

TVSSC *VSSC = nullptr;

namespace
{
// The window's outer size is 305 x 240; this is what is left inside its frame, title bar and
// menu bar.
constexpr QSize kClientSize{297, 186};
constexpr QPoint kDesignedPosition{976, 1};
constexpr int kLabelPoints = 10;
} // namespace

TVSSC::TVSSC(QWidget *Owner) : QMainWindow(Owner)
{
    // The window and its components.
    setObjectName("VSSC");
    setWindowTitle("Velmor Debug");
    setFont(QFont("MS Sans Serif", 8));
    auto *client = new QWidget(this);
    client->setFixedSize(kClientSize);
    setCentralWidget(client);

    VirtualCOMInfo = new QGroupBox("Virtual COM info", client);
    VirtualCOMInfo->setObjectName("VirtualCOMInfo");
    VirtualCOMInfo->setGeometry(8, 8, 185, 81);

    MainMenu1 = menuBar();
    Setup1 = MainMenu1->addAction("Setup");
    About1 = MainMenu1->addAction("About");

    PollingTimer = new QTimer(this);
    PollingTimer->setInterval(kPollingIntervalMs);

    GroupBox1 = new QGroupBox("SSC Device info", client);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(8, 96, 281, 81);
    QFont labelFont = font();
    labelFont.setPointSize(kLabelPoints);
    DeviceLabel = new QLabel("Device", GroupBox1);
    DeviceLabel->setObjectName("DeviceLabel");
    DeviceLabel->setFont(labelFont);
    DeviceLabel->setGeometry(16, 32, 43, 16);
    DeviceLabel->hide();
    labelFont.setBold(true);
    SSCDevice = new QLabel("SSCDevice", GroupBox1);
    SSCDevice->setObjectName("SSCDevice");
    SSCDevice->setFont(labelFont);
    // Wider than designed: a device description is often longer than "SSCDevice".
    SSCDevice->setGeometry(112, 32, 160, 16);
    // The description is the user's or the driver's text: shown as it is, never as markup.
    SSCDevice->setTextFormat(Qt::PlainText);

    ButtonReset = new QPushButton("Reset", client);
    ButtonReset->setObjectName("ButtonReset");
    ButtonReset->setGeometry(208, 32, 73, 33);

    // The dialogs, and the port panel fed by the Setup dialog's port list.
    SetupForm = new TSetupForm();
    AboutForm = new TAboutForm();
    PortPanel = new TVirtualPort(VirtualCOMInfo);
    PortPanel->PortSource = SetupForm->VCOMSel;
    SetupForm->PortInUse = [this] { return PortPanel->VSPortAx->PortOpened(); };
    SetupForm->NewLink = [this] { return NewLink(); };
    SetupForm->LinkInited = [this](TSSCClass &Link, bool Failed) {
        return LinkInited(Link, Failed);
    };

    // The status line, below the designed client area.
    LinkStatus = new QLabel(this);
    LinkStatus->setObjectName("LinkStatus");
    LinkStatus->setTextFormat(Qt::PlainText);
    MessagesButton = new QToolButton(this);
    MessagesButton->setObjectName("MessagesButton");
    MessagesButton->setText("Messages");
    MessagesButton->setAutoRaise(true);
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(LinkStatus, 1);
    statusBar()->addPermanentWidget(MessagesButton);
    MessagesForm = new TMessagesForm(FLinkLog, this);
    FLinkLog.Changed = [this] { MessagesForm->Refresh(); };
    ShowLinkState();

    connect(Setup1, &QAction::triggered, this, &TVSSC::Setup1Click);
    connect(About1, &QAction::triggered, this, &TVSSC::About1Click);
    connect(ButtonReset, &QPushButton::clicked, this, &TVSSC::ButtonResetClick);
    connect(PollingTimer, &QTimer::timeout, this, &TVSSC::PollingTimerTimer);
    connect(MessagesButton, &QToolButton::clicked, this, [this] {
        MessagesForm->show();
        MessagesForm->raise();
    });

    adjustSize();
    move(kDesignedPosition);
}

TVSSC::~TVSSC() = default;

void TVSSC::Setup1Click()
{
    // Changing settings under an application that holds the port would pull it away.
    if (PortPanel->ApplicationHoldsPort()) {
        ShowMessage(this, kExitApplicationsText);
        return;
    }

    // Another port or device may be chosen: what the old link held was meant for the old one.
    RetireCurrentLink();
    FUnsent.clear();

    // A link that only binds the driver library, to list the devices present now. The list is
    // replaced, so a board plugged in since the last Setup appears; what the user typed or chose
    // stays. A listing that fails leaves the list as it was.
    SetupForm->SSCLink = NewLink();
    SetupForm->SSCLink->Init("");
    QStringList found;
    if (!SetupForm->SSCLink->ListDevices(found)) {
        const QString chosen = SetupForm->SSCSel->currentText();
        SetupForm->SSCSel->clear();
        SetupForm->SSCSel->addItems(found);
        SetupForm->SSCSel->setCurrentIndex(-1);
        SetupForm->SSCSel->setEditText(chosen);
    }

    SetupForm->move(pos());
    PollingTimer->stop();
    if (SetupForm->exec() == QDialog::Accepted) {
        PortPanel->VSPortAx->ResetBus();
        PortPanel->RefreshStatus();
        DeviceLabel->show();
    }
    ShowLinkState();
    PollingTimer->start();
}

void TVSSC::About1Click()
{
    AboutForm->move(pos());
    if (!AboutForm->isVisible())
        AboutForm->show();
}

void TVSSC::ButtonResetClick()
{
    // The same device again: what the old link never began to send goes first to the new one.
    std::vector<unsigned char> unsent = RetireLink(SetupForm->SSCLink);
    FUnsent.insert(FUnsent.begin(), unsent.begin(), unsent.end());
    SetupForm->SSCLink = NewLink();
    const bool failed = SetupForm->SSCLink->Init(SetupForm->DeviceDescription());
    const QString reason = LinkInited(*SetupForm->SSCLink, failed);
    if (failed)
        ShowMessage(this, kInitErrorText, reason);
}

void TVSSC::paintEvent(QPaintEvent *Event)
{
    FormPaint();
    QMainWindow::paintEvent(Event);
}

void TVSSC::FormPaint()
{
    PortPanel->PortSource = SetupForm->VCOMSel;
    SSCDevice->setText(SetupForm->SSCSel->currentText());
}

void TVSSC::closeEvent(QCloseEvent *Event)
{
    FormClose();
    Event->accept();
    emit Closed();
}

void TVSSC::FormClose()
{
    RetireCurrentLink();
    MessagesForm->close();
}

std::unique_ptr<TSSCClass> TVSSC::NewLink()
{
    return std::make_unique<TSSCClass>([this](const AnsiString &Text) {
        FLinkLog.Add(Text);
        FLinkState.Reported(Text);
    });
}

QString TVSSC::LinkInited(TSSCClass &Link, bool Failed)
{
    std::vector<std::string> present;
    if (Link.InitOutcome() == TInitOutcome::DeviceNotFound) {
        QStringList found;
        Link.ListDevices(found);
        for (const QString &description : found)
            present.push_back(description.toLocal8Bit().toStdString());
    }
    FLinkState.LinkOpened(SetupForm->DeviceDescription(), Link.InitOutcome(), Link.LibraryFile(),
                          present);
    ShowLinkState();
    return Failed ? QString::fromLocal8Bit(FLinkState.Reason()) : QString();
}

void TVSSC::RetireCurrentLink()
{
    if (!SetupForm->SSCLink)
        return;
    RetireLink(SetupForm->SSCLink);
    FLinkState.LinkRetired();
    ShowLinkState();
}

namespace
{
QString Amount(double Bytes)
{
    if (Bytes < 10000)
        return QStringLiteral("%1 B").arg(Bytes, 0, 'f', 0);
    if (Bytes < 10e6)
        return QStringLiteral("%1 kB").arg(Bytes / 1e3, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(Bytes / 1e6, 0, 'f', 1);
}
} // namespace

void TVSSC::ShowLinkState()
{
    // This runs every tick: the texts are built only when the state moved on.
    if (FLinkState.Revision() == FShownRevision)
        return;
    FShownRevision = FLinkState.Revision();
    const TLinkTraffic &traffic = FLinkState.Traffic();
    QString text = QString::fromStdString(TLinkState::Word(FLinkState.Phase()));
    text[0] = text[0].toUpper();
    if (traffic.ToDevice != 0 || traffic.FromDevice != 0)
        text += QStringLiteral("  \u2191%1 %2/s  \u2193%3 %4/s")
                    .arg(Amount(double(traffic.ToDevice)), Amount(traffic.ToRate),
                         Amount(double(traffic.FromDevice)), Amount(traffic.FromRate));
    if (LinkStatus->text() != text)
        LinkStatus->setText(text);
    QString details = QString::fromLocal8Bit(FLinkState.Details());
    if (const std::string reason = FLinkState.Reason(); !reason.empty())
        details += QStringLiteral("\n") + QString::fromLocal8Bit(reason);
    details += QStringLiteral("\nTo the device: %1 bytes; from the device: %2 bytes")
                   .arg(traffic.ToDevice)
                   .arg(traffic.FromDevice);
    if (LinkStatus->toolTip() != details)
        LinkStatus->setToolTip(details);
}

void TVSSC::PollingTimerTimer()
{
    SSCDevice->setText(SetupForm->SSCSel->currentText());
    TSSCClass *link = SetupForm->SSCLink.get();
    if (!link)
        return;
    // Off for the tick; switched on again at its end, which restarts the interval, so ticks
    // never overlap.
    PollingTimer->stop();

    // Keep the port in place under the wanted name, and its status word current.
    PortPanel->RefreshStatus();
    IVSPortAx *port = PortPanel->VSPortAx;

    int toDevice = 0;
    int fromDevice = 0;
    // Port to device: read no more than the link takes whole now; the rest waits in the port,
    // where the application's writes wait as on a line with flow control. A link that cannot
    // transfer takes nothing, so what the port holds is read and dropped.
    if (HandOverUnsent(*link)) {
        const int room = link->TxRoom();
        long count = room < 0 ? kTransferSize : std::min(room, kTransferSize);
        if (count > 0) {
            auto outbound = std::make_unique<unsigned char[]>(kTransferSize);
            const long read = port->Read(outbound.get(), &count);
            if (read != 0)
                toDevice = link->SendData(outbound.get(), static_cast<int>(read));
        }
    }

    // Device to port, or the handshake while the link is not synchronised yet.
    auto inbound = std::make_unique<unsigned char[]>(kTransferSize);
    if (link->Synched) {
        fromDevice = DeliverReceived(*link, inbound.get());
    } else {
        const bool failed = link->SynchDevice(kSynchAttempts, kSynchPattern);
        FLinkState.SynchTried(failed);
        if (!failed)
            fromDevice = DeliverReceived(*link, inbound.get());
    }
    // Every tick, bytes or not, so that the rates fall to nothing when the traffic stops.
    FLinkState.Moved(toDevice, fromDevice);
    FLinkState.DeviceChecked(link->DeviceFailing());
    ShowLinkState();
    PollingTimer->start();
}

bool TVSSC::HandOverUnsent(TSSCClass &Link)
{
    if (FUnsent.empty())
        return true;
    const int taken = Link.SendData(FUnsent.data(), static_cast<int>(FUnsent.size()));
    // A link without a device drops what it is given, as it drops what comes from the port.
    if (taken < 0)
        FUnsent.clear();
    else
        FUnsent.erase(FUnsent.begin(), FUnsent.begin() + taken);
    return FUnsent.empty();
}

int TVSSC::DeliverReceived(TSSCClass &Link, unsigned char *Inbound)
{
    long capacity = kTransferSize;
    // This tick's own reading of whether an application holds the port.
    if (PortPanel->ApplicationHoldsPort())
        capacity = std::min(capacity, PortPanel->VSPortAx->WriteRoom());
    if (capacity <= 0)
        return 0;
    const int received = Link.ReceiveData(Inbound, static_cast<int>(capacity));
    if (received > 0)
        PortPanel->VSPortAx->Write(Inbound, received);
    return std::max(received, 0);
}

void CreateForms()
{
    VSSC = new TVSSC();
    VSSC->show();
}

void DestroyForms()
{
    delete VSSC;
    VSSC = nullptr;
    delete SetupForm;
    SetupForm = nullptr;
    delete AboutForm;
    AboutForm = nullptr;
}
