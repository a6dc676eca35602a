// velmor-bridge: the bridge of Velmor Debug without a window, for test rigs and machines with no
// display. See app/HeadlessBridge.h, or velmor-bridge --help.
#include "app/HeadlessBridge.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QList>

int main(int argc, char **argv)
{
    // The arguments' own bytes: QCoreApplication's decoding would drop a leading byte order mark
    // and turn bytes that are not UTF-8 into U+FFFD, making a name the user never gave.
    QList<QByteArray> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    QCoreApplication application(argc, argv);
    return RunHeadlessBridge(arguments);
}
