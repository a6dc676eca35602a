// Runs the main window's Setup sequence the way a user does.
#pragma once

#include "app/Vrtualssc.h"
#include "dialogs/Setup.h"

#include <QComboBox>
#include <QObject>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace test
{

// Answers the modal Setup dialog from a timer with a port name and a device description typed
// into its lists, then presses OK. OnShown runs while the dialog is up, before anything is typed.
inline void RunSetup(const QString &Port, const QString &Device,
                     const std::function<void()> &OnShown = {})
{
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (!SetupForm->isVisible())
            return;
        answer.stop();
        if (OnShown)
            OnShown();
        SetupForm->VCOMSel->setEditText(Port);
        SetupForm->SSCSel->setEditText(Device);
        SetupForm->OKButton->click();
    });
    answer.start();
    VSSC->Setup1Click();
}

} // namespace test
