#include "device/SscProtocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ssc
{

namespace
{

int Wrap(int Index)
{
    return Index % kRingSize;
}

// Copies Count bytes out of a ring starting at From, wrapping at the ring's end.
void CopyFromRing(const unsigned char *Ring, int From, unsigned char *To, int Count)
{
    // Nothing to copy may come with no buffer at all (an empty vector's data()).
    if (Count <= 0)
        return;
    const int first = std::min(Count, kRingSize - From);
    std::memcpy(To, Ring + From, static_cast<std::size_t>(first));
    std::memcpy(To + first, Ring, static_cast<std::size_t>(Count - first));
}

std::string HexByte(unsigned char Byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", Byte);
    return text;
}

} // namespace

int TakeFromRing(TRingRef Ring, unsigned char *To, int Max)
{
    const int count = std::clamp(Max, 0, Ring.Count);
    CopyFromRing(Ring.Bytes, Ring.Read, To, count);
    Ring.Read = Wrap(Ring.Read + count);
    Ring.Count -= count;
    return count;
}

int QueueHostBytes(TRingRef Tx, std::uint8_t &Tag, const unsigned char *Data, int Count)
{
    int position = Wrap(Tx.Read + Tx.Count);
    int completed = 0;
    while (completed < Count && Tx.Count + kRingBytesPerHostByte <= kRingSize) {
        const unsigned char data = Data[completed];
        for (int pair = 0; pair < kPairsPerHostByte; ++pair) {
            Tx.Bytes[position] = data;
            Tx.Bytes[Wrap(position + 1)] = Tag;
            position = Wrap(position + 2);
        }
        Tx.Count += kRingBytesPerHostByte;
        Tag = Tag == 255 ? 1 : Tag + 1;
        ++completed;
    }
    return completed;
}

int HostByteRoom(int TxCount)
{
    return (kRingSize - TxCount) / kRingBytesPerHostByte;
}

void BuildFrame(TFrame &Frame, TRingRef Tx)
{
    Frame.Bytes.fill(0x00);
    std::copy(kFrameCommand.begin(), kFrameCommand.end(), Frame.Bytes.begin());
    Frame.Payload = std::min(Tx.Count, kFramePayload);
    // Host bytes are queued whole, so what is left of one already begun is the ring's remainder.
    Frame.Head = std::min(Frame.Payload, Tx.Count % kRingBytesPerHostByte);
    TakeFromRing(Tx, Frame.Bytes.data() + kFrameHeader, Frame.Payload);
    Frame.Sent = 0;
    Frame.Pending = true;
}

void FrameTaken(TFrame &Frame, std::uint32_t Count)
{
    Frame.Sent += std::min<std::uint32_t>(Count, kFrameSize - Frame.Sent);
    if (Frame.Sent == kFrameSize)
        Frame.Pending = false;
}

bool CarriesNewHostBytes(const TFrame &Frame)
{
    return Frame.Head < Frame.Payload;
}

std::vector<unsigned char> UnsentHostBytes(const TFrame &Frame, const unsigned char *TxRing,
                                           int TxRead, int TxCount)
{
    std::vector<unsigned char> unsent;
    if (Frame.Pending) {
        const int sentPayload = std::max(0, static_cast<int>(Frame.Sent) - kFrameHeader);
        for (int start = Frame.Head; start < Frame.Payload; start += kRingBytesPerHostByte)
            if (start >= sentPayload)
                unsent.push_back(Frame.Bytes[static_cast<std::size_t>(kFrameHeader + start)]);
    }
    // The rest of a host byte begun in a frame belongs to that frame's last byte.
    for (int offset = TxCount % kRingBytesPerHostByte; offset < TxCount;
         offset += kRingBytesPerHostByte)
        unsent.push_back(TxRing[Wrap(TxRead + offset)]);
    return unsent;
}

std::uint32_t ReadSize(std::uint32_t Queued, int RxCount, const TPairCarry &Carry)
{
    const std::uint32_t halves = Carry.Half ? 1 : 0;
    const auto room = static_cast<std::uint32_t>(2 * (kRingSize - RxCount)) - halves;
    std::uint32_t size = std::min({Queued, room, static_cast<std::uint32_t>(kReadChunk)});
    if ((size + halves) % 2 != 0)
        --size;
    return size;
}

void CollectPairs(TRingRef Rx, TPairCarry &Carry, const unsigned char *Bytes, std::uint32_t Count)
{
    int position = Wrap(Rx.Read + Rx.Count);
    auto keep = [&](unsigned char data, unsigned char flag) {
        if (flag != kValidFlag)
            return true;
        if (Rx.Count == kRingSize)
            return false;
        Rx.Bytes[position] = data;
        position = Wrap(position + 1);
        ++Rx.Count;
        return true;
    };

    std::uint32_t index = 0;
    if (Carry.Half && Count > 0) {
        Carry.Half = false;
        if (!keep(Carry.Byte, Bytes[0]))
            return;
        index = 1;
    }
    for (; index + 1 < Count; index += 2)
        if (!keep(Bytes[index], Bytes[index + 1]))
            return;
    if (index < Count) {
        Carry.Half = true;
        Carry.Byte = Bytes[index];
    }
}

void FrameBuilt(TFlight &Flight, const TFrame &Frame)
{
    for (int start = Frame.Head; start < Frame.Payload; start += kRingBytesPerHostByte) {
        if (Flight.Bytes.size() == kMostInFlight)
            Flight.Bytes.pop_front();
        Flight.Bytes.push_back({Flight.Written + static_cast<std::uint64_t>(start),
                                Frame.Bytes[static_cast<std::size_t>(kFrameHeader + start)]});
    }
    Flight.Written += kFramePayload;
}

void AnswersRead(TFlight &Flight, const unsigned char *Bytes, std::uint32_t Count)
{
    // Pairs begin at even places, so every odd place holds a flag.
    for (std::uint32_t index = Flight.ReadBack % 2 == 0 ? 1 : 0; index < Count; index += 2) {
        const std::uint64_t pair = Flight.ReadBack + index - 1;
        if (Bytes[index] == kValidFlag && !Flight.Bytes.empty() &&
            Flight.Bytes.front().Place < pair) {
            Flight.Bytes.pop_front();
            ++Flight.Answered;
        }
    }
    Flight.ReadBack += Count;
    while (!Flight.Bytes.empty() && Flight.Bytes.front().Place + kAnswerWindow <= Flight.ReadBack) {
        Flight.Bytes.pop_front();
        ++Flight.Answered;
    }
}

std::vector<unsigned char> Unanswered(const TFlight &Flight)
{
    std::vector<unsigned char> bytes;
    bytes.reserve(Flight.Bytes.size());
    for (const THostByteInFlight &inFlight : Flight.Bytes)
        bytes.push_back(inFlight.Byte);
    return bytes;
}

TPhase FirstPhase(const TClockIn &ClockIn, unsigned char Low, const TSay &Say)
{
    const TClockAnswer answer =
        ClockIn(kClockOneBit.data(), kClockOneBit.size(), [](unsigned char) { return true; });
    switch (answer.Outcome) {
    case TClockOutcome::SendFailed:
        return TPhase::Failed;
    case TClockOutcome::ReadFailed:
        Say(TLinkEventKind::Error, "FT_Read error");
        return TPhase::Failed;
    case TClockOutcome::TimedOut:
        Say(TLinkEventKind::Error, "Synchronization TIMEOUT expired");
        return TPhase::Failed;
    case TClockOutcome::Accepted:
        break;
    }
    Say(TLinkEventKind::Detail, "SYNCH ---> " + HexByte(answer.Byte));
    return answer.Byte == Low ? TPhase::Match : TPhase::Miss;
}

TPhase SecondPhase(const TClockIn &ClockIn, unsigned char High, const TSay &Say)
{
    const TClockAnswer answer = ClockIn(kClockOneByte.data(), kClockOneByte.size(),
                                        [High](unsigned char Byte) { return Byte == High; });
    switch (answer.Outcome) {
    case TClockOutcome::SendFailed:
        Say(TLinkEventKind::Error, "Upper byte failure");
        return TPhase::Failed;
    case TClockOutcome::ReadFailed:
        Say(TLinkEventKind::Error, "FT_Read error");
        return TPhase::Failed;
    case TClockOutcome::TimedOut:
        return TPhase::Miss;
    case TClockOutcome::Accepted:
        break;
    }
    return TPhase::Match;
}

std::uint64_t StillToClock(std::uint64_t Given, std::uint64_t ReadBack, std::uint64_t Queued)
{
    const std::uint64_t back = ReadBack + Queued;
    return Given > back ? Given - back : 0;
}

std::uint32_t AddedLead(std::uint32_t Added, std::uint32_t Lead, std::uint64_t Left)
{
    if (Left < (std::uint64_t(Lead) + Added) / 2)
        return kFrameLead;
    return Added > kLeadShrink ? Added - kLeadShrink : 0;
}

TPace NextPace(std::uint64_t Left, std::size_t &Due, std::uint32_t Lead)
{
    // The frame just written begins to clock once the chip is down to its size.
    auto dueAt = [&] { return std::uint64_t(kFramePayload) - kAnswerDue[Due]; };
    if (Left <= Lead)
        return {TPaceStep::WriteNext};
    if (Due < kAnswerDue.size() && Left <= dueAt()) {
        while (Due < kAnswerDue.size() && Left <= dueAt())
            ++Due;
        return {TPaceStep::Collect};
    }
    const std::uint64_t target = Due < kAnswerDue.size() ? dueAt() : Lead;
    return {TPaceStep::Wait, std::min<std::uint64_t>(Left - target, kMostUncollected)};
}

} // namespace ssc
