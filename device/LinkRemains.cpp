#include "device/LinkRemains.h"

#include "device/FramePacing.h"

#include <algorithm>

namespace ssc
{

TLinkRemains LeftBehind(TFrame &Frame, TFlight &Flight, TRingRef Tx, TRingRef Rx,
                        std::vector<unsigned char> &Spill, bool Lost)
{
    TLinkRemains remains;
    if (Lost) {
        // The device went with host bytes on their way: each whose answer never came back may
        // not have reached it, so it goes again, before those never begun. A frame cut short is
        // among them whole.
        const std::uint64_t clocked = ClockedEnd(Frame, Flight);
        remains.Unsent = Unanswered(Flight);
        remains.Unanswered = static_cast<int>(std::count_if(
            Flight.Bytes.begin(), Flight.Bytes.end(),
            [clocked](const THostByteInFlight &Byte) { return Byte.Place < clocked; }));
        const std::vector<unsigned char> unbegun =
            UnsentHostBytes(TFrame{}, Tx.Bytes, Tx.Read, Tx.Count);
        remains.Unsent.insert(remains.Unsent.end(), unbegun.begin(), unbegun.end());
    } else {
        remains.Unsent = UnsentHostBytes(Frame, Tx.Bytes, Tx.Read, Tx.Count);
    }
    Flight.Bytes.clear();
    Frame.Pending = false;
    Tx.Count = 0;

    remains.Received = std::move(Spill);
    Spill.clear();
    const std::size_t spilled = remains.Received.size();
    remains.Received.resize(spilled + static_cast<std::size_t>(Rx.Count));
    TakeFromRing(Rx, remains.Received.data() + spilled, Rx.Count);
    return remains;
}

} // namespace ssc
