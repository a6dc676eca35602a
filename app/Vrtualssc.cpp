#include "app/Vrtualssc.h"

#include "app/DeviceArrivals.h"
#include "app/DeviceListing.h"
#include "app/JournalLines.h"

#include "device/Tsscclass.h"
#include "dialogs/About.h"
#include "dialogs/Message.h"
#include "dialogs/Messages.h"
#include "dialogs/Setup.h"
#include "dialogs/Traffic.h"
#include "vport/PortKeeper.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// A tooltip that looks like markup would be drawn as such: a description or a name in it is
// shown exactly as it is.
QString PlainToolTip(const QString &Text)
{
    return Qt::mightBeRichText(Text) ? Qt::convertFromPlainText(Text, Qt::WhiteSpacePre) : Text;
}
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
    SetupForm->NewLink = [this] { return FBridge.NewLink(); };
    SetupForm->LinkInited = [this](TSSCClass &Link, bool Failed) {
        return LinkInited(Link, Failed);
    };

    // The status line, below the designed client area.
    LinkStatus = new QLabel(this);
    LinkStatus->setObjectName("LinkStatus");
    LinkStatus->setTextFormat(Qt::PlainText);
    LinkStatus->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    LinkStatus->installEventFilter(this);
    MessagesButton = new QToolButton(this);
    MessagesButton->setObjectName("MessagesButton");
    MessagesButton->setText("Messages");
    MessagesButton->setAutoRaise(true);
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(LinkStatus, 1);
    statusBar()->addPermanentWidget(MessagesButton);
    MessagesForm = new TMessagesForm(FBridge.Log(), this);
    FBridge.Log().Changed = [this] { MessagesForm->LogChanged(); };
    TrafficButton = new QToolButton(this);
    TrafficButton->setObjectName("TrafficButton");
    TrafficButton->setText("Traffic");
    TrafficButton->setAutoRaise(true);
    statusBar()->addPermanentWidget(TrafficButton);
    TrafficForm = new TTrafficForm(this);
    TrafficForm->Recording = [this](TTrafficLog *Log) { FBridge.RecordTraffic(Log); };
    ShowLinkState();

    connect(Setup1, &QAction::triggered, this, &TVSSC::Setup1Click);
    connect(About1, &QAction::triggered, this, &TVSSC::About1Click);
    connect(ButtonReset, &QPushButton::clicked, this, &TVSSC::ButtonResetClick);
    connect(PollingTimer, &QTimer::timeout, this, &TVSSC::PollingTimerTimer);
    // A board that comes back is reopened as soon as it appears; without USB events, after the
    // reopening pauses only.
    FArrivals = new TDeviceArrivals(this);
    connect(FArrivals, &TDeviceArrivals::Arrived, this, [this] { FBridge.DeviceArrived(); });
    if (!FArrivals->Watching())
        FBridge.Log().Add(TLinkEventKind::Detail,
                          "USB arrivals not watched (" + FArrivals->Problem().toStdString() +
                              "): a lost device is tried again after its pauses only");
    connect(MessagesButton, &QToolButton::clicked, this, [this] {
        MessagesForm->show();
        MessagesForm->raise();
    });
    connect(TrafficButton, &QToolButton::clicked, this, [this] {
        TrafficForm->show();
        TrafficForm->raise();
    });

    adjustSize();
    // The designed window has one size: maximised, its widgets would sit in a corner of an
    // empty expanse. A fixed size also tells the window manager to offer no maximise button.
    setFixedSize(size());
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
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

    // What Setup began with, put back when it is left without OK. Meanwhile the link rests, and
    // what it never sent and what the device sent wait: after OK another port or device may be
    // chosen, so they are dropped as the link is retired; after Cancel they go on as after a
    // Reset.
    const QString keptPort = SetupForm->VCOMSel->currentText();
    const QString keptDevice = SetupForm->SSCSel->currentText();
    const bool hadLink = SetupForm->SSCLink != nullptr || FBridge.Reopening();
    if (hadLink)
        FBridge.RetireForReplacement(SetupForm->SSCLink);

    // A link that only binds the driver library, to list the devices present now. The list is
    // replaced, so a board plugged in since the last Setup appears; what the user typed or chose
    // stays. A listing that fails leaves the list as it was.
    SetupForm->SSCLink = FBridge.NewLink();
    SetupForm->SSCLink->Init("");
    // The descriptions are the driver's bytes, which need not be UTF-8: each is offered as it
    // is shown, and opened by its bytes.
    std::vector<std::string> found;
    if (!ForEachDevice(SetupForm->SSCLink->Driver(),
                       [&found](d2xx::DWORD, const std::string &Text) { found.push_back(Text); }))
        SetupForm->OfferDevices(found);

    SetupForm->move(pos());
    PollingTimer->stop();
    LinkStatus->setText(kSetupOpenText);
    LinkStatus->setToolTip(QString());
    if (SetupForm->exec() == QDialog::Accepted) {
        // The new link has been opened by OK; the old one's remains were for the old choice.
        std::unique_ptr<TSSCClass> none;
        FBridge.Retire(none);
        PortPanel->VSPortAx->ResetBus();
        PortPanel->RefreshStatus();
        DeviceLabel->show();
    } else {
        SetupForm->VCOMSel->setEditText(keptPort);
        SetupForm->SSCSel->setEditText(keptDevice);
        if (hadLink) {
            // As Reset does; a failure shows in the status line, as any link's does.
            FBridge.Replace(SetupForm->SSCLink, SetupForm->DeviceDescription());
        } else {
            FBridge.Retire(SetupForm->SSCLink);
        }
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
    QString reason;
    const bool failed =
        FBridge.Replace(SetupForm->SSCLink, SetupForm->DeviceDescription(), &reason);
    ShowLinkState();
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
    ShowDevice();
}

