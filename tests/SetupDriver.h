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

// Opens the modal Setup dialog from the main window and, once it is shown, runs WhileShown from a
// timer that checks every IntervalMs; WhileShown answers the dialog.
inline void AnswerSetup(const std::function<void()> &WhileShown, int IntervalMs = 5)
{
    QTimer answer;
    answer.setInterval(IntervalMs);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (!SetupForm->isVisible())
            return;
        answer.stop();
        WhileShown();
    });
    answer.start();
    VSSC->Setup1Click();
}

// Answers the modal Setup dialog with a port name and a device description typed into its
// lists, then presses OK. OnShown runs while the dialog is up, before anything is typed.
inline void RunSetup(const QString &Port, const QString &Device,
                     const std::function<void()> &OnShown = {})
{
    AnswerSetup([&] {
        if (OnShown)
            OnShown();
        SetupForm->VCOMSel->setEditText(Port);
        SetupForm->SSCSel->setEditText(Device);
        SetupForm->OKButton->click();
    });
}

} // namespace test
