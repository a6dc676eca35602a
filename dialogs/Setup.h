// The Setup dialog: where the user picks the virtual port's name and the SSC device. Beyond being
// a dialog it holds the program's only reference to the current device link (SSCLink), and its
// two lists stay the live source of both choices: the port panel reads VCOMSel, the main window
// reads SSCSel.
#pragma once

#include "device/Tsscclass.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QGroupBox;
class QPushButton;

class TSetupForm final : public QDialog
{
    Q_OBJECT

public:
    explicit TSetupForm(QWidget *Owner = nullptr);
    ~TSetupForm() override;

    QGroupBox *GroupBoxSelVCOM;
    QGroupBox *GroupBox2;
    QComboBox *VCOMSel;
    QComboBox *SSCSel;
    QPushButton *OKButton;
    QPushButton *CancelButton;

    // The current device link, or null.
    std::unique_ptr<TSSCClass> SSCLink;

    // Whether an application holds the virtual port open now; set by the main window. OK is
    // refused while it does, since the main window recreates the port after OK.
    std::function<bool()> PortInUse;
    // Makes every new link (with the main window's message callback), and says why a link's Init
    // failed; both set by the main window.
    std::function<std::unique_ptr<TSSCClass>()> NewLink;
    std::function<QString(TSSCClass &Link, bool Failed)> LinkInited;

    // The device description as the link takes it: the bytes of the device offered under the
    // list's text, else the text as typed (UTF-8).
    AnsiString DeviceDescription() const;
    // Offers the devices present, by their descriptions as the driver gives their bytes; each is
    // shown escaped (device/ShownText.h), so that no description can pass for two devices or turn
    // the text around. The list's text stays what it was.
    void OfferDevices(const std::vector<std::string> &Descriptions);

private:
    void OKButtonClick();
    // A list's whole text in its tooltip, for when the box is too narrow for it.
    static void ShowWholeText(QComboBox *List);
};

extern TSetupForm *SetupForm;