void TVSSC::ShowDevice()
{
    // Setup's list shows each description escaped, and so does this label: its text is the list's.
    const QString device = SetupForm->SSCSel->currentText();
    const QString shown =
        SSCDevice->fontMetrics().elidedText(device, Qt::ElideMiddle, SSCDevice->width());
    if (SSCDevice->text() != shown)
        SSCDevice->setText(shown);
    const QString tip = shown == device ? QString() : PlainToolTip(device);
    if (SSCDevice->toolTip() != tip)
        SSCDevice->setToolTip(tip);
}

void TVSSC::closeEvent(QCloseEvent *Event)
{
    FormClose();
    Event->accept();
    emit Closed();
}

void TVSSC::FormClose()
{
    // Closing drops what programs wrote that has not reached the device: said, never silent.
    const long long dropped = FBridge.RetireAtEnd(SetupForm->SSCLink, PortPanel->VSPortAx);
    ShowLinkState();
    if (dropped > 0)
        TJournalLines::ForStderr(TJournalLines::TStamp::None)
            .Say(TJournalLines::TPriority::Warning,
                 QStringLiteral("velmor-debug: %1 bytes programs wrote had not reached the device "
                                "and were dropped")
                     .arg(dropped));
    MessagesForm->close();
    TrafficForm->close();
}

QString TVSSC::LinkInited(TSSCClass &Link, bool Failed)
{
    const QString reason = FBridge.LinkInited(Link, Failed, SetupForm->DeviceDescription());
    ShowLinkState();
    return reason;
}

