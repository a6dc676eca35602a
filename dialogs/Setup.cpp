#include "dialogs/Setup.h"

#include "device/ShownText.h"
#include "dialogs/Message.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QTextDocument>

TSetupForm *SetupForm = nullptr;

namespace
{
constexpr int kFirstPort = 8;
constexpr int kLastPort = 13;
// The window's outer size is 257 x 218; this is what is left inside its frame and title bar.
constexpr QSize kClientSize{251, 190};
// The port name box reaches the right margin of its group (153 wide, the box at 16).
constexpr int kPortBoxWidth = 153 - 2 * 16;
// Where a device's bytes are kept on its item of SSCSel.
constexpr int kDescriptionRole = Qt::UserRole;
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
    // Wider than designed, to the group's right margin: "/dev/ttyVIRT0" or "COM10-bench" show
    // whole; a longer name is in the tooltip, and the list's items lose their middle.
    VCOMSel->setGeometry(16, 32, kPortBoxWidth, 21);
    VCOMSel->view()->setTextElideMode(Qt::ElideMiddle);
    // A typed name is used as typed: no completion from the items ("COM1" must not become
    // "COM10").
    VCOMSel->setCompleter(nullptr);
    SSCSel = new QComboBox(GroupBox2);
    SSCSel->setObjectName("SSCSel");
    SSCSel->setEditable(true);
    SSCSel->setInsertPolicy(QComboBox::NoInsert);
    SSCSel->setGeometry(16, 32, 169, 21);
    SSCSel->setCompleter(nullptr);
    SSCSel->view()->setTextElideMode(Qt::ElideMiddle);

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

    for (QComboBox *list : {VCOMSel, SSCSel})
        connect(list, &QComboBox::currentTextChanged, this, [list] { ShowWholeText(list); });
    connect(OKButton, &QPushButton::clicked, this, &TSetupForm::OKButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &TSetupForm::reject);
}

// The main window's close handler has retired the link by now; nothing of our own to do.
TSetupForm::~TSetupForm() = default;

AnsiString TSetupForm::DeviceDescription() const
{
    const QString text = SSCSel->currentText();
    for (int item = 0; item < SSCSel->count(); ++item)
        if (SSCSel->itemText(item) == text)
            return SSCSel->itemData(item, kDescriptionRole).toByteArray().toStdString();
    return text.toStdString();
}

void TSetupForm::OfferDevices(const std::vector<std::string> &Descriptions)
{
    const QString chosen = SSCSel->currentText();
    SSCSel->clear();
    for (const std::string &description : Descriptions)
        SSCSel->addItem(QString::fromStdString(shown::ShownText(description)),
                        QByteArray::fromStdString(description));
    SSCSel->setCurrentIndex(-1);
    SSCSel->setEditText(chosen);
}

void TSetupForm::ShowWholeText(QComboBox *List)
{
    // A tooltip that looks like markup would be drawn as such: a name is shown as it is.
    const QString text = List->currentText();
    const QString tip =
        Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
    if (List->toolTip() != tip)
        List->setToolTip(tip);
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
