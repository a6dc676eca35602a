// velmor-bridge: the bridge of Velmor Debug without a window, for test rigs and machines with no
// display. See app/HeadlessBridge.h, or velmor-bridge --help.
#include "app/HeadlessBridge.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    return RunHeadlessBridge(QCoreApplication::arguments());
}
