// Debian's libusb-1.0 and libftdi1, as shipped, against the emulated chips: enumeration, opening
// every channel, MPSSE round trips, the latency timer's status-only packets, the SSC device's
// behaviour, the buffers' sizes and the requests a chip refuses. Table-driven over the four chip
// types.
#include "usbemu/UsbTestbed.h"

#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{

using usbemu::TChipModel;
using usbemu::TChipType;

constexpr auto kPatience = std::chrono::seconds(20);
constexpr int kSkipped = 77;

template <typename TPredicate> bool WaitUntil(TPredicate Predicate)
{
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (!Predicate()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return Predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Maps()
{
    std::ifstream file("/proc/self/maps");
    return std::string(std::istreambuf_iterator<char>(file), {});
}

struct TFtdiDeleter {
    void operator()(ftdi_context *Ftdi) const
    {
        ftdi_usb_close(Ftdi);
        ftdi_free(Ftdi);
    }
};
using TFtdi = std::unique_ptr<ftdi_context, TFtdiDeleter>;

class UsbEmulation : public ::testing::TestWithParam<TChipType>
{
protected:
    void SetUp() override
    {
        Testbed = std::make_unique<usbemu::TUsbTestbed>();
        if (!Testbed->InMockEnvironment())
            GTEST_SKIP() << "not under umockdev's preload";
        Chip = Testbed->AddChip(GetParam());
    }

    void TearDown() override
    {
        Chip.reset();
        Testbed.reset();
    }

    const TChipModel &Model() const { return Chip->Model(); }

    // Opens channel `Index` (0 = A) through libftdi1, found by VID, PID and product string.
    TFtdi Open(unsigned Index)
    {
        TFtdi ftdi(ftdi_new());
        EXPECT_NE(ftdi, nullptr);
        EXPECT_EQ(ftdi_set_interface(ftdi.get(), static_cast<ftdi_interface>(INTERFACE_A + Index)),
                  0);
        const int opened = ftdi_usb_open_desc(ftdi.get(), usbemu::kFtdiVendorId, Model().ProductId,
                                              Model().Product, nullptr);
        EXPECT_EQ(opened, 0) << ftdi_get_error_string(ftdi.get());
        if (opened != 0)
            return nullptr;
        ftdi->usb_read_timeout = 5000;
        ftdi->usb_write_timeout = 5000;
        return ftdi;
    }

    // Reads exactly `Count` bytes, or fewer if they do not come within the patience.
    static std::vector<std::uint8_t> ReadBytes(ftdi_context *Ftdi, std::size_t Count)
    {
        std::vector<std::uint8_t> bytes(Count);
        std::size_t got = 0;
        const auto giveUp = std::chrono::steady_clock::now() + kPatience;
        while (got < Count && std::chrono::steady_clock::now() < giveUp) {
            const int n = ftdi_read_data(Ftdi, bytes.data() + got, static_cast<int>(Count - got));
            if (n < 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    std::unique_ptr<usbemu::TUsbTestbed> Testbed;
    std::shared_ptr<usbemu::TFtdiChip> Chip;
};

TEST_P(UsbEmulation, TheSystemLibrariesAreTheOnesLoaded)
{
    const std::string maps = Maps();
    EXPECT_NE(maps.find("/usr/lib/x86_64-linux-gnu/libusb-1.0.so.0"), std::string::npos);
    EXPECT_NE(maps.find("/usr/lib/x86_64-linux-gnu/libftdi1.so.2"), std::string::npos);
    EXPECT_NE(maps.find("libumockdev-preload.so.0"), std::string::npos);
    EXPECT_EQ(maps.find("standin"), std::string::npos);
}

TEST_P(UsbEmulation, LibusbEnumeratesTheChip)
{
    libusb_context *context = nullptr;
    ASSERT_EQ(libusb_init(&context), 0);
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    ASSERT_EQ(count, 1);
    libusb_device_descriptor descriptor{};
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &descriptor), 0);
    EXPECT_EQ(descriptor.idVendor, 0x0403);
    EXPECT_EQ(descriptor.idProduct, Model().ProductId);
    EXPECT_EQ(descriptor.bcdDevice, Model().BcdDevice);
    EXPECT_EQ(libusb_get_device_speed(list[0]),
              Model().HighSpeed ? LIBUSB_SPEED_HIGH : LIBUSB_SPEED_FULL);
    for (unsigned i = 0; i < Model().Channels; ++i) {
        EXPECT_EQ(libusb_get_max_packet_size(list[0], usbemu::InEndpoint(i)), Model().MaxPacket);
        EXPECT_EQ(libusb_get_max_packet_size(list[0], usbemu::OutEndpoint(i)), Model().MaxPacket);
    }
    libusb_device_handle *handle = nullptr;
    ASSERT_EQ(libusb_open(list[0], &handle), 0);
    unsigned char text[64] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(handle, descriptor.iProduct, text, sizeof text),
              0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), Model().Product);
    ASSERT_GT(
        libusb_get_string_descriptor_ascii(handle, descriptor.iManufacturer, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(text), "FTDI");
    EXPECT_EQ(descriptor.iSerialNumber, 0); // a blank EEPROM has none
    libusb_close(handle);
    libusb_free_device_list(list, 1);
    libusb_exit(context);
}

TEST_P(UsbEmulation, LibftdiOpensEveryChannelAndMpsseWhereTheChipHasIt)
{
    const ftdi_chip_type expected[] = {TYPE_2232C, TYPE_2232H, TYPE_4232H, TYPE_232H};
    for (unsigned i = 0; i < Model().Channels; ++i) {
        SCOPED_TRACE("channel " + std::to_string(i));
        TFtdi ftdi = Open(i);
        ASSERT_NE(ftdi, nullptr);
        EXPECT_EQ(ftdi->type, expected[static_cast<int>(GetParam())]);
        EXPECT_EQ(ftdi->max_packet_size, Model().MaxPacket);
        ASSERT_EQ(ftdi_set_latency_timer(ftdi.get(), 3), 0);
        unsigned char latency = 0;
        ASSERT_EQ(ftdi_get_latency_timer(ftdi.get(), &latency), 0);
        EXPECT_EQ(latency, 3);
        const int mpsse = ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE);
        if (i < Model().MpsseChannels) {
            EXPECT_EQ(mpsse, 0) << ftdi_get_error_string(ftdi.get());
            EXPECT_EQ(Chip->BitMode(i), BITMODE_MPSSE);
        } else {
            EXPECT_LT(mpsse, 0) << "this channel has no MPSSE";
        }
        unsigned short status = 0;
        ASSERT_EQ(ftdi_poll_modem_status(ftdi.get(), &status), 0);
        EXPECT_EQ(status, usbemu::kModemStatus0 | usbemu::kModemStatus1 << 8);
    }
}

TEST_P(UsbEmulation, MpsseLoopbackRoundTripsExactlyAndAnIdleReadGivesNothing)
{
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    ASSERT_EQ(ftdi_set_latency_timer(ftdi.get(), 2), 0);
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE), 0);
    // Nothing asked for: the latency timer's packets carry the status bytes alone.
    std::uint8_t spare[16];
    EXPECT_EQ(ftdi_read_data(ftdi.get(), spare, sizeof spare), 0);

    // More than a packet each way, so that full packets and a short one both occur; each
    // command asks no more than the buffer to the host holds, since this host writes before it
    // reads (a chip whose buffer is full takes no more commands).
    std::vector<std::uint8_t> payload(700);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::uint8_t setup[] = {0x84, 0x86, 0x00, 0x00};
    ASSERT_EQ(ftdi_write_data(ftdi.get(), setup, sizeof setup), int{sizeof setup});
    const std::size_t chunk = std::min(payload.size(), Model().ToHostBytes);
    for (const std::uint8_t opcode : {std::uint8_t{0x31}, std::uint8_t{0x39}}) {
        for (std::size_t at = 0; at < payload.size(); at += chunk) {
            const std::size_t count = std::min(chunk, payload.size() - at);
            std::vector<std::uint8_t> commands{opcode,
                                               static_cast<std::uint8_t>((count - 1) & 0xFF),
                                               static_cast<std::uint8_t>((count - 1) >> 8)};
            commands.insert(commands.end(), payload.begin() + static_cast<long>(at),
                            payload.begin() + static_cast<long>(at + count));
            commands.push_back(0x87);
            ASSERT_EQ(
                ftdi_write_data(ftdi.get(), commands.data(), static_cast<int>(commands.size())),
                static_cast<int>(commands.size()));
            const std::vector<std::uint8_t> answer = ReadBytes(ftdi.get(), count);
            ASSERT_EQ(answer.size(), count);
            EXPECT_TRUE(
                std::equal(answer.begin(), answer.end(), payload.begin() + static_cast<long>(at)));
        }
    }
    // Not a byte more: the status bytes were stripped and nothing else is queued.
    EXPECT_EQ(ftdi_read_data(ftdi.get(), spare, sizeof spare), 0);
}

