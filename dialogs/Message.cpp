#include "dialogs/Message.h"

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
    // Texts may carry names from outside (a device description, a path): never rich text.
    QMessageBox box(QMessageBox::Information, QStringLiteral("Velmor Debug"), Text, QMessageBox::Ok,
                    Parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void SetMessageHandler(TMessageHandler NewHandler)
{
    Handler = std::move(NewHandler);
}
