// libftd2xx-ftdi1.so as built, over Debian's own libftdi1 and libusb-1.0, against emulated FTDI
// chips (usbemu/) beneath them: what the driver promises at its D2XX entry points, and the
// device link running over it on a full-speed and a high-speed chip, with the USB faults a
// board can show (a chip that stops taking packets, a transfer cut by an error, an unplug).
//
// The test runs under umockdev's preload (see ftdi.cmake); without it, it skips.
#include "device/D2xx.h"
#include "device/DeviceList.h"
#include "device/Tsscclass.h"
#include "ftdi/FtdiChannel.h"
#include "usbemu/UsbTestbed.h"

#include "tests/BusyNeighbours.h"
#include "tests/Synch.h"
#include "tests/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace
{

using d2xx::DWORD;
using d2xx::FT_HANDLE;
using usbemu::TChipType;
using namespace std::chrono_literals;

constexpr DWORD kDescriptionByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION;
constexpr std::size_t kReadAhead = ftdi1::kReadAheadSize;

// A stream in which a lost, doubled or swapped byte shows at once.
unsigned char StreamByte(std::uint64_t index)
{
    std::uint64_t z = (index + 1) * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<unsigned char>((z ^ (z >> 31)) >> 56);
}

// One 4096-byte MPSSE clock-out-and-in command with its data.
std::vector<unsigned char> Frames(std::size_t count)
{
    std::vector<unsigned char> frames;
    for (std::size_t i = 0; i < count; ++i) {
        frames.insert(frames.end(), {0x3D, 0xFF, 0x0F});
        frames.insert(frames.end(), 4096, 0x00);
    }
    return frames;
}

class EmulatedChip : public testing::TestWithParam<TChipType>
{
protected:
    void SetUp() override
    {
        Testbed = std::make_unique<usbemu::TUsbTestbed>();
        if (!Testbed->InMockEnvironment())
            GTEST_SKIP() << "not under umockdev's preload";
        Chip = Testbed->AddChip(GetParam());
        d2xx::SetLibraryFile(VELMOR_FTDI1_DRIVER);
        std::string file;
        Library = d2xx::LoadDriver(file);
        ASSERT_NE(Library, nullptr) << file;
        ASSERT_EQ(d2xx::BindEntryPoints(Library), "");
        // A copy: the link binds and clears the program's table as it comes and goes.
        Ft = d2xx::Table;
    }
    void TearDown() override
    {
        RetireLink(Link);
        for (FT_HANDLE handle : Opened)
            Ft.FT_Close(handle);
        Chip.reset();
        Testbed.reset();
        if (Library != nullptr)
            d2xx::UnloadLibrary(Library);
    }

    std::string ChannelA() const
    {
        const usbemu::TChipModel &model = Chip->Model();
        return std::string(model.Product) + (model.Channels > 1 ? " A" : "");
    }
    std::vector<std::string> List()
    {
        std::vector<std::string> list;
        DWORD count = 0;
        EXPECT_EQ(Ft.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY), d2xx::FT_OK);
        for (DWORD index = 0; index < count; ++index) {
            char name[d2xx::kDescriptionSize + 1] = {};
            void *byIndex = reinterpret_cast<void *>(std::uintptr_t{index});
            EXPECT_EQ(Ft.FT_ListDevices(byIndex, name, kDescriptionByIndex), d2xx::FT_OK);
            list.emplace_back(name);
        }
        return list;
    }
    d2xx::FT_STATUS Open(const std::string &description, FT_HANDLE &handle)
    {
        const d2xx::FT_STATUS status = Ft.FT_OpenEx(const_cast<char *>(description.c_str()),
                                                    d2xx::FT_OPEN_BY_DESCRIPTION, &handle);
        if (status == d2xx::FT_OK)
            Opened.push_back(handle);
        return status;
    }
    FT_HANDLE OpenMpsse(d2xx::ULONG readMs, d2xx::ULONG writeMs)
    {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(Open(ChannelA(), handle), d2xx::FT_OK);
        EXPECT_EQ(Ft.FT_SetBitMode(handle, 0, d2xx::FT_BITMODE_MPSSE), d2xx::FT_OK);
        EXPECT_EQ(Ft.FT_SetTimeouts(handle, readMs, writeMs), d2xx::FT_OK);
        return handle;
    }
    d2xx::FT_STATUS Write(FT_HANDLE handle, std::vector<unsigned char> bytes, DWORD &written)
    {
        return Ft.FT_Write(handle, bytes.data(), DWORD(bytes.size()), &written);
    }
    DWORD Held(FT_HANDLE handle)
    {
        DWORD rx = 0, tx = 1, events = 1;
        EXPECT_EQ(Ft.FT_GetStatus(handle, &rx, &tx, &events), d2xx::FT_OK);
        return rx;
    }
    // What the driver has not yet handed to the chip.
    DWORD Pending(FT_HANDLE handle)
    {
        DWORD rx = 0, tx = 0, events = 1;
        EXPECT_EQ(Ft.FT_GetStatus(handle, &rx, &tx, &events), d2xx::FT_OK);
        return tx;
    }
    std::size_t Drain(FT_HANDLE handle, std::size_t count)
    {
        std::vector<unsigned char> bytes(count);
        std::size_t total = 0;
        while (total < count) {
            DWORD got = 0;
            if (Ft.FT_Read(handle, bytes.data(), DWORD(count - total), &got) != d2xx::FT_OK ||
                got == 0)
                break;
            total += got;
        }
        return total;
    }

    // A new link on channel A, synchronised as the bridge cycle does; FailedCalls counts the
    // handshake calls that failed on the way.
    ::testing::AssertionResult Synch(int *FailedCalls = nullptr)
    {
        RetireLink(Link);
        Link = std::make_unique<TSSCClass>([](const AnsiString &) {});
        if (Link->Init(ChannelA()))
            return ::testing::AssertionFailure() << "the link did not open " << ChannelA();
        if (test::SynchAtTicks(*Link, FailedCalls))
            return ::testing::AssertionFailure() << "the link did not synchronise";
        return ::testing::AssertionSuccess();
    }

    void *Library = nullptr;
    d2xx::TD2xxTable Ft{};
    std::unique_ptr<usbemu::TUsbTestbed> Testbed;
    std::shared_ptr<usbemu::TFtdiChip> Chip;
    std::vector<FT_HANDLE> Opened;
    std::unique_ptr<TSSCClass> Link;
};

