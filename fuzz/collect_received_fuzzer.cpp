// Fuzzes how the link collects the device's (data, flag) pairs into its receive ring and hands
// them out: the protocol's ReadSize, CollectPairs and TakeFromRing, composed as the link's worker
// composes them, against a driver faked here.
//
// The input first chooses the ring's state before the run (read position, fill level, a half pair
// kept from an earlier read), then is a list of steps: the device queues bytes in the driver, the
// driver's next answers change (status counts too low, too high or failing, reads cut short or
// failing), the worker collects, the UI thread drains. A simple model pairs every byte the driver
// hands over by itself; after each step the ring must hold exactly the model's bytes, and every
// read must ask for no more than the ring can take, in whole pairs, and no more than a chunk. Any
// difference traps.
#include "FuzzInput.h"
#include "device/SscProtocol.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

// The harness's own bookkeeping runs without coverage tracing: it would only steer the fuzzer
// towards the harness and slow every run down.
#define UNTRACED __attribute__((no_sanitize("coverage")))

const char *const fuzz::kTargetName = "collect_received_fuzzer";

namespace
{

using DWORD = std::uint32_t;

// Four times what fills an empty ring: plenty to wrap and fill it; more would only slow runs.
constexpr std::size_t kMaxQueued = std::size_t{1} << 19;

using fuzz::Input;
using fuzz::Require;

// xorshift32: cheap bulk bytes for a step that queues many.
struct Noise {
    std::uint32_t State;
    UNTRACED std::uint8_t Next()
    {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return static_cast<std::uint8_t>(State);
    }
};

// A first-in first-out byte queue that appends and drops in bulk.
class ByteQueue
{
public:
    std::size_t Size() const { return FBytes.size() - FHead; }
    const std::uint8_t *Front() const { return FBytes.data() + FHead; }
    UNTRACED void Append(const std::uint8_t *Data, std::size_t Count)
    {
        FBytes.insert(FBytes.end(), Data, Data + Count);
    }
    UNTRACED void Push(std::uint8_t Byte) { FBytes.push_back(Byte); }
    UNTRACED void Drop(std::size_t Count)
    {
        FHead += Count;
        // Compacted now and then, so that dropping stays cheap and memory bounded.
        if (FHead > 4096 && 2 * FHead > FBytes.size()) {
            FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(FHead));
            FHead = 0;
        }
    }

private:
    std::vector<std::uint8_t> FBytes;
    std::size_t FHead = 0;
};

enum class StatusMode { True, Less, More, Fails };
enum class ReadMode { Whole, CutTo, CutBy, Fails };

// The fake driver's queue and how its next calls answer.
struct FakeDriver {
    ByteQueue Queue;
    StatusMode Status = StatusMode::True;
    DWORD StatusDelta = 0;
    ReadMode Read = ReadMode::Whole;
    DWORD ReadDelta = 0;

    // What the link learnt and did during one CollectReceived.
    DWORD Reported = 0;
    int StatusCalls = 0;
    int ReadCalls = 0;
    std::vector<std::uint8_t> Delivered;
};

// The link's receive side: its ring, its kept half pair and its read buffer.
struct ReceiveSide {
    std::array<unsigned char, ssc::kRingSize> Ring{};
    int Read = 0;
    int Count = 0;
    ssc::TPairCarry Carry;
    std::vector<unsigned char> Buffer = std::vector<unsigned char>(ssc::kReadChunk);
    ssc::TRingRef Ref() { return {Ring.data(), Read, Count}; }
};

ReceiveSide Link;
FakeDriver Driver;

// The bytes the ring must hold, oldest first, and the half pair it must keep.
struct Model {
    ByteQueue Expected;
    bool HalfPair = false;
    std::uint8_t HalfByte = 0;

    UNTRACED void Feed(const std::uint8_t *Bytes, std::size_t Count)
    {
        for (std::size_t i = 0; i < Count; ++i) {
            const std::uint8_t byte = Bytes[i];
            if (!HalfPair) {
                HalfPair = true;
                HalfByte = byte;
                continue;
            }
            HalfPair = false;
            if (byte == ssc::kValidFlag)
                Expected.Push(HalfByte);
        }
    }
};

Model Wanted;

