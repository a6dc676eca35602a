#include "app/Startup.h"

#include "app/CommandLine.h"
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

constexpr const char *kUsage =
    "Usage: velmor-debug [-h | -V]\n"
    "Makes an SSC device behind an FTDI chip usable from serial-port software\n"
    "through a virtual serial port. The window takes no arguments: choose the\n"
    "device and the port's name in Setup. Without a display, use velmor-bridge\n"
    "(velmor-bridge --help).\n";

} // namespace

std::optional<int> AnswerCommandLine(int argc, const char *const *argv)
{
    static const TOptionForm options[] = {
        {"help", 'h', nullptr, "this text"},
        {"version", 'V', nullptr, "the version"},
    };
    if (argc <= 1)
        return std::nullopt;
    QList<QByteArray> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    const TCommandLine line = ReadCommandLine(options, arguments);
    // As velmor-bridge: the first of --help and --version answers, whatever follows it.
    QString refused = line.Error;
    if (refused.isEmpty() && !line.Operands.isEmpty())
        refused =
            QStringLiteral("unknown argument '%1'").arg(PrintableArgument(line.Operands.front()));
    if (!line.Given.empty())
        refused.clear();
    if (!line.Given.empty() && line.Given.front().Is("help")) {
        const QString usage = QLatin1String(kUsage) + OptionsUsage(options);
        std::fputs(usage.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (refused.isEmpty()) {
        std::puts("velmor-debug " VELMOR_VERSION);
        return 0;
    }
    std::fprintf(stderr, "velmor-debug: %s; usage: velmor-debug [-h | -V]\n",
                 refused.toLocal8Bit().constData());
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
