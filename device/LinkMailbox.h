// The link's messages on their way to its callback, which runs on the user-interface thread. A
// message reported there is handed over at once; the worker posts its messages without waiting
// (the UI thread may itself be waiting for the worker), and one delivery on the UI thread takes
// all that gathered meanwhile.
#pragma once

#include "device/LinkEvent.h"

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

using TSSCMessageEvent = std::function<void(const std::string &)>;
// The same messages with their kind (LinkEvent.h), for callers that sort them.
using TSSCEventHandler = std::function<void(TLinkEventKind Kind, const std::string &Text)>;

class TLinkMailbox
{
public:
    using TMessage = std::pair<TLinkEventKind, std::string>;

    // Messages go with their kind to OnEvent when it is given, else as text to OnMessage; with
    // neither, nowhere.
    TLinkMailbox(TSSCMessageEvent OnMessage, TSSCEventHandler OnEvent);

    // On the UI thread (or with no application), hands the message to the callback at once and
    // returns false. From any other thread, queues it; true when it is the only one waiting, so
    // the caller asks for a delivery (DeliverAll), which takes this one and all that follow it
    // until then.
    bool Report(TLinkEventKind Kind, const std::string &Text);
    // Hands the messages waiting to the callback, oldest first; on the UI thread.
    void DeliverAll();

private:
    void Deliver(TLinkEventKind Kind, const std::string &Text);

    const TSSCMessageEvent FOnMessage;
    const TSSCEventHandler FOnEvent;
    std::mutex FMutex;
    // The messages not yet handed to the callback, and the text being handed to it; under FMutex.
    std::vector<TMessage> FPending;
    std::string FMessage;
};
