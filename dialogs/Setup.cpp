#include "dialogs/Setup.h"

#include "dialogs/Message.h"

#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>

TSetupForm *SetupForm = nullptr;

namespace
{
constexpr int kFirstPort = 8;
constexpr int kLastPort = 13;
// The window's outer size is 257 x 218; this is what is left inside its frame and title bar.
constexpr QSize kClientSize{251, 190};
} // namespace

TSetupForm::TSetupForm(QWidget *Owner)
    : QDialog(Owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint)
{
    setObjectName("SetupForm");
    setWindowTitle("Setup");
    setFont(QFont("MS Sans Serif", 8));
    setFixedSize(kClientSize);

    GroupBoxSelVCOM = new QGroupBox("Select Virtual Com", this);
    GroupBoxSelVCOM->setGeometry(8, 8, 153, 81);
    GroupBox2 = new QGroupBox("Select SSC Device", this);
    GroupBox2->setGeometry(8, 96, 233, 81);

    // Both lists take a typed text as well as a picked item; the text is what counts, and a typed
    // text is never added to the items.
    VCOMSel = new QComboBox(GroupBoxSelVCOM);
    VCOMSel->setObjectName("VCOMSel");
    VCOMSel->setEditable(true);
    VCOMSel->setInsertPolicy(QComboBox::NoInsert);
    VCOMSel->setGeometry(16, 32, 81, 21);
    // A typed name is used as typed: no completion from the items ("COM1" must not become
    // "COM10").
    VCOMSel->setCompleter(nullptr);
    SSCSel = new QComboBox(GroupBox2);
    SSCSel->setObjectName("SSCSel");
    SSCSel->setEditable(true);
    SSCSel->setInsertPolicy(QComboBox::NoInsert);
    SSCSel->setGeometry(16, 32, 169, 21);
    SSCSel->setCompleter(nullptr);

    OKButton = new QPushButton("OK", this);
    OKButton->setObjectName("OKButton");
    OKButton->setGeometry(184, 24, 57, 33);
    OKButton->setAutoDefault(false);
    OKButton->setDefault(false);
    // Cancel, Escape and the title bar's close leave the dialog without OK: the main window puts
    // the link back as it was.
    CancelButton = new QPushButton("Cancel", this);
    CancelButton->setObjectName("CancelButton");
    CancelButton->setGeometry(184, 62, 57, 27);
    CancelButton->setAutoDefault(false);

    for (int number = kFirstPort; number <= kLastPort; ++number)
        VCOMSel->addItem(QString("COM%1").arg(number));
    VCOMSel->setCurrentIndex(-1);
    VCOMSel->setEditText(QString());

    connect(OKButton, &QPushButton::clicked, this, &TSetupForm::OKButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &TSetupForm::reject);
}

// The main window's close handler has retired the link by now; nothing of our own to do.
TSetupForm::~TSetupForm() = default;

AnsiString TSetupForm::DeviceDescription() const
{
    return SSCSel->currentText().toLocal8Bit().toStdString();
}

void TSetupForm::OKButtonClick()
{
    // An application may have opened the port while the dialog was up: recreating the port
    // would pull it away from under the application. The dialog stays up.
    if (PortInUse && PortInUse()) {
        ShowMessage(this, kExitApplicationsText);
        return;
    }
    setResult(QDialog::Accepted);
    RetireLink(SSCLink);
    SSCLink = NewLink ? NewLink() : std::make_unique<TSSCClass>();
    const bool failed = SSCLink->Init(DeviceDescription());
    const QString reason = LinkInited ? LinkInited(*SSCLink, failed) : QString();
    if (failed)
        ShowMessage(this, kInitErrorText, reason);
    done(QDialog::Accepted);
}