TEST_P(UsbEmulation, AnUnknownOpcodeIsAnsweredWithBadCommand)
{
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE), 0);
    // 0x8A (clock divide by 5 off) exists only on the high-speed chips.
    std::uint8_t commands[] = {0xAB, 0x8A, 0x87};
    ASSERT_EQ(ftdi_write_data(ftdi.get(), commands, sizeof commands), 3);
    const std::vector<std::uint8_t> expected =
        Model().HighSpeed ? std::vector<std::uint8_t>{0xFA, 0xAB}
                          : std::vector<std::uint8_t>{0xFA, 0xAB, 0xFA, 0x8A};
    EXPECT_EQ(ReadBytes(ftdi.get(), expected.size()), expected);
}

TEST_P(UsbEmulation, TheSscDeviceSendsWhatItIsToldToFromItsFirstFrame)
{
    // Told before the open, whose reset the behaviour outlasts.
    Chip->SetBehaviour(0, vsim::TBehaviour::Counter);
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE), 0);
    // A frame of four words, LSB first as the device shifts: its pairs come back as they are.
    std::uint8_t frame[] = {0x3D, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x87};
    ASSERT_EQ(ftdi_write_data(ftdi.get(), frame, sizeof frame), int{sizeof frame});
    const std::vector<std::uint8_t> counted{0, 1, 1, 1, 2, 1, 3, 1};
    EXPECT_EQ(ReadBytes(ftdi.get(), counted.size()), counted);
}

