// Takes the README's pictures of the program's windows in the states a user meets, from the real
// windows on a real display (run it under Xvfb), with the simulated device in real time:
//
//   xvfb-run -s "-screen 0 1280x800x24" build/tests/docs_screenshots docs
//
// Not a test: it only writes PNG files into the folder given.
#include "app/Startup.h"
#include "app/Vrtualssc.h"
#include "device/D2xx.h"
#include "device/Tsscclass.h"
#include "dialogs/Message.h"
#include "dialogs/Messages.h"
#include "dialogs/Setup.h"
#include "dialogs/Traffic.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "sim/SimLibrary.h"
#include "tests/PtyClient.h"
#include "tests/SetupDriver.h"
#include "tests/Wait.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QToolButton>

#include <cstdio>

namespace
{

QString Folder;

void Save(QWidget *Window, const char *Name)
{
    QCoreApplication::processEvents();
    Window->grab().save(Folder + "/" + Name);
    std::printf("%s/%s\n", qPrintable(Folder), Name);
}

bool TickUntil(const std::function<bool()> &Done)
{
    return test::WaitUntil([&] {
        VSSC->PollingTimerTimer();
        return Done();
    });
}

} // namespace

int main(int argc, char **argv)
{
    // The port's folder: the user's runtime folder when one is set, else a temporary one.
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QApplication app(argc, argv);
    ConfigureApplication();
    Folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(Folder);

    SimLibrary sim;
    d2xx::SetLibraryFile(SimLibrary::Path());
    sim.vsim_SetRealTime(1);
    CreateForms();
    // Message boxes as the program shows them, grabbed instead of waited on.
    SetMessageHandler([](QWidget *Parent, const QString &Text, const QString &Informative) {
        const std::unique_ptr<QMessageBox> box = NewMessageBox(Parent, Text, Informative);
        box->show();
        Save(box.get(), "error-in-initing.png");
    });

    // No device: a description typed with a slip.
    test::RunSetup("COM8", "SSC Simulatr", [] {});
    VSSC->PollingTimer->stop();
    Save(VSSC, "state-no-device.png");

    // The Setup dialog as the user fills it in.
    test::RunSetup("COM8", "SSC Simulator", [] {
        SetupForm->VCOMSel->setEditText("COM8");
        SetupForm->SSCSel->setCurrentIndex(0);
        Save(SetupForm, "setup.png");
    });
    VSSC->PollingTimer->stop();

    // Bridging, with an application on the port.
    test::TPtyClient client(VSSC->PortPanel->VSPortAx->PortPath());
    TickUntil([] { return VSSC->LinkState().Phase() == TLinkPhase::Bridging; });
    // The Traffic window records what moves from now on.
    VSSC->TrafficButton->click();
    const std::string text = "hello, SSC device\r\n";
    client.Write(text);
    TickUntil([&] {
        client.ReadAvailable();
        return client.Received.size() >= text.size();
    });
    // A second or so of ticks, so that the rates have a window behind them.
    test::WaitUntil([] { return false; }, std::chrono::milliseconds(1200));
    VSSC->PollingTimerTimer();
    Save(VSSC, "main-window.png");
    VSSC->TrafficForm->resize(640, 160);
    VSSC->TrafficForm->Refresh();
    Save(VSSC->TrafficForm, "traffic.png");
    VSSC->TrafficForm->close();

    // The cable pulled.
    sim.vsim_SetUnplugged(1);
    TickUntil([] { return VSSC->LinkStatus->text().startsWith("Device lost, retrying in"); });
    Save(VSSC, "state-device-lost.png");
    sim.vsim_SetUnplugged(0);
    TickUntil([] { return VSSC->LinkState().Phase() == TLinkPhase::Bridging; });

    VSSC->MessagesButton->click();
    VSSC->MessagesForm->Refresh();
    Save(VSSC->MessagesForm, "messages.png");

    client.Close();
    VSSC->MessagesForm->close();

    // A port name the control cannot create, once the program has let the port go.
    TickUntil([] { return VSSC->PortPanel->VPortStatus->text() == "Idle"; });
    test::RunSetup("a/b", "SSC Simulator", [] {});
    TickUntil([] { return VSSC->LinkStatus->text().startsWith("Port not created"); });
    Save(VSSC, "state-port-not-created.png");

    VSSC->close();
    DestroyForms();
    return 0;
}