// Streams `total` bytes through the link while reading them back in bursts with pauses (the
// reader's backpressure), calling `midway` once half have come back. True when every byte
// came back once and in order; it stops early when a byte differs or the device fails.
::testing::AssertionResult StreamThrough(TSSCClass &link, std::size_t total,
                                         const std::function<void()> &midway)
{
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::size_t sent = 0;
        while (sent < total && !stop) {
            unsigned char chunk[256];
            const std::size_t n = std::min<std::size_t>(sizeof chunk, total - sent);
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = StreamByte(sent + i);
            const int queued = link.SendData(chunk, int(n));
            if (queued < 0)
                return;
            sent += std::size_t(queued);
            if (queued == 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    std::size_t received = 0;
    bool called = false;
    std::string fault;
    // Every 256 bytes the reader looks away for a while, and the device's answers back up.
    auto resume = std::chrono::steady_clock::now();
    std::size_t nextPause = 256;
    const bool done = test::WaitUntil(
        [&] {
            if (!called && received >= total / 2) {
                called = true;
                midway();
            }
            if (std::chrono::steady_clock::now() < resume)
                return false;
            if (received >= nextPause) {
                nextPause += 256;
                resume = std::chrono::steady_clock::now() + 150ms;
                return false;
            }
            unsigned char in[512];
            const int got = link.ReceiveData(in, sizeof in);
            for (int i = 0; i < got && fault.empty(); ++i, ++received) {
                if (in[i] != StreamByte(received))
                    fault = "byte " + std::to_string(received) + " differs";
            }
            return received >= total || !fault.empty() || link.DeviceFailing();
        },
        std::chrono::minutes(3));
    stop = true;
    feeder.join();
    if (!fault.empty())
        return ::testing::AssertionFailure() << fault;
    if (!done || received < total)
        return ::testing::AssertionFailure()
               << "only " << received << " of " << total << " came back"
               << (link.DeviceFailing() ? ": the device failed" : "");
    return ::testing::AssertionSuccess();
}

} // namespace

// Every chip type: the channels with an MPSSE engine are listed under the chip's product
// string, the real libftdi1 and libusb are the ones loaded, and the link finds the device, sets
// its clock to 1 MHz whatever was left in it, and echoes through the channel.
TEST_P(EmulatedChip, ListsOpensAndEchoesThroughDebiansLibraries)
{
    const usbemu::TChipModel &model = Chip->Model();
    std::vector<std::string> expected;
    for (unsigned i = 0; i < std::min(model.Channels, model.MpsseChannels); ++i)
        expected.push_back(std::string(model.Product) +
                           (model.Channels > 1 ? std::string(" ") + char('A' + i) : ""));
    EXPECT_EQ(List(), expected);

    // Another program (a JTAG tool, say) left an H chip's clock fast and waiting for a return
    // clock; the link's set-up puts it back, and the FT2232D gets no opcode it does not know.
    if (model.HighSpeed)
        Chip->LeaveClock(0, false, true, true);
    ASSERT_TRUE(Synch());
    EXPECT_TRUE(StreamThrough(*Link, 64, [] {}));
    EXPECT_EQ(Chip->BadCommands(0), 0);
    constexpr std::uint64_t kFrameNanoseconds = 4096ULL * 8 * 1000; // 32.8 ms at 1 MHz
    EXPECT_EQ(Chip->BitNanoseconds(0).value_or(0) * 4096 * 8, kFrameNanoseconds);

    std::ifstream maps("/proc/self/maps");
    const std::string loaded(std::istreambuf_iterator<char>(maps), {});
    EXPECT_NE(loaded.find("/usr/lib/x86_64-linux-gnu/libftdi1.so"), std::string::npos);
    EXPECT_NE(loaded.find("/usr/lib/x86_64-linux-gnu/libusb-1.0.so"), std::string::npos);
    EXPECT_NE(loaded.find(VELMOR_FTDI1_DRIVER), std::string::npos);
}

// Fifty links in a row synchronise while two other processes keep both cores busy, each as the
// bridge cycle synchronises (again at the next tick after a failed call). The calls that failed
// are reported; the benchmarks count them against their target.
TEST_P(EmulatedChip, SynchronisesFiftyTimesBesideBusyProcesses)
{
    constexpr int kLinks = 50;
    const test::TBusyNeighbours neighbours(2);
    ASSERT_EQ(neighbours.Count(), 2);
    int failedCalls = 0;
    for (int i = 0; i < kLinks; ++i) {
        int failed = 0;
        ASSERT_TRUE(Synch(&failed)) << "link " << i << " after " << failed << " failed calls";
        failedCalls += failed;
    }
    RecordProperty("FailedHandshakeCalls", failedCalls);
    std::printf("%d of %d handshakes needed another call\n", failedCalls, kLinks);
}

INSTANTIATE_TEST_SUITE_P(Chips, EmulatedChip,
                         testing::Values(TChipType::FT2232D, TChipType::FT2232H, TChipType::FT4232H,
                                         TChipType::FT232H),
                         [](const auto &info) { return usbemu::Model(info.param).Name; });

class EmulatedLink : public EmulatedChip
{
};

// The link on a full-speed and a high-speed chip: an exact stream both ways while the reader
// pauses, through a chip that stops taking packets for a while (the link's writes time out
// part-way), an IN and an OUT transfer cut by errors, and never a frame's data taken for
// commands. Then the chip is pulled out mid-stream: the link fails, and once the chip is back
// a new link streams exactly again.
TEST_P(EmulatedLink, ExactStreamThroughStallsCutsAndAnUnplug)
{
    ASSERT_TRUE(Synch());
    TSSCClass &link = *Link;
    // Host bytes reach the device at about 200 a second at its 1 MHz clock.
    EXPECT_TRUE(StreamThrough(link, 1600, [&] {
        Chip->HoldFromHostAfter(0, 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * ssc::kDriverTimeoutMs));
        Chip->HoldFromHostAfter(0, usbemu::kNoHold);
        Chip->CutNextTransfer(0, true, 600);
        Chip->CutNextTransfer(0, false, 1000);
    }));
    EXPECT_EQ(Chip->BadCommands(0), 0);

    EXPECT_FALSE(StreamThrough(link, 800, [&] { Testbed->Unplug(Chip); }));
    EXPECT_TRUE(test::WaitUntil([&] { return link.DeviceFailing(); }));
    RetireLink(Link);

    Chip = Testbed->AddChip(GetParam());
    ASSERT_TRUE(Synch());
    EXPECT_TRUE(StreamThrough(*Link, 200, [] {}));
    EXPECT_EQ(Chip->BadCommands(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Chips, EmulatedLink,
                         testing::Values(TChipType::FT2232D, TChipType::FT2232H),
                         [](const auto &info) { return usbemu::Model(info.param).Name; });

class EmulatedDriver : public EmulatedChip
{
};

// The D2XX calls on a high-speed chip: writes queued and sent exactly however a transfer ends,
// reads that never wait for the chip to go quiet and a read-ahead that stops at its size,
// failures as D2XX's codes, and the channel given back to ftdi_sio only when ftdi_sio had it.
TEST_P(EmulatedDriver, KeepsD2xxPromisesOverRealTransfers)
{
    const FT_HANDLE handle = OpenMpsse(50, 200);
    unsigned char byte = 0;
    DWORD got = 7;
    EXPECT_EQ(Ft.FT_Read(handle, &byte, 1, &got), d2xx::FT_OK);
    EXPECT_EQ(got, 0u) << "the read timeout passed with nothing there";

    // A chip that stops after one packet: FT_Write queues the whole frame and returns, and the
    // bytes stay counted until the chip has taken them. Then the transfer is cut by an error
    // after the next packet: the driver sends exactly the rest, and the frame's answers come
    // back whole.
    const std::size_t packet = Chip->Model().MaxPacket;
    Chip->HoldFromHostAfter(0, packet + 10);
    DWORD written = 0;
    EXPECT_EQ(Write(handle, Frames(1), written), d2xx::FT_OK);
    EXPECT_EQ(written, 4099u);
    EXPECT_EQ(Pending(handle), 4099u);
    Chip->CutNextTransfer(0, false, 2 * packet);
    Chip->HoldFromHostAfter(0, usbemu::kNoHold);
    EXPECT_EQ(Drain(handle, 4096), 4096u);
    EXPECT_EQ(Pending(handle), 0u);

    // Two transfers out and the first cut while the chip holds the second: the second is
    // cancelled before it moves, then the rest of the first and the second go again, in order.
    const std::vector<unsigned char> three = Frames(3);
    Chip->HoldFromHostAfter(0, packet + 10);
    EXPECT_EQ(Write(handle, three, written), d2xx::FT_OK);
    ASSERT_TRUE(test::WaitUntil([&] { return Chip->OutTransfersLeft(0) == three.size() - packet; }))
        << "both transfers out";
    Chip->CutNextTransfer(0, false, 2 * packet);
    Chip->HoldFromHostAfter(0, packet);
    ASSERT_TRUE(test::WaitUntil([&] {
        return Pending(handle) == three.size() - 2 * packet &&
               Chip->OutTransfersLeft(0) == three.size() - 2 * packet;
    })) << "sent again from the cut";
    Chip->HoldFromHostAfter(0, usbemu::kNoHold);
    EXPECT_EQ(Drain(handle, 3 * 4096), 3 * 4096u);
    EXPECT_EQ(Pending(handle), 0u);
    EXPECT_EQ(Chip->BadCommands(0), 0);

    // A chip that takes nothing: FT_Write fills the queue, then returns what it queued when its
    // write timeout passes.
    Chip->HoldFromHostAfter(0, 0);
    EXPECT_EQ(
        Write(handle, std::vector<unsigned char>(ftdi1::kWriteQueueSize + 100, 0x87), written),
        d2xx::FT_OK);
    EXPECT_EQ(written, ftdi1::kWriteQueueSize);
    Chip->HoldFromHostAfter(0, usbemu::kNoHold);
    EXPECT_TRUE(test::WaitUntil([&] { return Pending(handle) == 0; }));

    // Nobody reads: the read-ahead fills to its size and no further and the chip's clock stalls,
    // with frames still waiting to go; then everything comes out, once.
    constexpr std::size_t kFrames = 24;
    std::vector<unsigned char> frames = Frames(kFrames);
    EXPECT_EQ(Write(handle, frames, written), d2xx::FT_OK);
    EXPECT_EQ(written, frames.size());
    ASSERT_TRUE(test::WaitUntil([&] { return Held(handle) + 4096 > kReadAhead; }));
    EXPECT_LE(Held(handle), kReadAhead);
    EXPECT_GT(Pending(handle), 0u);
    EXPECT_EQ(Drain(handle, kFrames * 4096), kFrames * 4096);
    EXPECT_EQ(Chip->BadCommands(0), 0);

    // The channel goes back to ftdi_sio at close only when ftdi_sio had it at open.
    EXPECT_EQ(Ft.FT_Close(handle), d2xx::FT_OK);
    Opened.clear();
    EXPECT_FALSE(Chip->KernelDriver(0));
    Chip->SetKernelDriver(0, true);
    FT_HANDLE again = OpenMpsse(50, 50);
    EXPECT_FALSE(Chip->KernelDriver(0)) << "detached while open";
    EXPECT_EQ(Ft.FT_Close(again), d2xx::FT_OK);
    Opened.clear();
    EXPECT_TRUE(Chip->KernelDriver(0));

    // Unplugged while a read waits without a timeout: the read and every later call fail, the
    // chip is no longer listed, and it can be opened again once it is back.
    FT_HANDLE gone = OpenMpsse(0, 50);
    auto waiting = std::async(std::launch::async, [&] {
        DWORD none = 0;
        return Ft.FT_Read(gone, &byte, 1, &none);
    });
    Testbed->Unplug(Chip);
    ASSERT_EQ(waiting.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), d2xx::FT_IO_ERROR);
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_EQ(Ft.FT_GetStatus(gone, &rx, &tx, &events), d2xx::FT_IO_ERROR);
    EXPECT_EQ(Write(gone, {0x85}, written), d2xx::FT_IO_ERROR);
    EXPECT_EQ(List(), std::vector<std::string>{});
    Ft.FT_Close(gone);
    Opened.clear();
    EXPECT_EQ(Ft.FT_Close(gone), d2xx::FT_INVALID_HANDLE);
    Chip = Testbed->AddChip(GetParam());
    FT_HANDLE back = nullptr;
    EXPECT_EQ(Open(ChannelA(), back), d2xx::FT_OK);

    // D2XX's codes for bad arguments.
    EXPECT_EQ(Ft.FT_SetLatencyTimer(back, 0), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Ft.FT_Read(back, nullptr, 4, &got), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Ft.FT_GetStatus(back, nullptr, nullptr, nullptr), d2xx::FT_INVALID_PARAMETER);
    int unknown = 0;
    EXPECT_EQ(Ft.FT_Read(&unknown, nullptr, 0, &got), d2xx::FT_INVALID_HANDLE);
    EXPECT_EQ(
        Ft.FT_OpenEx(const_cast<char *>("Dual RS232-HS C"), d2xx::FT_OPEN_BY_DESCRIPTION, &back),
        d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Ft.FT_ListDevices(nullptr, nullptr, 0x12345), d2xx::FT_INVALID_PARAMETER);
}

// Two chips of one product string, one with a blank EEPROM: D2XX's serial number per channel (the
// chip's and the channel's letter), none for the blank one, a location per channel, and the
// second chip's channel B opened by its serial number.
TEST_P(EmulatedDriver, ChipsOfOneProductAreToldApartBySerialNumber)
{
    const auto second = Testbed->AddChip(GetParam(), "FT7Q2W");
    std::vector<TDeviceEntry> entries;
    ASSERT_FALSE(ListDeviceEntries(Ft, entries));
    ASSERT_EQ(entries.size(), 4U);
    std::vector<std::string> serials;
    std::vector<std::uint32_t> locations;
    for (const TDeviceEntry &entry : entries) {
        EXPECT_TRUE(entry.Openable) << entry.Reason;
        ASSERT_TRUE(entry.Serial && entry.Location);
        serials.push_back(*entry.Serial);
        locations.push_back(*entry.Location);
        // Channel A's location ends in 1, B's in 2.
        EXPECT_EQ(*entry.Location & 0xF, entry.Description.back() == 'A' ? 1U : 2U);
    }
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"", "", "FT7Q2WA", "FT7Q2WB"}));
    std::sort(locations.begin(), locations.end());
    EXPECT_EQ(std::adjacent_find(locations.begin(), locations.end()), locations.end());
    const std::optional<TDeviceEntry> b = WithSerial(entries, "FT7Q2WB");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->Description, "Dual RS232-HS B");

    FT_HANDLE handle = nullptr;
    ASSERT_EQ(Ft.FT_OpenEx(const_cast<char *>("FT7Q2WB"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle),
              d2xx::FT_OK);
    Opened.push_back(handle);
    // A blank EEPROM's empty serial number is nobody's.
    FT_HANDLE none = nullptr;
    EXPECT_EQ(Ft.FT_OpenEx(const_cast<char *>(""), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &none),
              d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Ft.FT_OpenEx(const_cast<char *>("FT7Q2W"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &none),
              d2xx::FT_DEVICE_NOT_FOUND);
    Testbed->Unplug(second);
}

// Closed while another thread reads and another writes, time after time: the transfers those
// calls put in flight while the channel closes are cancelled too, the calls end with a failure,
// and the channel opens again at once.
TEST_P(EmulatedDriver, ClosesWhileOtherThreadsReadAndWrite)
{
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        FT_HANDLE handle = nullptr;
        ASSERT_EQ(Open(ChannelA(), handle), d2xx::FT_OK) << "round " << round;
        Opened.clear();
        ASSERT_EQ(Ft.FT_SetBitMode(handle, 0, d2xx::FT_BITMODE_MPSSE), d2xx::FT_OK);
        ASSERT_EQ(Ft.FT_SetTimeouts(handle, 1000, 1000), d2xx::FT_OK);
        // Both calls wait at most their timeouts: after a fault, `stop` ends them.
        std::atomic<bool> stop{false};
        std::atomic<std::size_t> received{0};
        auto reader = std::async(std::launch::async, [&] {
            std::vector<unsigned char> bytes(1024);
            DWORD got = 0;
            d2xx::FT_STATUS status = d2xx::FT_OK;
            while (!stop && (status = Ft.FT_Read(handle, bytes.data(), DWORD(bytes.size()),
                                                 &got)) == d2xx::FT_OK)
                received += got;
            return status;
        });
        auto writer = std::async(std::launch::async, [&] {
            DWORD written = 0;
            d2xx::FT_STATUS status = d2xx::FT_OK;
            while (!stop && (status = Write(handle, Frames(1), written)) == d2xx::FT_OK) {
            }
            return status;
        });
        const bool flowing = test::WaitUntil([&] { return received > 0; });
        EXPECT_EQ(Ft.FT_Close(handle), d2xx::FT_OK) << "round " << round;
        const bool ended = reader.wait_for(60s) == std::future_status::ready &&
                           writer.wait_for(60s) == std::future_status::ready;
        stop = true;
        ASSERT_TRUE(flowing) << "round " << round;
        ASSERT_TRUE(ended) << "round " << round;
        EXPECT_NE(reader.get(), d2xx::FT_OK);
        EXPECT_NE(writer.get(), d2xx::FT_OK);
    }
}