// The status call: false when it fails, as the driver's FT_GetStatus with a non-zero status.
bool FakeGetStatus(DWORD &RxBytes)
{
    ++Driver.StatusCalls;
    const auto queued = static_cast<DWORD>(Driver.Queue.Size());
    switch (Driver.Status) {
    case StatusMode::True:
        Driver.Reported = queued;
        break;
    case StatusMode::Less:
        Driver.Reported = queued - std::min(queued, Driver.StatusDelta);
        break;
    case StatusMode::More:
        Driver.Reported = queued + Driver.StatusDelta;
        break;
    case StatusMode::Fails:
        // A failed call reports nothing waiting.
        Driver.Reported = 0;
        RxBytes = 0;
        return false;
    }
    RxBytes = Driver.Reported;
    return true;
}

// What the link may ask for now: whatever the status call reported, up to two bytes a free ring
// place less a kept half and no more than a chunk, so that the pairs it completes (half included)
// are whole.
DWORD AllowedRead()
{
    const int half = Link.Carry.Half ? 1 : 0;
    const int room = 2 * (ssc::kRingSize - Link.Count) - half;
    Require(room >= 0, "a half pair is kept while the ring is full");
    DWORD allowed =
        std::min({Driver.Reported, static_cast<DWORD>(room), static_cast<DWORD>(ssc::kReadChunk)});
    if (allowed != 0 && (allowed + static_cast<DWORD>(half)) % 2 != 0)
        --allowed;
    return allowed;
}

// The read call: false when it fails.
bool FakeRead(unsigned char *Buffer, DWORD ToRead, DWORD &Returned)
{
    ++Driver.ReadCalls;
    Require(Driver.ReadCalls == 1, "more than one read in one collection");
    Require(ToRead == AllowedRead(), "the read asks for other than what fits, in whole pairs");
    Require(ToRead <= Link.Buffer.size(), "the read asks for more than its buffer holds");

    Returned = 0;
    if (Driver.Read == ReadMode::Fails)
        return false;
    DWORD give = std::min(ToRead, static_cast<DWORD>(Driver.Queue.Size()));
    if (Driver.Read == ReadMode::CutTo)
        give = std::min(give, Driver.ReadDelta);
    else if (Driver.Read == ReadMode::CutBy)
        give -= std::min(give, Driver.ReadDelta);
    if (give > 0)
        std::memcpy(Buffer, Driver.Queue.Front(), give);
    Driver.Queue.Drop(give);
    Driver.Delivered.assign(Buffer, Buffer + give);
    Returned = give;
    return true;
}

// One collection as the link's worker makes it.
void CollectReceived()
{
    DWORD queued = 0;
    FakeGetStatus(queued);
    if (queued == 0)
        return;
    const DWORD wanted = ssc::ReadSize(queued, Link.Count, Link.Carry);
    if (wanted == 0)
        return;
    DWORD got = 0;
    if (!FakeRead(Link.Buffer.data(), wanted, got))
        return;
    ssc::CollectPairs(Link.Ref(), Link.Carry, Link.Buffer.data(), std::min(got, wanted));
}

void CheckRing()
{
    const int count = Link.Count;
    Require(count >= 0 && count <= ssc::kRingSize, "ring count out of range");
    Require(static_cast<std::size_t>(count) == Wanted.Expected.Size(),
            "ring holds other than the valid pairs delivered (a pair lost or invented)");
    Require(Link.Carry.Half == Wanted.HalfPair, "half pair kept or dropped wrongly");
    if (Wanted.HalfPair)
        Require(Link.Carry.Byte == Wanted.HalfByte, "wrong half pair kept");
}

void Collect()
{
    Driver.Reported = 0;
    Driver.StatusCalls = 0;
    Driver.ReadCalls = 0;
    Driver.Delivered.clear();
    const std::size_t queuedBefore = Driver.Queue.Size();

    CollectReceived();

    Require(Driver.StatusCalls == 1, "collection without exactly one status call");
    // The link must not sit on data it has room for: a read whenever a whole pair fits.
    if (Driver.ReadCalls == 0)
        Require(AllowedRead() == 0, "no read although whole pairs were queued and fitted");
    Require(Driver.Queue.Size() + Driver.Delivered.size() == queuedBefore,
            "the driver's queue lost bytes the link was not given");
    Wanted.Feed(Driver.Delivered.data(), Driver.Delivered.size());
    CheckRing();
}

