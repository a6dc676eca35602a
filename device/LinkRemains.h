// What a retired link leaves behind for the one that replaces it, nothing of it lost: worked out
// from the worker's frame and flight and the link's two rings once the worker has ended.
#pragma once

#include "device/SscProtocol.h"

#include <vector>

struct TLinkRemains {
    // Host bytes for the next link, oldest first: those the link never began to send; when the
    // device was lost, also those it sent whose answers never came back (they may have reached
    // the device).
    std::vector<unsigned char> Unsent;
    // Of Unsent, how many had gone out to the lost device.
    int Unanswered = 0;
    // The device's bytes not yet handed out, oldest first, the answers collected while the chip
    // clocked out what it held included.
    std::vector<unsigned char> Received;
};

namespace ssc
{

// Takes the remains out of the ended worker's state: the frame, the host bytes in flight, the
// two rings and what was spilled beside the receive ring (Spill), all empty afterwards. Lost: the
// link ended without the chip having clocked out and answered all it was given.
TLinkRemains LeftBehind(TFrame &Frame, TFlight &Flight, TRingRef Tx, TRingRef Rx,
                        std::vector<unsigned char> &Spill, bool Lost);

} // namespace ssc