void TVSSC::RetireCurrentLink()
{
    if (!SetupForm->SSCLink)
        return;
    FBridge.Retire(SetupForm->SSCLink);
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
    // This runs every tick: the texts are built only when the state moved on, or the wait for
    // the next attempt at a lost device reached another second.
    const auto retryIn = std::chrono::ceil<std::chrono::seconds>(FBridge.NextAttemptIn());
    const int retrySeconds = FBridge.Reopening() ? int(retryIn.count()) : -1;
    const QString portProblem = PortProblem();
    if (FBridge.State().Revision() == FShownRevision && retrySeconds == FShownRetry &&
        portProblem == FShownPortProblem)
        return;
    FShownRevision = FBridge.State().Revision();
    FShownRetry = retrySeconds;
    FShownPortProblem = portProblem;
    const TLinkTraffic &traffic = FBridge.State().Traffic();
    QString text = QString::fromStdString(TLinkState::Word(FBridge.State().Phase()));
    text[0] = text[0].toUpper();
    if (FBridge.Reopening())
        text = kRetryingText.arg(std::max(retrySeconds, 1));
    // Without its port the link bridges nothing, however well it talks to the device.
    if (!portProblem.isEmpty())
        text = kPortNotCreatedText.arg(portProblem);
    // The line beside the Messages and Traffic buttons has room for the state and the counts;
    // the rates, and anything the line cannot hold, are in the tooltip.
    if (traffic.ToDevice != 0 || traffic.FromDevice != 0)
        text += QStringLiteral("  \u2191%1  \u2193%2")
                    .arg(Amount(double(traffic.ToDevice)), Amount(double(traffic.FromDevice)));
    FStatusText = text;
    ShowStatusText();
    QString details = QString::fromLocal8Bit(FBridge.State().Details());
    if (!portProblem.isEmpty())
        details.prepend(kPortNotCreatedText.arg(portProblem) + QLatin1Char('\n'));
    if (const std::string reason = FBridge.State().Reason(); !reason.empty())
        details += QStringLiteral("\n") + QString::fromLocal8Bit(reason);
    // Setup chooses by description; which board of several that is, and how to choose another.
    if (const QString note =
            TwinsNote(FBridge.State().Description(), FBridge.Twins(), FBridge.UsedSerial());
        !note.isEmpty())
        details += QStringLiteral("\n") + note;
    if (FBridge.Reopening())
        details += QStringLiteral("\n") + kRetryingText.arg(std::max(retrySeconds, 1));
    details += QStringLiteral("\nTo the device: %1 bytes (%2/s); from the device: %3 bytes (%4/s)")
                   .arg(traffic.ToDevice)
                   .arg(Amount(traffic.ToRate))
                   .arg(traffic.FromDevice)
                   .arg(Amount(traffic.FromRate));
    details = PlainToolTip(details);
    if (LinkStatus->toolTip() != details)
        LinkStatus->setToolTip(details);
}

QString TVSSC::PortProblem() const
{
    if (PortPanel->VPortStatus->text() != TPortKeeper::kStatusError)
        return {};
    const QString why = PortPanel->VSPortAx->LastError();
    return why.isEmpty() ? QStringLiteral("the port control refused the name") : why;
}

void TVSSC::ShowStatusText()
{
    const QString shown =
        LinkStatus->fontMetrics().elidedText(FStatusText, Qt::ElideRight, LinkStatus->width());
    if (LinkStatus->text() != shown)
        LinkStatus->setText(shown);
}

bool TVSSC::eventFilter(QObject *Watched, QEvent *Event)
{
    if (Watched == LinkStatus && Event->type() == QEvent::Resize)
        ShowStatusText();
    return QMainWindow::eventFilter(Watched, Event);
}

void TVSSC::PollingTimerTimer()
{
    ShowDevice();
    // No link: none was opened yet, or a lost device waits to be reopened.
    if (!SetupForm->SSCLink && !FBridge.Reopening())
        return;
    // Off for the tick; switched on again at its end, which restarts the interval, so ticks
    // never overlap.
    PollingTimer->stop();

    // Keep the port in place under the wanted name, and its status word current.
    PortPanel->RefreshStatus();
    FBridge.Cycle(SetupForm->SSCLink, *PortPanel->VSPortAx, PortPanel->ApplicationHoldsPort());
    ShowLinkState();
    PollingTimer->start();
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