// A submit the kernel refuses is tried again and the stream goes on whole, either way; one
// refused every time fails the channel with FT_IO_ERROR and says why on stderr, where FT_OK
// with nothing read for ever would hide it.
TEST_P(EmulatedDriver, RefusedSubmitsAreTriedAgainThenReported)
{
    testing::internal::CaptureStderr();
    FT_HANDLE handle = OpenMpsse(1000, 1000);
    DWORD written = 0;
    Chip->RefuseSubmits(0, true, 2);
    ASSERT_TRUE(test::WaitUntil([&] { return Chip->SubmitsRefused(0, true) == 2; }));
    EXPECT_EQ(Write(handle, Frames(2), written), d2xx::FT_OK);
    EXPECT_EQ(Drain(handle, 2 * 4096), 2 * 4096u);
    Chip->RefuseSubmits(0, false, 2);
    EXPECT_EQ(Write(handle, Frames(1), written), d2xx::FT_OK);
    EXPECT_EQ(Drain(handle, 4096), 4096u);
    EXPECT_EQ(Chip->SubmitsRefused(0, false), 2u);
    EXPECT_EQ(Pending(handle), 0u);
    EXPECT_EQ(Chip->BadCommands(0), 0);

    // Reads refused for good: every call fails once the retries are used up.
    Chip->RefuseSubmits(0, true, usbemu::kNoHold);
    DWORD rx = 0, tx = 0, events = 0;
    ASSERT_TRUE(test::WaitUntil(
        [&] { return Ft.FT_GetStatus(handle, &rx, &tx, &events) == d2xx::FT_IO_ERROR; }));
    unsigned char byte = 0;
    DWORD got = 0;
    EXPECT_EQ(Ft.FT_Read(handle, &byte, 1, &got), d2xx::FT_IO_ERROR);
    EXPECT_EQ(Write(handle, {0x87}, written), d2xx::FT_IO_ERROR);
    Ft.FT_Close(handle);
    Opened.clear();

    // Writes refused for good, on a channel opened again.
    Chip->RefuseSubmits(0, true, 0);
    handle = OpenMpsse(1000, 1000);
    Chip->RefuseSubmits(0, false, usbemu::kNoHold);
    EXPECT_EQ(Write(handle, Frames(1), written), d2xx::FT_OK);
    ASSERT_TRUE(test::WaitUntil(
        [&] { return Ft.FT_GetStatus(handle, &rx, &tx, &events) == d2xx::FT_IO_ERROR; }));
    EXPECT_EQ(Write(handle, {0x87}, written), d2xx::FT_IO_ERROR);
    Ft.FT_Close(handle);
    Opened.clear();

    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("\"" + ChannelA() + "\": a transfer from the chip could not be submitted"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("\"" + ChannelA() + "\": a transfer to the chip could not be submitted"),
              std::string::npos)
        << said;
}

