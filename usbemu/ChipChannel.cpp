#include "usbemu/ChipChannel.h"

#include <algorithm>

namespace usbemu
{

namespace
{

constexpr std::size_t kStatusBytes = 2;

} // namespace

TChipChannel::TChipChannel(const TChipModel &Model)
    : MaxPacket(Model.MaxPacket), Engine(Model.FromHostBytes, Model.ToHostBytes, Model.HighSpeed)
{
}

void TChipChannel::Pump(TClock::time_point Now, std::vector<TFinished> &Done)
{
    TMpsseEngine &engine = Engine;
    auto advance = [&] {
        engine.Advance(Now);
        if (engine.TakeSendImmediate())
            Flush = true;
    };
    advance();

    // OUT: a packet is taken only when the buffer has room for all of it.
    constexpr int kProtocolError = -71; // -EPROTO
    while (!Out.empty()) {
        TTransfer &t = Out.front();
        while (t.Done < t.Data.size()) {
            const std::size_t packet = std::min<std::size_t>(MaxPacket, t.Data.size() - t.Done);
            if (CutOut && t.Done + packet > *CutOut) {
                CutOut.reset();
                t.Status = kProtocolError;
                break;
            }
            if (FromHostAllowance < packet)
                break;
            if (FromHostAllowance != kNoHold)
                FromHostAllowance -= packet;
            if (engine.Enabled()) {
                if (engine.FromHost().Room() < packet)
                    break;
                engine.FromHost().Push(t.Data.data() + t.Done, packet);
            }
            t.Done += packet;
            advance();
        }
        if (t.Done < t.Data.size() && t.Status == 0)
            break;
        Done.push_back(TFinished{t.Key, {}, t.Done, t.Status});
        Out.erase(Out.begin());
    }

    // IN: full packets while a packet's worth is there, a short one when the latency timer
    // runs out or the host asked for it.
    const std::size_t payload = MaxPacket - kStatusBytes;
    const auto latency = std::chrono::milliseconds(LatencyMs);
    while (!In.empty()) {
        TTransfer &t = In.front();
        vsim::TByteRing &queue = engine.ToHost();
        bool finished = false;
        for (;;) {
            if (CutIn && t.Data.size() >= *CutIn) {
                CutIn.reset();
                t.Status = kProtocolError;
                finished = true;
                break;
            }
            const std::size_t room = t.Capacity - t.Data.size();
            if (room < kStatusBytes) {
                finished = true;
                break;
            }
            const std::size_t fits = std::min<std::size_t>(room, MaxPacket) - kStatusBytes;
            const bool full = queue.Size() >= payload && fits == payload;
            const bool timeUp = Flush || Now >= LastPacket + latency;
            if (!full && !timeUp)
                break;
            const std::size_t count = std::min(queue.Size(), fits);
            const std::size_t at = t.Data.size();
            t.Data.resize(at + kStatusBytes + count);
            t.Data[at] = kModemStatus0;
            t.Data[at + 1] = kModemStatus1;
            queue.Pop(t.Data.data() + at + kStatusBytes, count);
            LastPacket = Now;
            advance();
            if (count < payload) {
                // A short packet ends the transfer.
                Flush = false;
                finished = true;
                break;
            }
        }
        if (!finished)
            break;
        const std::size_t length = t.Data.size();
        Done.push_back(TFinished{t.Key, std::move(t.Data), length, t.Status});
        In.erase(In.begin());
    }
}

std::optional<TChipChannel::TClock::time_point> TChipChannel::NextDue() const
{
    std::optional<TClock::time_point> due;
    if (!In.empty())
        due = LastPacket + std::chrono::milliseconds(LatencyMs);
    if (!In.empty() || !Out.empty()) {
        const std::optional<TClock::time_point> step = Engine.NextStep();
        if (step && (!due || *step < *due))
            due = step;
    }
    return due;
}

} // namespace usbemu
