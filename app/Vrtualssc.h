// The main window: the virtual port's state (the panel in "Virtual COM info"), the chosen SSC
// device, the Setup and About menu entries, the Reset button, and the 10 ms timer whose handler,
// PollingTimerTimer, is the program's one working loop: it moves bytes between the virtual port
// and the device link.
#pragma once

#include "device/LinkLog.h"
#include "device/LinkState.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <vector>

class QAction;
class QGroupBox;
class QLabel;
class QMenuBar;
class QPushButton;
class QTimer;
class QToolButton;
class TMessagesForm;
class TSSCClass;
class TVirtualPort;

namespace bridge
{
constexpr int kPollingIntervalMs = 10;
constexpr int kTransferSize = 4096; // the most that moves each way in one tick
constexpr int kSynchAttempts = 24;
constexpr std::int16_t kSynchPattern = 0x01A5;
} // namespace bridge

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
    // and the button that opens the link's messages.
    QLabel *LinkStatus;
    QToolButton *MessagesButton;
    TMessagesForm *MessagesForm;

    const TLinkState &LinkState() const { return FLinkState; }
    const TLinkLog &LinkLog() const { return FLinkLog; }

    void Setup1Click();
    void About1Click();
    void ButtonResetClick();
    void PollingTimerTimer();

signals:
    // The main window has closed: the program is to end.
    void Closed();

protected:
    void paintEvent(QPaintEvent *Event) override;
    void closeEvent(QCloseEvent *Event) override;

private:
    void FormPaint();
    void FormClose();
    // Moves what the device link received to the port: no more than an application on the port
    // can take now, so nothing is dropped while someone listens.
    // Returns how many bytes it moved.
    int DeliverReceived(class TSSCClass &Link, unsigned char *Inbound);
    // Hands the link what a retired link left unsent; true once nothing is left.
    bool HandOverUnsent(class TSSCClass &Link);
    // Every link is made here, with the callback that keeps its messages.
    std::unique_ptr<TSSCClass> NewLink();
    // After a link's Init: what the state model learns from it; the reason it failed, if it did.
    QString LinkInited(TSSCClass &Link, bool Failed);
    void RetireCurrentLink();
    // Shows the link's state in the status line, touching the labels only when it changed.
    void ShowLinkState();

    TLinkLog FLinkLog;
    TLinkState FLinkState;
    // The state's revision the status line shows (it is redrawn only when that moved on).
    std::uint64_t FShownRevision = ~std::uint64_t{0};

    // Host bytes read from the port that a retired link never began to send: the link that
    // replaced it takes them before anything new from the port.
    std::vector<unsigned char> FUnsent;
};

extern TVSSC *VSSC;

// Start-up: the application object is there; creates the main window (and with it the Setup and
// About dialogs) and shows it.
void CreateForms();
// Shutdown: destroys the windows that CreateForms made, main window first.
void DestroyForms();
