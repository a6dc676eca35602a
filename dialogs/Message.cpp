#include "dialogs/Message.h"

#include <QMessageBox>

namespace
{
TMessageHandler Handler;
}

void ShowMessage(QWidget *Parent, const QString &Text, const QString &Informative)
{
    if (Handler) {
        Handler(Parent, Text, Informative);
        return;
    }
    // Texts may carry names from outside (a device description, a path): never rich text.
    QMessageBox box(QMessageBox::Information, QStringLiteral("Velmor Debug"), Text, QMessageBox::Ok,
                    Parent);
    box.setTextFormat(Qt::PlainText);
    if (!Informative.isEmpty())
        box.setInformativeText(Informative.toHtmlEscaped().replace('\n', "<br>"));
    box.exec();
}

void SetMessageHandler(TMessageHandler NewHandler)
{
    Handler = std::move(NewHandler);
}