TEST_P(UsbEmulation, TheClockStallsWhenTheBufferToTheHostIsFull)
{
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE), 0);
    // Read three buffers' worth while the host reads nothing.
    const std::size_t total = 3 * Model().ToHostBytes;
    std::uint8_t commands[] = {0x84,
                               0x80,
                               0x02,
                               0x02,
                               0x2C,
                               static_cast<std::uint8_t>((total - 1) & 0xFF),
                               static_cast<std::uint8_t>((total - 1) >> 8)};
    ASSERT_EQ(ftdi_write_data(ftdi.get(), commands, sizeof commands), int{sizeof commands});
    EXPECT_TRUE(WaitUntil([&] { return Chip->ToHostQueued(0) == Model().ToHostBytes; }));
    EXPECT_EQ(Chip->ToHostQueued(0), Model().ToHostBytes);
    // Reading lets the clock go on, and every byte comes (loop-back of a high data pin).
    const std::vector<std::uint8_t> answer = ReadBytes(ftdi.get(), total);
    ASSERT_EQ(answer.size(), total);
    EXPECT_EQ(std::count(answer.begin(), answer.end(), 0xFF), static_cast<long>(total));
}

TEST_P(UsbEmulation, TheBufferFromTheHostTakesWholePacketsUpToItsSize)
{
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE), 0);
    // A read longer than the buffer to the host stalls the engine with that buffer full.
    std::uint8_t stall[] = {0x2C, 0xFF, 0xFF};
    ASSERT_EQ(ftdi_write_data(ftdi.get(), stall, sizeof stall), int{sizeof stall});
    ASSERT_TRUE(WaitUntil([&] { return Chip->ToHostQueued(0) == Model().ToHostBytes; }));
    // Behind it, the buffer from the host fills and then refuses packets: the write gives up
    // at its timeout and libusb takes its transfer back.
    ftdi->usb_write_timeout = 200;
    std::vector<std::uint8_t> more(Model().FromHostBytes + 2 * Model().MaxPacket, 0x87);
    EXPECT_LT(ftdi_write_data(ftdi.get(), more.data(), static_cast<int>(more.size())),
              static_cast<int>(more.size()));
    EXPECT_EQ(Chip->FromHostQueued(0), Model().FromHostBytes);
}

