#include "dialogs/Message.h"

#include <QApplication>
#include <QMessageBox>

namespace
{
TMessageHandler Handler;
}

void ShowMessage(QWidget *Parent, const QString &Text)
{
    if (Handler) {
        Handler(Parent, Text);
        return;
    }
    QMessageBox::information(Parent, QApplication::applicationDisplayName(), Text);
}

void SetMessageHandler(TMessageHandler NewHandler)
{
    Handler = std::move(NewHandler);
}
