// The whole program in process: the main window, its dialogs, the port panel with a real pty,
// and the device link against the simulated device, driven as a user would drive them.
#include "app/HeadlessBridge.h"
#include "app/Startup.h"
#include "app/Vrtualssc.h"
#include "device/D2xx.h"
#include "device/DeviceOpen.h"
#include "device/Tsscclass.h"
#include "dialogs/About.h"
#include "dialogs/Message.h"
#include "dialogs/Messages.h"
#include "dialogs/Setup.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "sim/SimLibrary.h"
#include "tests/ProgramTest.h"
#include "tests/PtyClient.h"
#include "tests/SetupDriver.h"
#include "tests/Wait.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using testing::ElementsAre;
using testing::IsEmpty;

namespace
{

const char *const kOpenMessage =
    "You must exit any application connected \n before changing settings";

using PortClient = test::TPtyClient;

class AppTestBase : public test::ProgramTest
{
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        Sim.vsim_SetStream(7, 0);
    }

    // Runs the Setup sequence, answering the dialog with a port name and a device.
    void RunSetup(const QString &Port, const QString &Device)
    {
        test::RunSetup(Port, Device, [this] {
            DeviceTextShown = SetupForm->SSCSel->currentText();
            DialogPosition = SetupForm->pos();
        });
    }
    QString PortPath() const { return VSSC->PortPanel->VSPortAx->PortPath(); }
    QString Status() const { return VSSC->PortPanel->VPortStatus->text(); }
    void Tick() { VSSC->PollingTimerTimer(); }
    bool TickUntil(const std::function<bool()> &Done)
    {
        return test::WaitUntil([&] {
            Tick();
            return Done();
        });
    }

    // Writes Text from the client and ticks until as many bytes have come back; returns them.
    std::string EchoThroughTicks(PortClient &Client, const std::string &Text)
    {
        Client.Write(Text);
        std::string back;
        EXPECT_TRUE(TickUntil([&] {
            back += Client.ReadAvailable();
            return back.size() >= Text.size();
        }));
        return back;
    }

    QPoint DialogPosition;
    QString DeviceTextShown;
};

class AppTest : public AppTestBase
{
};

} // namespace

// What the user sees of the window's frame: a size of its own that maximising cannot change, and
// message boxes that warn, wide enough for their whole title.
TEST_F(AppTest, TheWindowKeepsItsSizeAndItsBoxesWarnUnderAWholeTitle)
{
    // The window manager is told so: no maximise button, and least size equal to most.
    EXPECT_EQ(VSSC->minimumSize(), VSSC->size());
    EXPECT_EQ(VSSC->maximumSize(), VSSC->size());
    EXPECT_FALSE(VSSC->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    SetMessageHandler({});
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    int width = 0;
    QTimer::singleShot(0, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            icon = box->icon();
            title = box->windowTitle();
            width = box->width();
            box->accept();
        }
    });
    ShowMessage(VSSC, kInitErrorText, QStringLiteral("Can not load libftd2xx.so"));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(title, "Velmor Debug");
    EXPECT_GE(width, MessageBoxWidthForTitle(QApplication::font(), title));
}

TEST_F(AppTest, StartsIdleWithItsDesignedWindow)
{
    EXPECT_EQ(VSSC->windowTitle(), "Velmor Debug");
    ASSERT_EQ(VSSC->MainMenu1->actions().size(), 2);
    EXPECT_EQ(VSSC->MainMenu1->actions()[0]->text(), "Setup");
    EXPECT_EQ(VSSC->MainMenu1->actions()[1]->text(), "About");
    EXPECT_EQ(VSSC->VirtualCOMInfo->title(), "Virtual COM info");
    EXPECT_EQ(VSSC->GroupBox1->title(), "SSC Device info");
    EXPECT_EQ(VSSC->ButtonReset->text(), "Reset");
    EXPECT_EQ(VSSC->PollingTimer->interval(), 10);
    EXPECT_FALSE(VSSC->PollingTimer->isActive());
    EXPECT_FALSE(VSSC->DeviceLabel->isVisible());
    EXPECT_FALSE(VSSC->PortPanel->isVisible());
    EXPECT_EQ(SetupForm->SSCLink, nullptr);

    // The Setup dialog's lists: six port names, nothing chosen.
    QStringList ports;
    for (int i = 0; i < SetupForm->VCOMSel->count(); ++i)
        ports << SetupForm->VCOMSel->itemText(i);
    EXPECT_THAT(ports, ElementsAre("COM8", "COM9", "COM10", "COM11", "COM12", "COM13"));
    EXPECT_EQ(SetupForm->VCOMSel->currentText(), "");
    EXPECT_EQ(SetupForm->SSCSel->count(), 0);

    // The first paint shows the (empty) device choice.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(VSSC));
    VSSC->repaint();
    EXPECT_EQ(VSSC->SSCDevice->text(), "");
    EXPECT_EQ(Sim.vsim_OpenCount(), 0) << "no link before Setup or Reset";
}

TEST_F(AppTest, SetupOpensTheDeviceAndCreatesThePort)
{
    RunSetup("COM8", "SSC Simulator");
    EXPECT_THAT(Shown, IsEmpty());
    EXPECT_EQ(DialogPosition, VSSC->pos());
    ASSERT_NE(SetupForm->SSCLink, nullptr);
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
    ASSERT_EQ(SetupForm->SSCSel->count(), 1);
    EXPECT_EQ(SetupForm->SSCSel->itemText(0), "SSC Simulator");
    EXPECT_EQ(DeviceTextShown, "") << "listing offers devices, it does not pick one";
    EXPECT_TRUE(VSSC->DeviceLabel->isVisible());
    EXPECT_TRUE(VSSC->PortPanel->isVisible());
    EXPECT_EQ(VSSC->PortPanel->VPortName->text(), "COM8");
    EXPECT_EQ(Status(), "Idle");
    EXPECT_TRUE(VSSC->PollingTimer->isActive());
    EXPECT_EQ(PortPath(), RuntimeDir.path() + "/velmor-debug/COM8");
    EXPECT_TRUE(QFileInfo(PortPath()).isSymLink());

    // A second Setup neither refreshes nor doubles the device list, and replaces the link.
    bool firstRetired = false;
    QObject::connect(SetupForm->SSCLink.get(), &QObject::destroyed, [&] { firstRetired = true; });
    RunSetup("COM9", "SSC Simulator");
    EXPECT_EQ(SetupForm->SSCSel->count(), 1);
    EXPECT_TRUE(firstRetired);
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
    EXPECT_EQ(VSSC->PortPanel->VPortName->text(), "COM9");
    EXPECT_FALSE(QFileInfo::exists(RuntimeDir.path() + "/velmor-debug/COM8"));
}

