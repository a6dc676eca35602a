#include "app/Startup.h"

#include "app/EndingSignals.h"
#include "app/Vrtualssc.h"
#include "dialogs/Setup.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitAppResources()
{
    Q_INIT_RESOURCE(Vrtualssc);
}

namespace
{

// Ctrl+C in the terminal, a logout or a plain kill close the main window as the user would.
void CloseOnSignals()
{
    OnEndingSignals([] {
        if (SetupForm && SetupForm->isVisible())
            SetupForm->done(QDialog::Rejected);
        if (VSSC && VSSC->isVisible())
            VSSC->close();
        // Whatever else is open (a message box, the About window), the program ends.
        QCoreApplication::quit();
    });
}

} // namespace

std::optional<int> AnswerCommandLine(int argc, const char *const *argv)
{
    if (argc <= 1)
        return std::nullopt;
    const char *argument = argv[1];
    if (argc == 2 && std::strcmp(argument, "--help") == 0) {
        std::fputs("Usage: velmor-debug [--help | --version]\n"
                   "Makes an SSC device behind an FTDI chip usable from serial-port software\n"
                   "through a virtual serial port. The window takes no arguments: choose the\n"
                   "device and the port's name in Setup. Without a display, use velmor-bridge\n"
                   "(velmor-bridge --help).\n"
                   "  --help     this text\n"
                   "  --version  the version\n",
                   stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argument, "--version") == 0) {
        std::puts("velmor-debug " VELMOR_VERSION);
        return 0;
    }
    const char *refused = argc > 2 && (std::strcmp(argument, "--help") == 0 ||
                                       std::strcmp(argument, "--version") == 0)
                              ? argv[2]
                              : argument;
    std::fprintf(
        stderr, "velmor-debug: unknown argument \"%s\"; usage: velmor-debug [--help | --version]\n",
        refused);
    return 2;
}

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
    int status = 0;
    {
        const TSignalsThroughLoop throughLoop;
        status = QApplication::exec();
    }
    DestroyForms();
    return status;
}
