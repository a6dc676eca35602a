#include "device/LinkMailbox.h"

bool TLinkMailbox::Post(TLinkEventKind Kind, const std::string &Text)
{
    std::lock_guard guard(FMutex);
    const bool first = FPending.empty();
    FPending.emplace_back(Kind, Text);
    return first;
}

std::vector<TLinkMailbox::TMessage> TLinkMailbox::TakeAll()
{
    std::vector<TMessage> messages;
    std::lock_guard guard(FMutex);
    messages.swap(FPending);
    return messages;
}