TEST_F(AppTest, SetupWithAnUnknownDeviceSaysSoAndStillCloses)
{
    RunSetup("COM8", "No Such Board");
    EXPECT_THAT(Shown, ElementsAre("Error in initing"));
    EXPECT_FALSE(SetupForm->isVisible());
    ASSERT_NE(SetupForm->SSCLink, nullptr);
    EXPECT_EQ(Status(), "Idle");

    // The link cannot transfer: what an application writes is read and dropped, nothing comes
    // back, and no message is shown.
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    client.Write("dropped");
    for (int i = 0; i < 20; ++i)
        Tick();
    EXPECT_EQ(client.ReadAvailable(), "");
    EXPECT_THAT(Shown, ElementsAre("Error in initing"));
}

// A name the port control refuses: the status line says so with the control's reason, never
// "Bridging" while there is no port, and the name stays in Setup's list to be mended.
TEST_F(AppTest, APortNameTheControlRefusesIsSaidInTheStatusLineAndKeptInSetup)
{
    RunSetup("a/b", "SSC Simulator");
    EXPECT_THAT(Shown, IsEmpty()) << "the device opened";
    EXPECT_EQ(Status(), "Error");
    const QString said = kPortNotCreatedText.arg(VSSC->PortPanel->VSPortAx->LastError());
    EXPECT_TRUE(said.contains("'/'")) << said.toStdString();
    EXPECT_EQ(VSSC->LinkStatus->text(), VSSC->LinkStatus->fontMetrics().elidedText(
                                            said, Qt::ElideRight, VSSC->LinkStatus->width()));
    EXPECT_TRUE(VSSC->LinkStatus->toolTip().startsWith(said + "\n"));
    // The link synchronises all the same; the line still tells of the port.
    ASSERT_TRUE(TickUntil([&] {
        EXPECT_FALSE(VSSC->LinkStatus->text().startsWith("Bridging"));
        return VSSC->LinkState().Phase() == TLinkPhase::Bridging;
    }));
    EXPECT_TRUE(VSSC->LinkStatus->text().startsWith("Port not created: "));
    EXPECT_FALSE(VSSC->PortPanel->VSPortAx->PortCreated());

    // The next Setup shows the name as typed; mended, the port is made and the link bridges.
    QString offered;
    test::RunSetup("COM8", "SSC Simulator", [&] { offered = SetupForm->VCOMSel->currentText(); });
    EXPECT_EQ(offered, "a/b");
    EXPECT_EQ(Status(), "Idle");
    ASSERT_TRUE(TickUntil([&] { return VSSC->LinkState().Phase() == TLinkPhase::Bridging; }));
    EXPECT_TRUE(VSSC->LinkStatus->text().startsWith("Bridging"))
        << VSSC->LinkStatus->text().toStdString();
}

// A long port name or description loses its middle where it is shown, the whole in the tooltip;
// Setup's name box is wide enough for the usual names.
TEST_F(AppTest, LongNamesLoseTheirMiddleWhereShownAndAreWholeInTheTooltip)
{
    const QString longName = "bench-" + QString(60, 'x') + "-end";
    const char *const boards[] = {"bench-SSC board with a rather long description-end"};
    Sim.vsim_SetDevices(boards, 1);
    const QString description = boards[0];
    RunSetup(longName, description);
    ASSERT_EQ(Status(), "Idle");
    ASSERT_THAT(Shown, IsEmpty());
    Tick();
    const struct {
        const char *Where;
        QLabel *Label;
        QString Whole;
    } shown[] = {{"port name", VSSC->PortPanel->VPortName, longName},
                 {"device", VSSC->SSCDevice, description}};
    for (const auto &place : shown) {
        SCOPED_TRACE(place.Where);
        const QString text = place.Label->text();
        EXPECT_NE(text, place.Whole);
        // Its start and its end, the middle given up.
        const QStringList parts = text.split(QChar(0x2026));
        ASSERT_EQ(parts.size(), 2) << text.toStdString();
        EXPECT_TRUE(!parts[0].isEmpty() && place.Whole.startsWith(parts[0])) << text.toStdString();
        EXPECT_TRUE(!parts[1].isEmpty() && place.Whole.endsWith(parts[1])) << text.toStdString();
        EXPECT_LE(place.Label->fontMetrics().horizontalAdvance(text), place.Label->width());
        EXPECT_EQ(place.Label->toolTip(), place.Whole);
    }
    EXPECT_EQ(SetupForm->VCOMSel->toolTip(), longName);
    EXPECT_EQ(SetupForm->VCOMSel->view()->textElideMode(), Qt::ElideMiddle);
    EXPECT_GE(SetupForm->VCOMSel->width(), 120);
    EXPECT_LE(SetupForm->VCOMSel->geometry().right(), SetupForm->GroupBoxSelVCOM->width());
    // A short one is shown whole, with no tooltip to repeat it.
    RunSetup("COM8", description);
    EXPECT_EQ(VSSC->PortPanel->VPortName->text(), "COM8");
    EXPECT_EQ(VSSC->PortPanel->VPortName->toolTip(), "");
    SetupForm->SSCSel->setEditText("SSC");
    Tick();
    EXPECT_EQ(VSSC->SSCDevice->text(), "SSC");
    EXPECT_EQ(VSSC->SSCDevice->toolTip(), "");
}

