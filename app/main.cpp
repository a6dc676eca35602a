// Velmor Debug: makes an SSC device behind an FTDI chip usable from ordinary serial-port software
// through a virtual serial port. Takes no command-line arguments of its own and keeps no settings.
#include "app/Vrtualssc.h"
#include "dialogs/Message.h"
#include "dialogs/Setup.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <exception>

namespace
{

int SignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
}

// Ctrl+C in the terminal, a logout or a plain kill close the main window as the user would, so the
// device is closed and the port's link removed rather than left behind.
void CloseOnSignals()
{
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte;
        while (read(SignalPipe[0], &byte, 1) > 0) {
        }
        if (SetupForm && SetupForm->isVisible())
            SetupForm->done(QDialog::Rejected);
        if (VSSC)
            VSSC->close();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    try {
        QApplication application(argc, argv);
        QApplication::setApplicationName("velmor-debug");
        QApplication::setApplicationDisplayName("Velmor Debug");
        QApplication::setDesktopFileName("velmor-debug");
        QApplication::setWindowIcon(QIcon(":/app/velmor-debug.png"));
        CloseOnSignals();
        CreateForms();
        QApplication::exec();
        DestroyForms();
    } catch (const std::exception &error) {
        ShowMessage(nullptr, QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowMessage(nullptr, QString());
    }
    return 0;
}
