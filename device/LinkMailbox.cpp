#include "device/LinkMailbox.h"

#include <QCoreApplication>
#include <QThread>

namespace
{

bool OnUiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

} // namespace

TLinkMailbox::TLinkMailbox(TSSCMessageEvent OnMessage, TSSCEventHandler OnEvent)
    : FOnMessage(std::move(OnMessage)), FOnEvent(std::move(OnEvent))
{
}

bool TLinkMailbox::Report(TLinkEventKind Kind, const std::string &Text)
{
    {
        std::lock_guard guard(FMutex);
        FMessage = Text;
    }
    if (!FOnMessage && !FOnEvent)
        return false;
    if (OnUiThread()) {
        Deliver(Kind, Text);
        return false;
    }
    std::lock_guard guard(FMutex);
    const bool first = FPending.empty();
    FPending.emplace_back(Kind, Text);
    return first;
}

void TLinkMailbox::DeliverAll()
{
    std::vector<TMessage> messages;
    {
        std::lock_guard guard(FMutex);
        messages.swap(FPending);
    }
    for (const auto &[kind, text] : messages)
        Deliver(kind, text);
}

void TLinkMailbox::Deliver(TLinkEventKind Kind, const std::string &Text)
{
    if (FOnEvent)
        FOnEvent(Kind, Text);
    else
        FOnMessage(Text);
}
