// The whole program in process for a test: its windows created as at start-up, the simulated
// device in place of the driver library, a port folder of the test's own, and message boxes
// captured instead of shown.
#pragma once

#include "app/Vrtualssc.h"
#include "device/D2xx.h"
#include "dialogs/Message.h"

#include "sim/SimLibrary.h"
#include "tests/SetupDriver.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace test
{

class ProgramTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RuntimeDir.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(RuntimeDir.path()));
        ASSERT_TRUE(Sim.Loaded()) << Sim.Error();
        d2xx::SetLibraryFile(SimLibrary::Path());
        Sim.vsim_SetRealTime(0);
        SetMessageHandler([this](QWidget *, const QString &Text, const QString &Informative) {
            Shown.push_back(Text);
            Reasons.push_back(Informative);
        });
        CreateForms();
    }
    void TearDown() override
    {
        if (VSSC && VSSC->isVisible())
            VSSC->close();
        DestroyForms();
        SetMessageHandler({});
    }

    QTemporaryDir RuntimeDir;
    SimLibrary Sim;
    // The texts of the message boxes the program showed.
    std::vector<QString> Shown;
    // Their informative texts, in the same order.
    std::vector<QString> Reasons;
};

} // namespace test