UNTRACED void Drain(int Capacity)
{
    // A real buffer even for a capacity of 0 or less, as the program passes.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::max(Capacity, 1)));
    const int got = ssc::TakeFromRing(Link.Ref(), buffer.data(), Capacity);
    const int expected = std::clamp(Capacity, 0, static_cast<int>(Wanted.Expected.Size()));
    Require(got == expected, "ReceiveData returned another count");
    if (got > 0)
        Require(
            std::memcmp(buffer.data(), Wanted.Expected.Front(), static_cast<std::size_t>(got)) == 0,
            "ReceiveData handed out other bytes or another order");
    Wanted.Expected.Drop(static_cast<std::size_t>(got));
    CheckRing();
}

int DrainCapacity(Input &In)
{
    switch (In.Byte() % 5) {
    case 0:
        return In.Byte();
    case 1:
        return In.Word();
    case 2:
        return ssc::kRingSize;
    case 3:
        return ssc::kRingSize + In.Byte();
    default:
        return -static_cast<int>(In.Byte());
    }
}

void QueueLiteral(Input &In)
{
    const int count = In.Byte();
    for (int i = 0; i < count && Driver.Queue.Size() < kMaxQueued; ++i)
        Driver.Queue.Push(In.Byte());
}

// Many bytes at once: enough to fill the ring from any level. `density` sets how often a byte is
// 0x01, so that flags are valid often, but not always.
UNTRACED void QueueBulk(Input &In)
{
    const std::size_t wanted = std::size_t{In.Word()} << (In.Byte() % 3);
    const std::uint8_t density = In.Byte();
    Noise noise{0x9E3779B9u ^ In.Word()};
    std::vector<std::uint8_t> bytes(std::min(wanted, kMaxQueued - Driver.Queue.Size()));
    for (auto &byte : bytes) {
        byte = noise.Next();
        if (noise.Next() < density)
            byte = ssc::kValidFlag;
    }
    Driver.Queue.Append(bytes.data(), bytes.size());
}

// The ring as an earlier run of the link may have left it.
UNTRACED void SetUpRing(Input &In)
{
    const std::uint8_t shape = In.Byte();
    const int read = In.Word();
    int count = 0;
    switch (shape % 4) {
    case 0:
        break;
    case 1:
        count = In.Word();
        break;
    case 2:
        count = ssc::kRingSize - In.Byte();
        break;
    default:
        count = ssc::kRingSize;
        break;
    }
    // A kept half pair always leaves a free place for its pair.
    const bool halfPair = (shape & 0x10) != 0 && count < ssc::kRingSize;
    const std::uint8_t halfByte = halfPair ? In.Byte() : 0;

    Noise noise{0x85EBCA6Bu ^ In.Word()};
    Wanted = Model{};
    // Stale bytes outside the live part must never come out.
    auto &ring = Link.Ring;
    ring.fill(0xEE);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t byte = noise.Next();
        ring[static_cast<std::size_t>((read + i) % ssc::kRingSize)] = byte;
        Wanted.Expected.Push(byte);
    }
    Wanted.HalfPair = halfPair;
    Wanted.HalfByte = halfByte;
    Link.Read = read;
    Link.Count = count;
    Link.Carry = {halfPair, halfByte};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *Data, std::size_t Size)
{
    Input in(Data, Size);
    Driver = FakeDriver{};
    SetUpRing(in);
    CheckRing();

    while (!in.Empty()) {
        switch (in.Byte() % 8) {
        case 0:
            QueueLiteral(in);
            break;
        case 1:
            QueueBulk(in);
            break;
        case 2:
            Driver.Status = static_cast<StatusMode>(in.Byte() % 4);
            Driver.StatusDelta = in.Word();
            break;
        case 3:
            Driver.Read = static_cast<ReadMode>(in.Byte() % 4);
            Driver.ReadDelta = in.Word() >> (in.Byte() % 16);
            break;
        case 4:
        case 5:
            Collect();
            break;
        default:
            Drain(DrainCapacity(in));
            break;
        }
    }

    // Whatever is left comes out in order, and nothing more.
    Drain(ssc::kRingSize);
    Require(Link.Count == 0, "ring not empty after draining it all");
    return 0;
}
