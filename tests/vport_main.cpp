// Entry for the virtual port's tests: an application object on the offscreen platform, as in
// TestMain.cpp, and a runtime folder of the tests' own. Without XDG_RUNTIME_DIR, Qt would make
// /tmp/runtime-$USER at start, a folder outside what the tests may touch.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::optional<QTemporaryDir> Runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && Runtime.emplace().isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(Runtime->path()));
    QApplication App(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
