// Velmor Debug: makes an SSC device behind an FTDI chip usable from ordinary serial-port software
// through a virtual serial port. Takes no command-line arguments of its own beyond --help and
// --version, and keeps no settings.
#include "app/Startup.h"
#include "dialogs/Message.h"

#include <QApplication>

#include <cstdio>
#include <exception>

int main(int argc, char **argv)
{
    if (const auto status = AnswerCommandLine(argc, argv))
        return *status;
    // Without a display the toolkit would abort; say what is missing instead.
    if (const char *missing = MissingDisplay()) {
        std::fprintf(stderr, "%s\n", missing);
        return 1;
    }
    QApplication application(argc, argv);
    ConfigureApplication();
    // A failure at start-up is shown while the application object still exists.
    try {
        return RunMainWindow();
    } catch (const std::exception &error) {
        ShowMessage(nullptr, QString::fromLocal8Bit(error.what()));
    } catch (...) {
        ShowMessage(nullptr, QStringLiteral("Unexpected error"));
    }
    return 1;
}
