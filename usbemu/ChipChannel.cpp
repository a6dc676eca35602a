#include "usbemu/ChipChannel.h"

#include <algorithm>

namespace usbemu
{

namespace
{

constexpr std::size_t kStatusBytes = 2;
// USB 2.0's most bulk packets in one frame (full speed, 64 bytes) and one microframe (high speed,
// 512 bytes).
constexpr unsigned kFullSpeedFramePackets = 19;
constexpr unsigned kHighSpeedFramePackets = 13;
constexpr std::chrono::microseconds kFullSpeedFrame{1000};
constexpr std::chrono::microseconds kHighSpeedFrame{125};
constexpr std::chrono::milliseconds kMillisecond{1};

template <typename TDuration>
TBusFrame::TClock::time_point Ceil(TBusFrame::TClock::time_point At,
                                   TBusFrame::TClock::time_point Epoch, TDuration Grid)
{
    if (At <= Epoch)
        return Epoch;
    const auto steps = (At - Epoch + Grid - TBusFrame::TClock::duration(1)) / Grid;
    return Epoch + steps * Grid;
}

} // namespace

TBusFrame::TBusFrame(bool HighSpeed, TClock::time_point Epoch)
    : FLength(HighSpeed ? TClock::duration(kHighSpeedFrame) : TClock::duration(kFullSpeedFrame)),
      FPackets(HighSpeed ? kHighSpeedFramePackets : kFullSpeedFramePackets), FEpoch(Epoch)
{
}

bool TBusFrame::TakePacket(TClock::time_point At)
{
    const long long index = At <= FEpoch ? 0 : (At - FEpoch) / FLength;
    if (index != FIndex) {
        FIndex = index;
        FUsed = 0;
    }
    if (FUsed >= FPackets)
        return false;
    ++FUsed;
    return true;
}

TBusFrame::TClock::time_point TBusFrame::MillisecondTick(TClock::time_point At) const
{
    return Ceil(At, FEpoch, kMillisecond);
}

TChipChannel::TChipChannel(const TChipModel &Model)
    : MaxPacket(Model.MaxPacket), Engine(Model.FromHostBytes, Model.ToHostBytes, Model.HighSpeed)
{
}

void TChipChannel::Step(TClock::time_point Now, TBusFrame &Frame, std::vector<TFinished> &Done)
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
    constexpr int kPipe = -32;
    // A halted endpoint ends what is pending on it.
    for (TTransfer &t : Out) {
        if (HaltedOut)
            t.Status = kPipe;
    }
    for (TTransfer &t : In) {
        if (HaltedIn)
            t.Status = kPipe;
    }
    while (!Out.empty()) {
        TTransfer &t = Out.front();
        while (t.Status == 0 && t.Done < t.Data.size()) {
            const std::size_t packet = std::min<std::size_t>(MaxPacket, t.Data.size() - t.Done);
            if (CutOut && t.Done + packet > *CutOut) {
                CutOut.reset();
                t.Status = kProtocolError;
                break;
            }
            if (FromHostAllowance < packet)
                break;
            if (engine.Enabled() && engine.FromHost().Room() < packet)
                break;
            if (!Frame.TakePacket(Now))
                break;
            if (FromHostAllowance != kNoHold)
                FromHostAllowance -= packet;
            if (engine.Enabled())
                engine.FromHost().Push(t.Data.data() + t.Done, packet);
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
    const TClock::time_point latencyDue = LatencyDue(Frame);
    while (!In.empty()) {
        TTransfer &t = In.front();
        vsim::TByteRing &queue = engine.ToHost();
        bool finished = false;
        for (;;) {
            if (t.Status != 0) {
                finished = true;
                break;
            }
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
            const bool timeUp = Flush || Now >= latencyDue;
            if (!full && !timeUp)
                break;
            if (!Frame.TakePacket(Now))
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

TChipChannel::TClock::time_point TChipChannel::LatencyDue(const TBusFrame &Frame) const
{
    // L whole ticks after the tick that follows the last packet.
    return Frame.MillisecondTick(LastPacket + TClock::duration(1)) +
           std::chrono::milliseconds(LatencyMs);
}

std::optional<TChipChannel::TClock::time_point> TChipChannel::NextDue(const TBusFrame &Frame) const
{
    std::optional<TClock::time_point> due;
    auto sooner = [&due](std::optional<TClock::time_point> When) {
        if (When && (!due || *When < *due))
            due = When;
    };
    const TMpsseEngine &engine = Engine;
    if ((HaltedIn && !In.empty()) || (HaltedOut && !Out.empty()))
        sooner(LastPacket);
    if (!In.empty()) {
        sooner(LatencyDue(Frame));
        const std::size_t payload = MaxPacket - kStatusBytes;
        const std::size_t queued = engine.ToHost().Size();
        // A packet's worth is there already: the next step sends it.
        if (queued >= payload || Flush)
            sooner(LastPacket);
        else
            sooner(engine.WhenMoved(payload - queued));
    }
    if (!Out.empty() && FromHostAllowance != 0) {
        const TTransfer &t = Out.front();
        const std::size_t packet = std::min<std::size_t>(MaxPacket, t.Data.size() - t.Done);
        const std::size_t room = engine.Enabled() ? engine.FromHost().Room() : packet;
        if (room >= packet)
            sooner(LastPacket);
        else
            sooner(engine.WhenMoved(packet - room));
    }
    return due;
}

} // namespace usbemu
