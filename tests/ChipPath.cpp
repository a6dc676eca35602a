#include "tests/ChipPath.h"

#include "usbemu/UsbTestbed.h"

#include <condition_variable>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>

namespace reliability
{

namespace
{

constexpr unsigned kChannelA = 0;
// A lasting read failure: every IN transfer the host gives the chip ends with an error before
// it carries anything. Armed again this often, no transfer in between goes through in practice,
// and the driver gives the channel up after a few in a row, as it would a chip that keeps
// failing them.
constexpr std::chrono::microseconds kFailEvery{200};
// A passing one: now and then an IN transfer ends with an error after its first packet; the
// driver keeps what that packet carried and puts the read back in flight, and the transfers
// between go through, so the channel stays.
constexpr std::chrono::microseconds kInterruptEvery{100000};
// A cut that no transfer reaches: takes back one left armed.
constexpr std::size_t kNoCut = std::numeric_limits<std::size_t>::max();

} // namespace

TChipPath::TChipPath(usbemu::TChipType Type) : FType(Type) {}

TChipPath::~TChipPath()
{
    StopCutting();
    FChip.reset();
    FTestbed.reset();
}

std::string TChipPath::Prepare()
{
    FTestbed = std::make_unique<usbemu::TUsbTestbed>();
    if (!FTestbed->InMockEnvironment())
        return "not under umockdev's preload (LD_PRELOAD=libumockdev-preload.so.0)";
    FChip = FTestbed->AddChip(FType);
    return {};
}

std::string TChipPath::DriverFile() const
{
    return VELMOR_FTDI1_DRIVER;
}

// The channel as our driver lists it: the chip's product string and the channel's letter.
QString TChipPath::Description() const
{
    return QString::fromLatin1(usbemu::Model(FType).Product) + " A";
}

testing::AssertionResult TChipPath::LibrariesLoaded() const
{
    std::ifstream maps("/proc/self/maps");
    const std::string loaded(std::istreambuf_iterator<char>(maps), {});
    for (const char *library : {"/usr/lib/x86_64-linux-gnu/libftdi1.so",
                                "/usr/lib/x86_64-linux-gnu/libusb-1.0.so", VELMOR_FTDI1_DRIVER})
        if (loaded.find(library) == std::string::npos)
            return testing::AssertionFailure() << library << " is not loaded";
    return testing::AssertionSuccess();
}

// The chip stops taking packets from the host: the driver's transfer to it waits, and its write
// queue fills.
void TChipPath::StallWrites()
{
    FChip->HoldFromHostAfter(kChannelA, 0);
}

// The transfer under way ends with an error Bytes into it (the driver sends exactly the rest in
// the next), and the chip takes no more than Bytes (in whole packets) until released.
void TChipPath::CutWrite(std::size_t Bytes)
{
    FChip->CutNextTransfer(kChannelA, false, Bytes);
    FChip->HoldFromHostAfter(kChannelA, Bytes);
}

void TChipPath::ReleaseWrites()
{
    FChip->HoldFromHostAfter(kChannelA, usbemu::kNoHold);
}

void TChipPath::FailReads()
{
    CutReads(0, kFailEvery);
}

void TChipPath::InterruptReads()
{
    CutReads(usbemu::Model(FType).MaxPacket, kInterruptEvery);
}

void TChipPath::RestoreReads()
{
    StopCutting();
    if (FChip)
        FChip->CutNextTransfer(kChannelA, true, kNoCut);
}

// The chip's transfers end as on a real unplug and its node fails from then on; plugged back in
// it is a new chip on a bus of its own, in its power-up state.
void TChipPath::Unplug()
{
    StopCutting();
    FTestbed->Unplug(FChip);
}

void TChipPath::Replug()
{
    FRetiredBadCommands += FChip->BadCommands(kChannelA);
    FChip = FTestbed->AddChip(FType);
}

long long TChipPath::BadCommands()
{
    return FRetiredBadCommands + FChip->BadCommands(kChannelA);
}

// The emulated chip's device keeps no record of the host bytes it took: the stream's echo is
// the only witness on this path.
std::optional<THostRecord> TChipPath::HostRecord()
{
    return std::nullopt;
}

// The chip does not count the handles open on it; a handle left open shows as a descriptor of
// its node left open.
std::optional<int> TChipPath::OpenCount()
{
    return std::nullopt;
}

void TChipPath::CutReads(std::size_t Bytes, std::chrono::microseconds Every)
{
    StopCutting();
    FCutter = std::jthread([Chip = FChip, Bytes, Every](std::stop_token Stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock lock(mutex);
        while (!Stop.stop_requested()) {
            Chip->CutNextTransfer(kChannelA, true, Bytes);
            wake.wait_for(lock, Stop, Every, [] { return false; });
        }
    });
}

void TChipPath::StopCutting()
{
    if (!FCutter.joinable())
        return;
    FCutter.request_stop();
    FCutter.join();
}

} // namespace reliability