// An endpoint that stalls, either way, has its halt cleared and the stream resumes with no byte
// lost or sent twice, each stall said on stderr; one that stalls again after every clear fails
// the channel once kStallRetries clears in a row did not help.
TEST_P(EmulatedDriver, StalledEndpointsAreClearedAndResume)
{
    testing::internal::CaptureStderr();
    const FT_HANDLE handle = OpenMpsse(1000, 1000);
    DWORD written = 0;
    Chip->HaltEndpoint(0, true, false);
    ASSERT_TRUE(test::WaitUntil([&] { return Chip->HaltsCleared(0, true) == 1; }));
    EXPECT_EQ(Write(handle, Frames(2), written), d2xx::FT_OK);
    EXPECT_EQ(Drain(handle, 2 * 4096), 2 * 4096u);

    // The chip takes at most a packet of the frame, then its OUT endpoint halts.
    Chip->HoldFromHostAfter(0, Chip->Model().MaxPacket);
    EXPECT_EQ(Write(handle, Frames(1), written), d2xx::FT_OK);
    Chip->HaltEndpoint(0, false, false);
    Chip->HoldFromHostAfter(0, usbemu::kNoHold);
    ASSERT_TRUE(test::WaitUntil([&] { return Chip->HaltsCleared(0, false) == 1; }));
    EXPECT_EQ(Drain(handle, 4096), 4096u);
    EXPECT_EQ(Pending(handle), 0u);
    EXPECT_EQ(Chip->BadCommands(0), 0);

    Chip->HaltEndpoint(0, true, true);
    DWORD rx = 0, tx = 0, events = 0;
    ASSERT_TRUE(test::WaitUntil(
        [&] { return Ft.FT_GetStatus(handle, &rx, &tx, &events) == d2xx::FT_IO_ERROR; }));
    EXPECT_EQ(Chip->HaltsCleared(0, true), 1u + ftdi1::kStallRetries + 1);

    Ft.FT_Close(handle);
    Opened.clear();
    const std::string said = testing::internal::GetCapturedStderr();
    const std::string name = "libftd2xx-ftdi1: \"" + ChannelA() + "\": ";
    EXPECT_NE(said.find(name + "the endpoint from the chip stalled, cleared (1)\n"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(name + "the endpoint to the chip stalled, cleared (1)\n"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(name + "the endpoint from the chip stalled 4 times in a row"),
              std::string::npos)
        << said;
}

// A transfer cut while the one behind it already moves: the kernel lets that one run on past the
// gap, so the chip has the bytes out of order; the channel fails, and says why, rather than go on
// with a stream that is no longer the one written.
TEST_P(EmulatedDriver, ACutWithTheNextTransferMovingFailsTheChannel)
{
    testing::internal::CaptureStderr();
    const FT_HANDLE handle = OpenMpsse(1000, 1000);
    const std::size_t packet = Chip->Model().MaxPacket;
    Chip->HoldFromHostAfter(0, packet);
    DWORD written = 0;
    EXPECT_EQ(Write(handle, Frames(3), written), d2xx::FT_OK);
    ASSERT_TRUE(test::WaitUntil([&] { return Chip->OutTransfersLeft(0) == 3 * 4099u - packet; }));
    Chip->CutNextTransfer(0, false, 2 * packet);
    Chip->HoldFromHostAfter(0, usbemu::kNoHold);
    DWORD rx = 0, tx = 0, events = 0;
    ASSERT_TRUE(test::WaitUntil(
        [&] { return Ft.FT_GetStatus(handle, &rx, &tx, &events) == d2xx::FT_IO_ERROR; }));
    EXPECT_EQ(Write(handle, Frames(1), written), d2xx::FT_IO_ERROR);
    Ft.FT_Close(handle);
    Opened.clear();
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("bytes after the one before it was cut short: the chip has them out of "
                        "order: the channel fails from now on\n"),
              std::string::npos)
        << said;
}

INSTANTIATE_TEST_SUITE_P(Chips, EmulatedDriver, testing::Values(TChipType::FT2232H),
                         [](const auto &info) { return usbemu::Model(info.param).Name; });