// A description may hold any bytes: a line feed, a right-to-left override, bytes that are not
// UTF-8. Each is shown escaped wherever it appears (Setup's list, the status tooltip, the list of
// devices there when none matched, velmor-bridge --list, its stderr), --list --json parses and
// names the argument to pass, and what is shown opens the device, in Setup and as --device.
TEST_F(AppTest, DescriptionsAreShownEscapedAndWhatIsShownOpensTheDevice)
{
    const struct {
        const char *Name;
        std::string Bytes;
        QString Shown;
        // As --list --json's "description" carries it.
        QString Json;
    } cases[] = {
        {"plain", "SSC Simulator", "SSC Simulator", "SSC Simulator"},
        {"line feed", "new\nline", "new\\nline", "new\nline"},
        {"right-to-left override",
         "\xe2\x80\xae"
         "evil.exe",
         "\\u202eevil.exe", QChar(0x202E) + QString("evil.exe")},
        {"not UTF-8", "caf\xe9", "caf\\xe9", "caf" + QString(QChar(0xE9))},
    };
    const auto keep = [](QStringList &Into) {
        return [&Into](const QString &Line) { Into << Line; };
    };
    int run = 0;
    for (const auto &test : cases) {
        SCOPED_TRACE(test.Name);
        const char *const board[] = {test.Bytes.c_str()};
        Sim.vsim_SetDevices(board, 1);

        // velmor-bridge --list, and --list --json.
        for (const bool json : {false, true}) {
            TBridgeOptions options;
            options.Mode = TBridgeOptions::TMode::List;
            options.Json = json;
            QStringList out, said;
            EXPECT_EQ(THeadlessBridge(options, keep(out), keep(said)).List(), bridge::kExitStopped);
            const QString printed = out.join('\n');
            EXPECT_FALSE(printed.contains(QChar(0x202E)) || printed.contains(QChar(0xFFFD)));
            if (!json) {
                ASSERT_EQ(out.size(), 1);
                EXPECT_TRUE(out[0].startsWith(test.Shown + "  ")) << printed.toStdString();
                continue;
            }
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(printed.toUtf8(), &error);
            ASSERT_EQ(error.error, QJsonParseError::NoError) << printed.toStdString();
            const QJsonObject device = document.array().at(0).toObject();
            EXPECT_EQ(device["description"].toString(), test.Json);
            EXPECT_EQ(device["device_argument"].toString(), test.Shown);
        }

        // velmor-bridge --device with what --list printed opens it, and so do the bytes
        // themselves where they can be an argument; a description that names none lists it
        // escaped.
        QStringList given{test.Shown, "No Such Board"};
        if (QString::fromUtf8(test.Bytes).toStdString() == test.Bytes)
            given << QString::fromUtf8(test.Bytes);
        for (const QString &device : given) {
            SCOPED_TRACE(device.toStdString());
            TBridgeOptions options;
            options.Device = device;
            options.Port = QStringLiteral("described-%1").arg(run++);
            QStringList out, said;
            THeadlessBridge bridge(options, keep(out), keep(said));
            const bool known = device != "No Such Board";
            EXPECT_EQ(bridge.Start(), known ? bridge::kExitStopped : bridge::kExitNoDevice);
            EXPECT_EQ(Sim.vsim_OpenCount(), known ? 1 : 0);
            const QString lines = said.join('\n');
            EXPECT_TRUE(lines.contains(known ? "device '" + test.Shown + "' opened"
                                             : "there are: " + test.Shown))
                << lines.toStdString();
            EXPECT_FALSE(lines.contains(QChar(0x202E)) || lines.contains(QChar(0xFFFD)));
            bridge.Stop();
            EXPECT_EQ(Sim.vsim_OpenCount(), 0);
        }

        // Setup lists it as shown and opens it; the status tooltip names it so too.
        QStringList listed;
        test::AnswerSetup([&] {
            for (int i = 0; i < SetupForm->SSCSel->count(); ++i)
                listed << SetupForm->SSCSel->itemText(i);
            SetupForm->VCOMSel->setEditText("COM8");
            SetupForm->SSCSel->setCurrentIndex(0);
            SetupForm->OKButton->click();
        });
        EXPECT_THAT(listed, ElementsAre(test.Shown));
        EXPECT_THAT(Shown, IsEmpty());
        EXPECT_EQ(SetupForm->DeviceDescription(), test.Bytes);
        EXPECT_EQ(Sim.vsim_OpenCount(), 1);
        Tick();
        EXPECT_EQ(VSSC->SSCDevice->text(), test.Shown);
        EXPECT_TRUE(VSSC->LinkStatus->toolTip().contains("Device: " + test.Shown + "\n"))
            << VSSC->LinkStatus->toolTip().toStdString();

        // Typed, the shown text opens it too; a description that names none lists it escaped.
        RunSetup("COM8", test.Shown);
        EXPECT_THAT(Shown, IsEmpty());
        EXPECT_EQ(Sim.vsim_OpenCount(), 1);
        RunSetup("COM8", "No Such Board");
        EXPECT_THAT(Reasons,
                    ElementsAre("No device described 'No Such Board'; there are:\n" + test.Shown));
        Shown.clear();
        Reasons.clear();
    }
}

TEST_F(AppTest, SetupIsRefusedWhileAnApplicationHoldsThePort)
{
    RunSetup("COM8", "SSC Simulator");
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    ASSERT_TRUE(TickUntil([&] { return Status() == "Opened"; }));

    const TSSCClass *link = SetupForm->SSCLink.get();
    VSSC->Setup1Click();
    EXPECT_THAT(Shown, ElementsAre(kOpenMessage));
    EXPECT_EQ(SetupForm->SSCLink.get(), link);
    EXPECT_TRUE(VSSC->PollingTimer->isActive());
    EXPECT_FALSE(SetupForm->isVisible());

    client.Close();
    ASSERT_TRUE(TickUntil([&] { return Status() == "Idle"; }));
}

