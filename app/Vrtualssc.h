// The main window: the virtual port's state (the panel in "Virtual COM info"), the chosen SSC
// device, the Setup and About menu entries, the Reset button, and the 10 ms timer whose handler,
// PollingTimerTimer, is the program's one working loop: it moves bytes between the virtual port
// and the device link.
#pragma once

#include "app/Bridge.h"

#include <QMainWindow>
#include <QString>

#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QMenuBar;
class QPushButton;
class QTimer;
class QToolButton;
class TDeviceArrivals;
class TMessagesForm;
class TTrafficForm;
class TSSCClass;
class TVirtualPort;

// The status line while the Setup dialog is up: the link rests until it is answered.
inline const QString kSetupOpenText = QStringLiteral("Setup open: link paused");
// The status line while a lost device waits to be reopened, with the seconds to the next attempt.
inline const QString kRetryingText = QStringLiteral("Device lost, retrying in %1 s");
// The status line while the port could not be created under the wanted name, with the control's
// reason: nothing is bridged then, whatever the link's state.
inline const QString kPortNotCreatedText = QStringLiteral("Port not created: %1");

class TVSSC final : public QMainWindow
{
    Q_OBJECT

public:
    explicit TVSSC(QWidget *Owner = nullptr);
    ~TVSSC() override;

    QGroupBox *VirtualCOMInfo;
    QMenuBar *MainMenu1;
    QAction *Setup1;
    QAction *About1;
    QTimer *PollingTimer;
    QGroupBox *GroupBox1;
    QLabel *DeviceLabel;
    QLabel *SSCDevice;
    QPushButton *ButtonReset;

    TVirtualPort *PortPanel;

    // Below the designed client area: the link's state and traffic, its details in the tooltip,
    // and the buttons that open the link's messages and the bytes that moved.
    QLabel *LinkStatus;
    QToolButton *MessagesButton;
    TMessagesForm *MessagesForm;
    QToolButton *TrafficButton;
    TTrafficForm *TrafficForm;

    const TLinkState &LinkState() const { return FBridge.State(); }
    const TLinkLog &LinkLog() const { return FBridge.Log(); }

    void Setup1Click();
    void About1Click();
    void ButtonResetClick();
    void PollingTimerTimer();

signals:
    // The main window has closed: the program is to end.
    void Closed();

protected:
    void paintEvent(QPaintEvent *Event) override;
    bool eventFilter(QObject *Watched, QEvent *Event) override;
    void closeEvent(QCloseEvent *Event) override;

private:
    void FormPaint();
    void FormClose();
    // After a link's Init: what the state model learns from it; the reason it failed, if it did.
    QString LinkInited(TSSCClass &Link, bool Failed);
    void RetireCurrentLink();
    // Shows the link's state in the status line, touching the labels only when it changed.
    void ShowLinkState();
    // Shows the status text, cut with an ellipsis where the line ends.
    void ShowStatusText();
    // Why the port could not be created under the wanted name; empty while it is there (or no
    // Setup has asked for it yet).
    QString PortProblem() const;
    // Shows the chosen device's description, its middle given up when it is too long; the whole
    // in the tooltip.
    void ShowDevice();

    // The cycle, the links it makes and retires, their state and messages, and the host bytes
    // a retired link left for the next one.
    TBridge FBridge;
    // USB devices that appear: a lost board is reopened as soon as it is back.
    TDeviceArrivals *FArrivals = nullptr;
    // The state's revision the status line shows (it is redrawn only when that moved on).
    std::uint64_t FShownRevision = ~std::uint64_t{0};
    // The whole seconds to the next attempt at a lost device it shows; -1 when none is due.
    int FShownRetry = -1;
    // The status line's whole text; the tooltip has the rest of the details.
    QString FStatusText;
    // The port's problem the status line shows.
    QString FShownPortProblem;
};

extern TVSSC *VSSC;

// Start-up: the application object is there; creates the main window (and with it the Setup and
// About dialogs) and shows it.
void CreateForms();
// Shutdown: destroys the windows that CreateForms made, main window first.
void DestroyForms();