TEST_P(UsbEmulation, RoundTripTimes)
{
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    ASSERT_EQ(ftdi_set_latency_timer(ftdi.get(), 2), 0);
    ASSERT_EQ(ftdi_set_bitmode(ftdi.get(), 0, BITMODE_MPSSE), 0);
    std::uint8_t setup[] = {0x84};
    ASSERT_EQ(ftdi_write_data(ftdi.get(), setup, 1), 1);
    // Reported, never asserted: three bytes out and back, answered at once (0x87) and by the
    // latency timer.
    for (const bool immediate : {true, false}) {
        constexpr int kRounds = 100;
        std::vector<double> times;
        for (int i = 0; i < kRounds; ++i) {
            std::vector<std::uint8_t> commands{0x31, 0x02, 0x00,
                                               1,    2,    static_cast<std::uint8_t>(i)};
            if (immediate)
                commands.push_back(0x87);
            const auto start = std::chrono::steady_clock::now();
            ASSERT_EQ(
                ftdi_write_data(ftdi.get(), commands.data(), static_cast<int>(commands.size())),
                static_cast<int>(commands.size()));
            ASSERT_EQ(ReadBytes(ftdi.get(), 3).size(), 3U);
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
        std::sort(times.begin(), times.end());
        std::printf("%s round trip (%s): median %.2f ms, slowest %.2f ms\n", Model().Name,
                    immediate ? "send immediate" : "2 ms latency timer", times[kRounds / 2],
                    times.back());
    }
}

TEST_P(UsbEmulation, RequestsTheChipWouldRefuseAreRefused)
{
    TFtdi ftdi = Open(0);
    ASSERT_NE(ftdi, nullptr);
    libusb_device_handle *handle = ftdi->usb_dev;
    // An unknown vendor request.
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x55, 0, 1, nullptr, 0, 1000),
              LIBUSB_ERROR_PIPE);
    // A channel the chip does not have.
    const auto missing = static_cast<std::uint16_t>(Model().Channels + 1);
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x09, 16, missing, nullptr, 0, 1000),
              LIBUSB_ERROR_PIPE);
    // A bit mode no FTDI chip has.
    EXPECT_EQ(libusb_control_transfer(handle, 0x40, 0x0B, 0x8000, 1, nullptr, 0, 1000),
              LIBUSB_ERROR_PIPE);
    // A set request sent as a get.
    unsigned char byte = 0;
    EXPECT_EQ(libusb_control_transfer(handle, 0xC0, 0x09, 16, 1, &byte, 1, 1000),
              LIBUSB_ERROR_PIPE);
}

// USB's clock, on a chip driven directly with time of the test's own: no testbed, no thread, so
// every figure is exact whatever the machine is doing.
class ChipClock : public ::testing::TestWithParam<TChipType>
{
protected:
    using TClock = usbemu::TFtdiChip::TClock;

    ChipClock() : Chip(GetParam(), "") {}

    void Vendor(std::uint8_t Request, std::uint16_t Value)
    {
        const std::uint8_t setup[8] = {
            0x40, Request, std::uint8_t(Value & 0xFF), std::uint8_t(Value >> 8), 1, 0, 0, 0};
        ASSERT_FALSE(Chip.Control(setup, {}).Stall);
    }
    // Submits a bulk transfer to channel A's OUT endpoint.
    void Write(std::uintptr_t Key, std::vector<std::uint8_t> Bytes)
    {
        ASSERT_TRUE(Chip.SubmitOut(Key, usbemu::OutEndpoint(0), std::move(Bytes)));
    }

    usbemu::TFtdiChip Chip;
    const TChipModel &Model = Chip.Model();
};

