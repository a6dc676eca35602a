#include "dialogs/Messages.h"

#include "device/LinkLog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

namespace
{
constexpr QSize kSize{480, 260};
}

TMessagesForm::TMessagesForm(const TLinkLog &Log, QWidget *Owner)
    : QWidget(Owner, Qt::Window), Log(Log)
{
    setObjectName("MessagesForm");
    setWindowTitle("Messages");
    resize(kSize);
    MessageList = new QPlainTextEdit(this);
    MessageList->setObjectName("MessageList");
    MessageList->setReadOnly(true);
    MessageList->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(MessageList);
}

void TMessagesForm::Refresh()
{
    if (!isVisible())
        return;
    const QString lines = Log.Lines();
    if (MessageList->toPlainText() == lines.chopped(lines.endsWith('\n') ? 1 : 0))
        return;
    // Plain text: the messages carry device descriptions and file names from outside.
    MessageList->setPlainText(lines);
    MessageList->verticalScrollBar()->setValue(MessageList->verticalScrollBar()->maximum());
}

void TMessagesForm::showEvent(QShowEvent *Event)
{
    QWidget::showEvent(Event);
    Refresh();
}
