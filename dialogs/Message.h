// Every message box of the program goes through ShowMessage: a simple box with an OK button.
// Tests put a handler of their own in its place to capture the text instead of blocking on a
// modal box.
#pragma once

#include <QString>

#include <functional>

class QWidget;

// Text is the box's text; Informative, when not empty, says why below it.
using TMessageHandler =
    std::function<void(QWidget *Parent, const QString &Text, const QString &Informative)>;

// The texts the user sees.
inline const QString kExitApplicationsText =
    QStringLiteral("You must exit any application connected \n before changing settings");
inline const QString kInitErrorText = QStringLiteral("Error in initing");

void ShowMessage(QWidget *Parent, const QString &Text, const QString &Informative = {});

// An empty handler restores the real message box.
void SetMessageHandler(TMessageHandler Handler);
