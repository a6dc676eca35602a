// The messages a link's worker reports, waiting for the user-interface thread: the worker posts
// them without waiting (the UI thread may itself be waiting for the worker), and one delivery on
// the UI thread takes all that gathered meanwhile.
#pragma once

#include "device/LinkEvent.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

class TLinkMailbox
{
public:
    using TMessage = std::pair<TLinkEventKind, std::string>;

    // Queues a message; true when it is the only one waiting, so the caller asks for a delivery,
    // which takes this one and all that follow it until then.
    bool Post(TLinkEventKind Kind, const std::string &Text);
    // The messages waiting, oldest first; the mailbox is empty afterwards.
    std::vector<TMessage> TakeAll();

private:
    std::mutex FMutex;
    std::vector<TMessage> FPending;
};
