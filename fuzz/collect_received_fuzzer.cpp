// Fuzzes how the link collects the device's (data, flag) pairs into its receive ring
// (TSSCClass::CollectReceived) and hands them out (ReceiveData), against a driver faked here.
//
// The input first chooses the ring's state before the run (read position, fill level, a half pair
// kept from an earlier read), then is a list of steps: the device queues bytes in the driver, the
// driver's next answers change (status counts too low, too high or failing, reads cut short or
// failing), the worker collects, the UI thread drains. A simple model pairs every byte the driver
// hands over by itself; after each step the ring must hold exactly the model's bytes, and every
// read must ask for no more than the ring can take, in whole pairs. Any difference traps.
#include "FuzzInput.h"
#include "device/D2xx.h"
#include "device/Tsscclass.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

// The fuzzer's view of the link's receive side.
struct TSSCClassProbe {
    static void CollectReceived(TSSCClass &Link) { Link.CollectReceived(); }
    static void SetDevice(TSSCClass &Link, d2xx::FT_HANDLE Device) { Link.FDevice = Device; }
    static int RxCount(const TSSCClass &Link) { return Link.FRxCount; }
    static bool HalfPair(const TSSCClass &Link) { return Link.FRxHalfPair; }
    static unsigned char HalfByte(const TSSCClass &Link) { return Link.FRxHalfByte; }
    static void SetRing(TSSCClass &Link, int Read, int Count, bool HalfPair, unsigned char HalfByte)
    {
        Link.FRxRead = Read;
        Link.FRxCount = Count;
        Link.FRxHalfPair = HalfPair;
        Link.FRxHalfByte = HalfByte;
    }
    static std::array<unsigned char, ssc::kRingSize> &Ring(TSSCClass &Link) { return Link.FRxRing; }
};

// The harness's own bookkeeping runs without coverage tracing: it would only steer the fuzzer
// towards the harness and slow every run down.
#define UNTRACED __attribute__((no_sanitize("coverage")))

const char *const fuzz::kTargetName = "collect_received_fuzzer";

namespace
{

using d2xx::DWORD;
using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;

// The link only passes the handle on; any non-null value will do.
int DeviceToken;
FT_HANDLE const kDevice = &DeviceToken;

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

TSSCClass *Link;
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

FT_STATUS FakeGetStatus(FT_HANDLE Handle, DWORD *RxBytes, DWORD *TxBytes, DWORD *Events)
{
    Require(Handle == kDevice, "FT_GetStatus got another handle");
    Require(RxBytes && TxBytes && Events, "FT_GetStatus got a null pointer");
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
        // A failed call leaves the caller's counters as they were.
        Driver.Reported = 0;
        return d2xx::FT_IO_ERROR;
    }
    *RxBytes = Driver.Reported;
    *TxBytes = 0;
    *Events = 0;
    return d2xx::FT_OK;
}

// What the link may ask for now: whatever the status call reported, up to two bytes a free ring
// place less a kept half, so that the pairs it completes (half included) are whole.
DWORD AllowedRead()
{
    const int half = TSSCClassProbe::HalfPair(*Link) ? 1 : 0;
    const int room = 2 * (ssc::kRingSize - TSSCClassProbe::RxCount(*Link)) - half;
    Require(room >= 0, "a half pair is kept while the ring is full");
    DWORD allowed = std::min(Driver.Reported, static_cast<DWORD>(room));
    if (allowed != 0 && (allowed + static_cast<DWORD>(half)) % 2 != 0)
        --allowed;
    return allowed;
}

FT_STATUS FakeRead(FT_HANDLE Handle, void *Buffer, DWORD ToRead, DWORD *Returned)
{
    Require(Handle == kDevice, "FT_Read got another handle");
    Require(Buffer && Returned, "FT_Read got a null pointer");
    ++Driver.ReadCalls;
    Require(Driver.ReadCalls == 1, "more than one read in one collection");
    Require(ToRead == AllowedRead(), "the read asks for other than what fits, in whole pairs");

    if (Driver.Read == ReadMode::Fails)
        return d2xx::FT_IO_ERROR;
    DWORD give = std::min(ToRead, static_cast<DWORD>(Driver.Queue.Size()));
    if (Driver.Read == ReadMode::CutTo)
        give = std::min(give, Driver.ReadDelta);
    else if (Driver.Read == ReadMode::CutBy)
        give -= std::min(give, Driver.ReadDelta);
    auto *out = static_cast<std::uint8_t *>(Buffer);
    if (give > 0)
        std::memcpy(out, Driver.Queue.Front(), give);
    Driver.Queue.Drop(give);
    Driver.Delivered.assign(out, out + give);
    *Returned = give;
    return d2xx::FT_OK;
}

FT_STATUS FakeClose(FT_HANDLE)
{
    return d2xx::FT_OK;
}

void CheckRing()
{
    const int count = TSSCClassProbe::RxCount(*Link);
    Require(count >= 0 && count <= ssc::kRingSize, "ring count out of range");
    Require(static_cast<std::size_t>(count) == Wanted.Expected.Size(),
            "ring holds other than the valid pairs delivered (a pair lost or invented)");
    Require(TSSCClassProbe::HalfPair(*Link) == Wanted.HalfPair,
            "half pair kept or dropped wrongly");
    if (Wanted.HalfPair)
        Require(TSSCClassProbe::HalfByte(*Link) == Wanted.HalfByte, "wrong half pair kept");
}

void Collect()
{
    Driver.Reported = 0;
    Driver.StatusCalls = 0;
    Driver.ReadCalls = 0;
    Driver.Delivered.clear();
    const std::size_t queuedBefore = Driver.Queue.Size();

    TSSCClassProbe::CollectReceived(*Link);

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
    const int got = Link->ReceiveData(buffer.data(), Capacity);
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
    auto &ring = TSSCClassProbe::Ring(*Link);
    ring.fill(0xEE);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t byte = noise.Next();
        ring[static_cast<std::size_t>((read + i) % ssc::kRingSize)] = byte;
        Wanted.Expected.Push(byte);
    }
    Wanted.HalfPair = halfPair;
    Wanted.HalfByte = halfByte;
    TSSCClassProbe::SetRing(*Link, read, count, halfPair, halfByte);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "collect_received_fuzzer";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);

    // The worker idles until the link is synchronised, which never happens here, so this thread
    // is the only one that touches the driver and the receive ring.
    Link = new TSSCClass();
    d2xx::Table = {};
    d2xx::Table.FT_GetStatus = FakeGetStatus;
    d2xx::Table.FT_Read = FakeRead;
    d2xx::Table.FT_Close = FakeClose;
    TSSCClassProbe::SetDevice(*Link, kDevice);
    return 0;
}

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
    Require(TSSCClassProbe::RxCount(*Link) == 0, "ring not empty after draining it all");
    return 0;
}
