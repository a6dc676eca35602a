#include "dialogs/Messages.h"

#include "device/LinkLog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

#include <chrono>

namespace
{
constexpr QSize kSize{480, 260};
// How long the window lets changes of the log gather before it shows them.
constexpr std::chrono::milliseconds kRefreshPause{250};
} // namespace

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
    FRefreshTimer.setSingleShot(true);
    FRefreshTimer.setInterval(kRefreshPause);
    connect(&FRefreshTimer, &QTimer::timeout, this, &TMessagesForm::Refresh);
}

void TMessagesForm::LogChanged()
{
    if (isVisible() && !FRefreshTimer.isActive())
        FRefreshTimer.start();
}

void TMessagesForm::Refresh()
{
    FRefreshTimer.stop();
    if (!isVisible() || FShownRevision == Log.Revision())
        return;
    FShownRevision = Log.Revision();
    const QString lines = Log.Lines();
    // Plain text: the messages carry device descriptions and file names from outside.
    MessageList->setPlainText(lines);
    MessageList->verticalScrollBar()->setValue(MessageList->verticalScrollBar()->maximum());
}

void TMessagesForm::showEvent(QShowEvent *Event)
{
    QWidget::showEvent(Event);
    Refresh();
}
