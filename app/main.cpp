// Velmor Debug: makes an SSC device behind an FTDI chip usable from ordinary serial-port software
// through a virtual serial port. Takes no command-line arguments of its own and keeps no settings.
#include "app/Vrtualssc.h"
#include "dialogs/Message.h"

#include <QApplication>

#include <exception>

int main(int argc, char **argv)
{
    try {
        QApplication application(argc, argv);
        QApplication::setApplicationName("velmor-debug");
        QApplication::setApplicationDisplayName("Velmor Debug");
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