// Bulk packets move at most 19 to a full-speed frame and 13 to a high-speed microframe; the
// latency timer runs out at a whole millisecond tick of the chip; and while IN transfers are
// queued the engine clocks without a pause however late the chip is pumped: 1 MHz, 125 bytes a
// millisecond, on every chip.
TEST_P(ChipClock, PacketsKeepUsbsPaceAndTheClockNeverWaitsForAQueuedRead)
{
    const std::size_t budget = Model.HighSpeed ? 13 : 19;
    const auto frame = std::chrono::microseconds(Model.HighSpeed ? 125 : 1000);
    Vendor(0x0B, 0x0200); // MPSSE
    Vendor(0x09, 4);      // latency timer 4 ms
    TClock::time_point now = TClock::now();
    ASSERT_TRUE(Chip.Pump(now).empty());

    // OUT: send-immediates, which the engine takes at once; only the bus holds them back.
    const std::size_t packets = 3 * budget;
    Write(1, std::vector<std::uint8_t>(packets * Model.MaxPacket, 0x87));
    now += std::chrono::microseconds(1);
    ASSERT_TRUE(Chip.Pump(now).empty());
    const std::optional<usbemu::TFinished> part = Chip.Discard(1);
    ASSERT_TRUE(part);
    EXPECT_GT(part->Length, 0U);
    EXPECT_LE(part->Length, 2 * budget * Model.MaxPacket) << "two (micro)frames at the most";
    Write(2, std::vector<std::uint8_t>(packets * Model.MaxPacket, 0x87));
    now += 4 * frame;
    const std::vector<usbemu::TFinished> written = Chip.Pump(now);
    ASSERT_EQ(written.size(), 1U);
    EXPECT_EQ(written[0].Length, packets * Model.MaxPacket);

    // IN with nothing to send: status bytes alone once the latency timer runs out, at the chip's
    // 4th millisecond tick after the one that follows the last packet: between 4 and 5 ms.
    const auto step = std::chrono::microseconds(125);
    auto pumpUntilOne = [&](std::uintptr_t Key) {
        EXPECT_TRUE(Chip.SubmitIn(Key, usbemu::InEndpoint(0), 4096));
        for (int i = 0; i < 1000; ++i) {
            now += step;
            const std::vector<usbemu::TFinished> done = Chip.Pump(now);
            if (!done.empty()) {
                EXPECT_EQ(done.size(), 1U);
                EXPECT_EQ(done[0].Length, 2U);
                return now;
            }
        }
        ADD_FAILURE() << "no status packet";
        return now;
    };
    const TClock::time_point first = pumpUntilOne(3);
    const TClock::time_point second = pumpUntilOne(4);
    EXPECT_GT(second - first, std::chrono::milliseconds(4));
    EXPECT_LE(second - first, std::chrono::milliseconds(5) + step);

    // A long read of the pins, its answers taken by eight reads kept queued and pumped only
    // every 3 ms, longer than the FT2232D's 128 bytes take to fill.
    const std::uint8_t set[] = {0x80, 0x02, 0x02, 0x84, 0x86, 0x05, 0x00, 0x2C, 0xFF, 0xFF};
    Write(5, {std::begin(set), std::end(set)});
    std::uintptr_t key = 100;
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(Chip.SubmitIn(key++, usbemu::InEndpoint(0), 2 * Model.MaxPacket));
    const TClock::time_point start = now;
    std::size_t received = 0;
    for (int step = 0; step < 100; ++step) {
        now += std::chrono::milliseconds(3);
        for (const usbemu::TFinished &done : Chip.Pump(now)) {
            for (std::size_t at = 0; at < done.Length; at += Model.MaxPacket)
                received += std::min<std::size_t>(Model.MaxPacket, done.Length - at) - 2;
            if (done.Key >= 100) {
                ASSERT_TRUE(Chip.SubmitIn(key++, usbemu::InEndpoint(0), 2 * Model.MaxPacket));
            }
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(now - start).count();
    // 125 bytes a millisecond, less what is still on its way (the chip's buffer and a frame).
    EXPECT_GE(double(received), 125 * ms - double(Model.ToHostBytes) - 2 * 512);
    EXPECT_LE(double(received), 125 * ms + 1);
}

// A chip that another program left with its H-series clock fast, three-phase and waiting for a
// return clock keeps that through a bit-mode reset, as a real one does, until its own opcodes
// set it back.
TEST_P(ChipClock, AnHChipKeepsItsClockSettingsThroughABitModeReset)
{
    if (!Model.HighSpeed)
        GTEST_SKIP() << "the FT2232D has no such settings";
    Vendor(0x0B, 0x0200);
    Chip.LeaveClock(0, false, true, true);
    Vendor(0x0B, 0x0000);
    Vendor(0x0B, 0x0200);
    EXPECT_FALSE(Chip.BitNanoseconds(0)) << "adaptive clocking waits for a return clock";
    Write(1, {0x97, 0x86, 0x05, 0x00});
    ASSERT_EQ(Chip.Pump(TClock::now() + std::chrono::milliseconds(2)).size(), 1U);
    EXPECT_EQ(Chip.BitNanoseconds(0), 300U) << "60 MHz / 12, three-phase: 1.5 periods of 200 ns";
    Write(2, {0x8B, 0x8D});
    ASSERT_EQ(Chip.Pump(TClock::now() + std::chrono::milliseconds(4)).size(), 1U);
    EXPECT_EQ(Chip.BitNanoseconds(0), 1000U);
}

std::string ChipName(const ::testing::TestParamInfo<TChipType> &Info)
{
    return usbemu::Model(Info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Chips, UsbEmulation, ::testing::ValuesIn(usbemu::AllChipTypes()),
                         ChipName);
INSTANTIATE_TEST_SUITE_P(Chips, ChipClock, ::testing::ValuesIn(usbemu::AllChipTypes()), ChipName);

} // namespace
