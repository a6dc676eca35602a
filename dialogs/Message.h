// Every message box of the program goes through ShowMessage: a simple box with an OK button.
// Tests put a handler of their own in its place to capture the text instead of blocking on a
// modal box.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QFont;
class QMessageBox;
class QWidget;

// Text is the box's text; Informative, when not empty, says why below it.
using TMessageHandler =
    std::function<void(QWidget *Parent, const QString &Text, const QString &Informative)>;

// The texts the user sees.
inline const QString kExitApplicationsText =
    QStringLiteral("You must exit any application connected \n before changing settings");
inline const QString kInitErrorText = QStringLiteral("Error in initing");

inline const QString kMessageTitle = QStringLiteral("Velmor Debug");

// A warning box: Text, and below it Informative when not empty; at least wide enough for the
// whole title.
void ShowMessage(QWidget *Parent, const QString &Text, const QString &Informative = {});
// The box ShowMessage shows, not shown yet.
std::unique_ptr<QMessageBox> NewMessageBox(QWidget *Parent, const QString &Text,
                                           const QString &Informative = {});
// The least width of a box whose title bar shows Title whole.
int MessageBoxWidthForTitle(const QFont &Font, const QString &Title);

// An empty handler restores the real message box.
void SetMessageHandler(TMessageHandler Handler);