TEST_F(AppTest, SetupOkIsRefusedWhileAnApplicationOpenedThePortMeanwhile)
{
    // OK would recreate the port under an application that opened it while the dialog was up.
    RunSetup("COM8", "SSC Simulator");
    const QString path = PortPath();
    std::unique_ptr<PortClient> client;
    bool stayedUp = false;
    bool clientKeptItsPort = false;
    test::AnswerSetup([&] {
        client = std::make_unique<PortClient>(path);
        SetupForm->OKButton->click();
        stayedUp = SetupForm->isVisible();
        clientKeptItsPort = client->IsOpen() && ::write(client->Handle(), "x", 1) == 1;
        client->Close();
        SetupForm->OKButton->click();
    });
    EXPECT_TRUE(stayedUp);
    EXPECT_TRUE(clientKeptItsPort);
    EXPECT_THAT(Shown, ElementsAre(kOpenMessage));
    EXPECT_EQ(PortPath(), path);
}

TEST_F(AppTest, TypedNamesAreUsedAsTyped)
{
    // Nothing completes a typed name from the lists' items, as the user types into the shown
    // dialog.
    SetupForm->show();
    QApplication::setActiveWindow(SetupForm);
    SetupForm->VCOMSel->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(SetupForm));
    QTest::keyClicks(SetupForm->VCOMSel->lineEdit(), "COM1");
    EXPECT_EQ(SetupForm->VCOMSel->currentText(), "COM1");
    SetupForm->VCOMSel->lineEdit()->clear();
    QTest::keyClicks(SetupForm->VCOMSel->lineEdit(), "com");
    QTest::keyClick(SetupForm->VCOMSel->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(SetupForm->VCOMSel->currentText(), "com");
    SetupForm->hide();

    // A device description is shown as the text it is, never as markup.
    SetupForm->SSCSel->setEditText("<b>SSC</b> &amp;");
    Tick();
    EXPECT_EQ(VSSC->SSCDevice->text(), "<b>SSC</b> &amp;");
    EXPECT_EQ(VSSC->SSCDevice->textFormat(), Qt::PlainText);
}

TEST_F(AppTest, ResetBeforeAnySetup)
{
    VSSC->ButtonResetClick();
    // No device chosen yet: the empty description opens nothing.
    EXPECT_THAT(Shown, ElementsAre("Error in initing"));
    EXPECT_THAT(Reasons, ElementsAre("No device chosen"));
    EXPECT_NE(SetupForm->SSCLink, nullptr);
    EXPECT_FALSE(VSSC->PollingTimer->isActive());

    // Setup lists the devices present, whatever came before it.
    RunSetup("COM8", "SSC Simulator");
    EXPECT_EQ(SetupForm->SSCSel->count(), 1);
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
}

TEST_F(AppTest, EachSetupListsTheDevicesPresentNow)
{
    RunSetup("COM8", "SSC Simulator");
    const char *const attached[] = {"SSC Simulator", "Board plugged in later"};
    Sim.vsim_SetDevices(attached, 2);
    QStringList listed;
    test::RunSetup("COM8", "SSC Simulator", [&] {
        for (int i = 0; i < SetupForm->SSCSel->count(); ++i)
            listed << SetupForm->SSCSel->itemText(i);
        EXPECT_EQ(SetupForm->SSCSel->currentText(), "SSC Simulator") << "the choice stays";
    });
    EXPECT_THAT(listed, ElementsAre("SSC Simulator", "Board plugged in later"));
}

TEST_F(AppTest, ResetReplacesTheLinkAndKeepsThePort)
{
    RunSetup("COM8", "SSC Simulator");
    ASSERT_TRUE(TickUntil([&] { return SetupForm->SSCLink->Synched.load(); }));
    const QString path = PortPath();
    bool retired = false;
    QObject::connect(SetupForm->SSCLink.get(), &QObject::destroyed, [&] { retired = true; });

    VSSC->ButtonResetClick();
    EXPECT_THAT(Shown, IsEmpty());
    EXPECT_TRUE(retired);
    EXPECT_FALSE(SetupForm->SSCLink->Synched);
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
    EXPECT_EQ(PortPath(), path);
    // The bridge synchronises the new link by itself.
    EXPECT_TRUE(TickUntil([&] { return SetupForm->SSCLink->Synched.load(); }));
}

TEST_F(AppTest, AboutIsOneWindowMovedToTheMainWindow)
{
    VSSC->move(100, 120);
    VSSC->About1Click();
    TAboutForm *about = AboutForm;
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->pos(), VSSC->pos());
    about->move(400, 400);
    VSSC->About1Click();
    EXPECT_EQ(AboutForm, about);
    EXPECT_EQ(about->pos(), VSSC->pos());
    int abouts = 0;
    for (QWidget *window : QApplication::topLevelWidgets())
        abouts += qobject_cast<TAboutForm *>(window) != nullptr;
    EXPECT_EQ(abouts, 1);
    EXPECT_EQ(about->StaticText1->text(), "Velmor Debug");
    EXPECT_EQ(about->StaticText2->text(), "Ver. 1.0");
    ASSERT_FALSE(about->Image1->pixmap().isNull());
    EXPECT_EQ(about->Image1->pixmap().size(), QSize(158, 50));

    // Closing hides it, and so does Escape; the next About shows the same window.
    about->close();
    EXPECT_FALSE(about->isVisible());
    VSSC->About1Click();
    EXPECT_TRUE(about->isVisible());
    QTest::keyClick(about, Qt::Key_Escape);
    EXPECT_FALSE(about->isVisible());
    VSSC->About1Click();
    EXPECT_TRUE(about->isVisible());
}

