#include "app/Startup.h"

#include "app/Vrtualssc.h"
#include "dialogs/Setup.h"

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitAppResources()
{
    Q_INIT_RESOURCE(Vrtualssc);
}

namespace
{

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

int SignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
    errno = saved;
}

// Ctrl+C in the terminal, a logout or a plain kill close the main window as the user would, so the
// device is closed and the port's link removed rather than left behind. The signal only writes a
// byte; the event loop does the rest.
void CloseOnSignals()
{
    if (SignalPipe[0] < 0 && pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte;
        while (read(SignalPipe[0], &byte, 1) > 0) {
        }
        if (SetupForm && SetupForm->isVisible())
            SetupForm->done(QDialog::Rejected);
        if (VSSC && VSSC->isVisible())
            VSSC->close();
        // Whatever else is open (a message box, the About window), the program ends.
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kEndingSignals)
        sigaction(signal, &action, nullptr);
}

} // namespace

void ConfigureApplication()
{
    // The icon lives in a static library's resources, which must be registered by hand.
    InitAppResources();
    QApplication::setApplicationName("velmor-debug");
    QApplication::setDesktopFileName("velmor-debug");
    QApplication::setWindowIcon(QIcon(":/app/velmor-debug.png"));
    // Log lines (the link's messages, with QT_LOGGING_RULES="velmor.link=true") carry the time.
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN"))
        qSetMessagePattern("%{time yyyy-MM-dd hh:mm:ss.zzz} %{category}: %{message}");
}

const char *MissingDisplay()
{
    // A platform named outright (offscreen, wayland, xcb, ...) is the user's choice: the toolkit
    // says itself if it cannot start it.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return nullptr;
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return nullptr;
    return "velmor-debug: no display: set DISPLAY or start it from a desktop session";
}

int RunMainWindow()
{
    CloseOnSignals();
    CreateForms();
    // The main window's close ends the program even while the About window is open.
    QObject::connect(VSSC, &TVSSC::Closed, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    const int status = QApplication::exec();
    DestroyForms();
    return status;
}
