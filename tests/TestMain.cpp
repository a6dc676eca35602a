// GoogleTest entry for tests that need Qt: an application object on the main thread (the
// program's user-interface thread), on the offscreen platform unless told otherwise, and a
// runtime folder of the tests' own: without XDG_RUNTIME_DIR Qt would make /tmp/runtime-$USER at
// start, a folder outside what the tests may touch.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::optional<QTemporaryDir> runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtime.emplace().isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->path()));
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
