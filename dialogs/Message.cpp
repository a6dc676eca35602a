#include "dialogs/Message.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace
{
TMessageHandler Handler;
// What a title bar takes beside its title: the icon and the buttons, with room to spare.
constexpr int kTitleBarExtras = 160;
} // namespace

int MessageBoxWidthForTitle(const QFont &Font, const QString &Title)
{
    return QFontMetrics(Font).horizontalAdvance(Title) + kTitleBarExtras;
}

std::unique_ptr<QMessageBox> NewMessageBox(QWidget *Parent, const QString &Text,
                                           const QString &Informative)
{
    // Every box of the program says that something was refused or failed. Texts may carry names
    // from outside (a device description, a path): never rich text.
    auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, kMessageTitle, Text,
                                             QMessageBox::Ok, Parent);
    box->setTextFormat(Qt::PlainText);
    if (!Informative.isEmpty())
        box->setInformativeText(Informative.toHtmlEscaped().replace('\n', "<br>"));
    // A box sized for a short text would have its title cut in the title bar.
    if (auto *grid = qobject_cast<QGridLayout *>(box->layout()))
        grid->addItem(new QSpacerItem(MessageBoxWidthForTitle(box->font(), kMessageTitle), 0,
                                      QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    return box;
}

void ShowMessage(QWidget *Parent, const QString &Text, const QString &Informative)
{
    if (Handler) {
        Handler(Parent, Text, Informative);
        return;
    }
    NewMessageBox(Parent, Text, Informative)->exec();
}

void SetMessageHandler(TMessageHandler NewHandler)
{
    Handler = std::move(NewHandler);
}