// Setup is left without OK by Escape, the title bar's close and Cancel alike: the names typed
// meanwhile are forgotten and the link is put back as it was. That holds too when an application
// opened the port while the dialog was up, so that OK is refused: the dialog no longer traps the
// user with the bridge down, and the application's bytes come back echoed.
TEST_F(AppTest, SetupLeftWithoutOkPutsTheLinkBackEvenWithAClientOnThePort)
{
    RunSetup("COM8", "SSC Simulator");
    const QString path = PortPath();
    const std::vector<std::pair<const char *, std::function<void()>>> exits = {
        {"Escape", [] { QTest::keyClick(SetupForm, Qt::Key_Escape); }},
        {"close", [] { SetupForm->close(); }},
        {"Cancel", [] { SetupForm->CancelButton->click(); }},
    };
    std::unique_ptr<PortClient> client;
    for (const auto &[name, leave] : exits) {
        SCOPED_TRACE(name);
        Shown.clear();
        const bool first = !client;
        QString statusWhileUp;
        bool left = false;
        test::AnswerSetup([&] {
            if (!client) {
                client = std::make_unique<PortClient>(path);
                SetupForm->OKButton->click();
            }
            statusWhileUp = VSSC->LinkStatus->text();
            SetupForm->VCOMSel->setEditText("COM9");
            SetupForm->SSCSel->setEditText("Another device");
            leave();
            // A dialog that ignored the way out would hold the test for ever: end it here.
            left = !SetupForm->isVisible();
            if (!left)
                SetupForm->done(QDialog::Rejected);
        });
        EXPECT_TRUE(left);
        if (first)
            EXPECT_THAT(Shown, ElementsAre(kOpenMessage)) << "OK is refused, as before";
        else
            EXPECT_THAT(Shown, IsEmpty());
        EXPECT_EQ(statusWhileUp, kSetupOpenText);
        EXPECT_EQ(SetupForm->VCOMSel->currentText(), "COM8");
        EXPECT_EQ(SetupForm->SSCSel->currentText(), "SSC Simulator");
        EXPECT_EQ(PortPath(), path);
        EXPECT_TRUE(VSSC->PollingTimer->isActive());
        ASSERT_NE(SetupForm->SSCLink, nullptr);
    }
    ASSERT_TRUE(client->IsOpen());
    client->Write("hello");
    std::string echoed;
    EXPECT_TRUE(TickUntil([&] {
        echoed += client->ReadAvailable();
        return echoed.size() >= 5;
    }));
    EXPECT_EQ(echoed, "hello");
}

TEST_F(AppTest, ClosingRetiresTheLinkAndRemovesThePort)
{
    RunSetup("COM8", "SSC Simulator");
    const QString path = PortPath();
    ASSERT_TRUE(QFileInfo(path).isSymLink());
    VSSC->close();
    EXPECT_EQ(SetupForm->SSCLink, nullptr);
    EXPECT_EQ(Sim.vsim_OpenCount(), 0);
    DestroyForms();
    EXPECT_FALSE(QFileInfo(path).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST_F(AppTest, TicksInTheirThreeRegimes)
{
    // Idle: no link, only the device caption.
    SetupForm->SSCSel->setEditText("Chosen");
    Tick();
    EXPECT_EQ(VSSC->SSCDevice->text(), "Chosen");
    EXPECT_FALSE(VSSC->PortPanel->isVisible());

    // Synchronising: a tick runs the handshake.
    RunSetup("COM8", "SSC Simulator");
    EXPECT_FALSE(SetupForm->SSCLink->Synched);
    Tick();
    EXPECT_TRUE(SetupForm->SSCLink->Synched);
    EXPECT_TRUE(VSSC->PollingTimer->isActive());

    // Bridging: both directions.
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(EchoThroughTicks(client, "ping"), "ping");
}

TEST_F(AppTest, FailingHandshakeIsRetriedEveryTick)
{
    Sim.vsim_SetNoPattern(1);
    RunSetup("COM8", "SSC Simulator");
    // One whole handshake a tick, each failing.
    const int before = VSSC->LinkState().Attempts();
    for (int tick = 0; tick < 3; ++tick)
        Tick();
    EXPECT_EQ(VSSC->LinkState().Attempts(), before + 3);
    EXPECT_FALSE(SetupForm->SSCLink->Synched);
    EXPECT_TRUE(VSSC->PollingTimer->isActive());
    EXPECT_THAT(Shown, IsEmpty());
    Sim.vsim_SetNoPattern(0);
    VSSC->ButtonResetClick(); // a new link, and the device starts over
    EXPECT_TRUE(TickUntil([&] { return SetupForm->SSCLink->Synched.load(); }));
}

TEST_F(AppTest, PortBytesWaitForRoomInTheLinkAndClosingTheWindowSaysWhatItDrops)
{
    RunSetup("COM8", "SSC Simulator");
    Sim.vsim_SetBehaviour(VSIM_SILENT);
    ASSERT_TRUE(TickUntil([&] { return SetupForm->SSCLink->Synched.load(); }));

    // Far more than the link's ring takes at once (109 host bytes): the rest waits in the port.
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    std::string sent;
    for (int i = 0; i < 3000; ++i)
        sent += char(i * 13 + i / 256);
    client.Write(sent);

    std::string arrived;
    ASSERT_TRUE(TickUntil([&] {
        std::vector<unsigned char> bytes(4096);
        const int n = Sim.vsim_TakeHostBytes(bytes.data(), 4096);
        arrived.append(reinterpret_cast<char *>(bytes.data()), std::size_t(n));
        return arrived.size() >= sent.size();
    }));
    EXPECT_EQ(arrived, sent);

    // Closing the window drops what has not reached the device yet, and says how much.
    client.Write(sent);
    Tick();
    int said[2];
    ASSERT_EQ(::pipe2(said, O_NONBLOCK | O_CLOEXEC), 0);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(said[1], STDERR_FILENO);
    VSSC->close();
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedErr);
    ::close(said[1]);
    char text[4096];
    const ssize_t got = ::read(said[0], text, sizeof(text));
    ::close(said[0]);
    std::vector<unsigned char> rest(4096);
    const int reached = Sim.vsim_TakeHostBytes(rest.data(), 4096);
    const std::string expected =
        "velmor-debug: " + std::to_string(sent.size() - std::size_t(reached)) +
        " bytes programs wrote had not reached the device and were dropped\n";
    EXPECT_NE(std::string(text, std::size_t(std::max<ssize_t>(got, 0))).find(expected),
              std::string::npos)
        << std::string(text, std::size_t(std::max<ssize_t>(got, 0)));
}

TEST_F(AppTest, ResetLosesNoHostByte)
{
    // Resets while an application sends: the bytes the old link held and never began to send
    // go to the new link first, so the device gets every byte once, in order.
    Sim.vsim_SetRealTime(1);
    RunSetup("COM8", "SSC Simulator");
    Sim.vsim_SetBehaviour(VSIM_SILENT);
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    std::string sent;
    for (int i = 0; i < 400; ++i)
        sent += char(i * 7 + i / 256);
    client.Write(sent);

    std::string arrived;
    auto collect = [&] {
        std::vector<unsigned char> bytes(4096);
        const int n = Sim.vsim_TakeHostBytes(bytes.data(), 4096);
        arrived.append(reinterpret_cast<char *>(bytes.data()), std::size_t(n));
    };
    for (int reset = 0; reset < 3; ++reset) {
        const std::size_t before = arrived.size();
        ASSERT_TRUE(TickUntil([&] {
            collect();
            return arrived.size() > before + 10;
        }));
        VSSC->ButtonResetClick();
        ASSERT_THAT(Shown, IsEmpty());
    }
    ASSERT_TRUE(TickUntil([&] {
        collect();
        return arrived.size() >= sent.size();
    })) << arrived.size()
        << " of " << sent.size();
    EXPECT_EQ(arrived.size(), sent.size());
    EXPECT_EQ(arrived, sent);
}

TEST_F(AppTest, DeviceBytesWaitForTheApplicationInsteadOfBeingDropped)
{
    RunSetup("COM8", "SSC Simulator");
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    ASSERT_TRUE(TickUntil([&] { return SetupForm->SSCLink->Synched.load(); }));

    // Far more than the pty and the port's own queue hold, while the application reads nothing.
    std::vector<unsigned char> burst(200000);
    for (std::size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<unsigned char>(i * 7 + i / 256);
    Sim.vsim_SetBehaviour(VSIM_SEND);
    Sim.vsim_QueueDeviceBytes(burst.data(), int(burst.size()));
    for (int i = 0; i < 200; ++i)
        Tick();

    std::string got;
    ASSERT_TRUE(TickUntil([&] {
        got += client.ReadAvailable();
        return got.size() >= burst.size();
    }));
    ASSERT_EQ(got.size(), burst.size());
    EXPECT_TRUE(std::equal(burst.begin(), burst.end(), got.begin(), [](unsigned char a, char b) {
        return a == static_cast<unsigned char>(b);
    }));
}

TEST_F(AppTest, EchoEndToEndInRealTime)
{
    Sim.vsim_SetRealTime(1);
    Sim.vsim_SetStream(-1, 0);
    RunSetup("COM8", "SSC Simulator");
    ASSERT_EQ(Status(), "Idle");
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    client.Write("hello\r\n");
    std::string back;
    ASSERT_TRUE(test::WaitUntil([&] {
        back += client.ReadAvailable();
        return back.size() >= 7;
    }));
    EXPECT_EQ(back, "hello\r\n");
    EXPECT_EQ(Status(), "Opened");
}

// ---------------------------------------------------------------------------------------------
// Start-up and the end of the program, through the same steps main() takes

namespace
{

// Runs the program's event loop with Action scheduled in it; false if the loop did not end by
// itself within the patience.
bool RunsToItsEnd(const std::function<void()> &Action)
{
    QTimer::singleShot(0, Action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(test::kPatience);
    const int status = RunMainWindow();
    return status == 0 && VSSC == nullptr && AboutForm == nullptr;
}

} // namespace

TEST(Startup, ClosingTheMainWindowEndsTheProgramWithAboutOpen)
{
    EXPECT_TRUE(RunsToItsEnd([] {
        VSSC->About1Click();
        VSSC->close();
    }));
}

TEST(Startup, EndingSignalsEndTheProgramWithAboutOpen)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        EXPECT_TRUE(RunsToItsEnd([signal] {
            VSSC->About1Click();
            ::raise(signal);
        })) << "signal "
            << signal;
}

TEST(Startup, CaptionsAreTheWindowsOwn)
{
    // A display name would be appended to every caption by the toolkit ("Setup — Velmor Debug").
    ConfigureApplication();
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
}

// The program run without a display: --help and --version answer on stdout, anything else is
// refused in one line with status 2, and no argument gets the one line that says the display
// is missing. A program that ignored its arguments would say that instead, not hang.
TEST(Startup, CommandLineAndMissingDisplayAreAnsweredInPlainLines)
{
    struct Case {
        QStringList arguments;
        int status;
        const char *out; // what stdout holds, or nullptr for nothing
        const char *err; // what the one line on stderr contains, or nullptr for nothing
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: velmor-debug [-h | -V]\n", nullptr},
        {{"-h"}, 0, "Usage: velmor-debug [-h | -V]\n", nullptr},
        {{"--version"}, 0, "velmor-debug " VELMOR_VERSION "\n", nullptr},
        {{"-V"}, 0, "velmor-debug " VELMOR_VERSION "\n", nullptr},
        {{"--frobnicate"}, 2, nullptr, "unknown argument '--frobnicate'"},
        {{"-x"}, 2, nullptr, "unknown option '-x'"},
        {{"--version", "now"}, 0, "velmor-debug " VELMOR_VERSION "\n", nullptr},
        {{"now"}, 2, nullptr, "unknown argument 'now'"},
        {{}, 1, nullptr, "no display"},
    };
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(name);
    for (const Case &each : cases) {
        SCOPED_TRACE(each.arguments.join(' ').toStdString());
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(VELMOR_PROGRAM, each.arguments);
        ASSERT_TRUE(program.waitForFinished(int(test::kPatience.count())));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), each.status);
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        if (each.out == nullptr)
            EXPECT_TRUE(out.isEmpty()) << out.toStdString();
        else
            EXPECT_TRUE(out.startsWith(QString::fromUtf8(each.out))) << out.toStdString();
        if (each.err == nullptr) {
            EXPECT_TRUE(err.isEmpty()) << err.toStdString();
        } else {
            EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
            EXPECT_TRUE(err.contains(QString::fromUtf8(each.err))) << err.toStdString();
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The link's state, traffic and messages, as the status line shows them

namespace
{
class LinkStateTest : public AppTestBase
{
protected:
    TLinkPhase Phase() const { return VSSC->LinkState().Phase(); }
    QString StatusLine() const { return VSSC->LinkStatus->text(); }
};
} // namespace

TEST_F(LinkStateTest, AMissingDriverLibraryIsNamed)
{
    d2xx::SetLibraryFile("/nonexistent/libftd2xx.so");
    SetupForm->SSCSel->setEditText("SSC Simulator");
    VSSC->ButtonResetClick();
    EXPECT_THAT(Shown, ElementsAre("Error in initing"));
    // The loader's own reason follows the file's name.
    EXPECT_THAT(Reasons, ElementsAre("Can not load /nonexistent/libftd2xx.so: "
                                     "/nonexistent/libftd2xx.so: cannot open shared object file: "
                                     "No such file or directory"));
    EXPECT_EQ(Phase(), TLinkPhase::DriverMissing);
    EXPECT_TRUE(StatusLine().startsWith("Driver library missing"));
    EXPECT_TRUE(VSSC->LinkStatus->toolTip().contains("/nonexistent/libftd2xx.so"));
}

TEST_F(LinkStateTest, AnUnknownDescriptionListsTheDevicesThere)
{
    RunSetup("COM8", "SSC Simulatr");
    EXPECT_THAT(Shown, ElementsAre("Error in initing"));
    EXPECT_THAT(Reasons,
                ElementsAre("No device described 'SSC Simulatr'; there are:\nSSC Simulator"));
    EXPECT_EQ(Phase(), TLinkPhase::UnknownDevice);
    EXPECT_TRUE(StatusLine().startsWith("No such device"));
}

TEST_F(LinkStateTest, TwoBoardsOfOneDescriptionAreNamedBySerialNumberInTheTooltip)
{
    const char *const twins[] = {"SSC Simulator", "Other", "SSC Simulator"};
    Sim.vsim_SetDevices(twins, 3);
    RunSetup("COM8", "SSC Simulator");
    EXPECT_THAT(Shown, IsEmpty());
    // Setup's list stays descriptions.
    EXPECT_EQ(SetupForm->SSCSel->count(), 3);
    EXPECT_EQ(SetupForm->SSCSel->itemText(2), "SSC Simulator");
    const QString tip = VSSC->LinkStatus->toolTip();
    EXPECT_TRUE(tip.contains("2 devices are described 'SSC Simulator' (serial numbers SIM000, "
                             "SIM002); this link uses serial number SIM000."))
        << tip.toStdString();
    EXPECT_TRUE(tip.contains("velmor-bridge --serial SERIAL")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("Driver library: " + QString::fromStdString(SimLibrary::Path())));

    // The first in use elsewhere: the description finds none, and the way to the other is told.
    // (Taken while Setup is up, when the window's link has let it go.)
    d2xx::FT_HANDLE elsewhere = nullptr;
    test::RunSetup("COM8", "SSC Simulator", [&] {
        Sim.FT_OpenEx(const_cast<char *>("SIM000"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &elsewhere);
    });
    ASSERT_NE(elsewhere, nullptr);
    EXPECT_THAT(Shown, ElementsAre("Error in initing"));
    EXPECT_TRUE(VSSC->LinkStatus->toolTip().contains(
        "(serial numbers SIM000, SIM002); this link could not open the first listed. To choose "
        "one by its serial number: velmor-bridge --serial SERIAL"))
        << VSSC->LinkStatus->toolTip().toStdString();
    Sim.FT_Close(elsewhere);

    // One board of the description: nothing to tell apart.
    Sim.vsim_SetDevices(twins, 2);
    VSSC->ButtonResetClick();
    EXPECT_FALSE(VSSC->LinkStatus->toolTip().contains("serial"))
        << VSSC->LinkStatus->toolTip().toStdString();
}

TEST_F(LinkStateTest, FromSynchronisingToBridgingToLostAndBackAfterReset)
{
    // A device that never shows the pattern: synchronising, the attempts counted.
    Sim.vsim_SetNoPattern(1);
    RunSetup("COM8", "SSC Simulator");
    EXPECT_EQ(Phase(), TLinkPhase::Synchronising);
    ASSERT_TRUE(TickUntil([&] { return VSSC->LinkState().Attempts() >= 3; }));
    EXPECT_EQ(Phase(), TLinkPhase::Synchronising);
    EXPECT_TRUE(StatusLine().startsWith("Synchronising"));

    // The pattern shows: bridging.
    Sim.vsim_SetNoPattern(0);
    VSSC->ButtonResetClick();
    ASSERT_TRUE(TickUntil([&] { return Phase() == TLinkPhase::Bridging; }));
    EXPECT_TRUE(StatusLine().startsWith("Bridging"));

    // Unplugged in the middle of a transfer: device lost, and reopened by itself once back.
    // What the application writes meanwhile waits, and is not counted as taken by the device.
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(EchoThroughTicks(client, std::string(50, 'x')), std::string(50, 'x'));
    EXPECT_EQ(VSSC->LinkState().Traffic().ToDevice, 50u);
    Sim.vsim_SetUnplugged(1);
    ASSERT_TRUE(TickUntil([&] { return Phase() == TLinkPhase::DeviceLost; }));
    ASSERT_TRUE(TickUntil([&] { return StatusLine().startsWith("Device lost, retrying in "); }))
        << StatusLine().toStdString();
    client.Write("during");
    ASSERT_TRUE(TickUntil([&] { return StatusLine().contains("retrying in 1 s"); }))
        << StatusLine().toStdString();
    EXPECT_EQ(VSSC->LinkState().Traffic().ToDevice, 50u);
    Sim.vsim_SetUnplugged(0);
    std::string back;
    ASSERT_TRUE(TickUntil([&] {
        back += client.ReadAvailable();
        return back.size() >= 6;
    })) << StatusLine().toStdString();
    EXPECT_EQ(back, "during");
    EXPECT_EQ(Phase(), TLinkPhase::Bridging);
    EXPECT_EQ(VSSC->LinkState().Traffic().ToDevice, 56u);

    // Lost again, and back: Reset tries at once, without waiting for the next attempt.
    Sim.vsim_SetUnplugged(1);
    ASSERT_TRUE(TickUntil([&] { return StatusLine().startsWith("Device lost, retrying in "); }));
    Sim.vsim_SetUnplugged(0);
    VSSC->ButtonResetClick();
    EXPECT_THAT(Shown, IsEmpty());
    EXPECT_EQ(Phase(), TLinkPhase::Synchronising);
    ASSERT_TRUE(TickUntil([&] { return Phase() == TLinkPhase::Bridging; }));
    EXPECT_EQ(EchoThroughTicks(client, "after"), "after");
    client.Close();

    // Lost once more, and Setup chooses the device while it waits: the new link is the one that
    // serves, and the wait is over.
    Sim.vsim_SetUnplugged(1);
    ASSERT_TRUE(TickUntil([&] { return StatusLine().startsWith("Device lost, retrying in "); }));
    Sim.vsim_SetUnplugged(0);
    RunSetup("COM8", "SSC Simulator");
    ASSERT_TRUE(TickUntil([&] { return Phase() == TLinkPhase::Bridging; }))
        << StatusLine().toStdString();
    EXPECT_TRUE(StatusLine().startsWith("Bridging"));
}

TEST_F(LinkStateTest, TrafficIsCountedExactly)
{
    RunSetup("COM8", "SSC Simulator");
    PortClient client(PortPath());
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(EchoThroughTicks(client, "hello\r\n"), "hello\r\n");
    EXPECT_EQ(VSSC->LinkState().Traffic().ToDevice, 7u);
    EXPECT_EQ(VSSC->LinkState().Traffic().FromDevice, 7u);
    // The status line counts them; its tooltip adds the rates, within a rate window.
    EXPECT_TRUE(TickUntil([&] { return StatusLine().endsWith("\u21917 B  \u21937 B"); }))
        << StatusLine().toStdString();
    EXPECT_TRUE(TickUntil([&] {
        const QString tip = VSSC->LinkStatus->toolTip();
        return tip.contains("To the device: 7 bytes (") &&
               tip.contains("from the device: 7 bytes (");
    }));
}

TEST_F(LinkStateTest, TheLinksMessagesAreKeptAndLogged)
{
    QStringList logged;
    static QStringList *sink = nullptr;
    sink = &logged;
    QLoggingCategory::setFilterRules("velmor.link=true");
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &context, const QString &text) {
            if (sink && QString(context.category) == "velmor.link")
                sink->append(text);
        });
    RunSetup("COM8", "SSC Simulator");
    ASSERT_TRUE(TickUntil([&] { return Phase() == TLinkPhase::Bridging; }));
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules("");
    sink = nullptr;

    EXPECT_TRUE(logged.contains("Inited")) << logged.join('|').toStdString();
    EXPECT_TRUE(logged.contains("SYNCH ---> A5"));

    // The window shows states and errors; the handshake's steps, and the listing of the devices
    // when Setup opened, only with Details.
    VSSC->MessagesButton->click();
    TMessagesForm &form = *VSSC->MessagesForm;
    ASSERT_TRUE(form.isVisible());
    const QString plain = form.MessageList->toPlainText();
    EXPECT_TRUE(plain.contains("Inited")) << plain.toStdString();
    EXPECT_TRUE(plain.contains("bridging")) << plain.toStdString();
    EXPECT_FALSE(plain.contains("SYNCH ---> ")) << plain.toStdString();
    EXPECT_FALSE(plain.contains("Error in FT_OpenEx")) << plain.toStdString();
    EXPECT_EQ(VSSC->LinkState().LastError(), "");
    form.DetailsCheck->setChecked(true);
    const QString detailed = form.MessageList->toPlainText();
    EXPECT_TRUE(detailed.contains("SYNCH ---> A5"));
    // The listing's open without a description is a note, and the handshake's count has its name.
    EXPECT_TRUE(detailed.contains(QString(ssc::kListingNote) + "\n")) << detailed.toStdString();
    EXPECT_FALSE(detailed.contains("Error in FT_OpenEx DeviceDescr:\n"));
    EXPECT_TRUE(detailed.contains(QRegularExpression("attempts left: \\d+\n")))
        << detailed.toStdString();

    // Copy and Save take what is shown; Clear empties the window.
    form.CopyButton->click();
    EXPECT_EQ(QApplication::clipboard()->text(), detailed);
    QTemporaryDir dir;
    const QString file = dir.filePath("messages.txt");
    EXPECT_EQ(form.SaveTo(file), QString());
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    // Saved with the full date and time where the window shows the time of day.
    static const QRegularExpression dated(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT(\\d\\d:\\d\\d:\\d\\d\\.\\d{3})[+-]\\d\\d:\\d\\d  "),
        QRegularExpression::MultilineOption);
    EXPECT_EQ(QString::fromUtf8(saved.readAll()).replace(dated, QStringLiteral("\\1  ")), detailed);
    EXPECT_NE(form.SaveTo(dir.filePath("no/such/folder/messages.txt")), QString());
    form.ClearButton->click();
    EXPECT_EQ(form.MessageList->toPlainText(), QString());
}
