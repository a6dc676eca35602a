// Tests of the simulated D2XX driver against the behaviour of the FTDI chip in MPSSE mode and of
// the SSC device behind it, so that the device link can later be tested against the protocol
// rather than against itself. Everything goes through the loaded module, as the program uses it.

#include "sim/SimLibrary.h"

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using d2xx::DWORD;
using d2xx::FT_HANDLE;
using d2xx::FT_STATUS;

// MPSSE commands as the chip's documentation gives them.
constexpr std::uint8_t kClockBitsIn = 0x2E;
constexpr std::uint8_t kClockBytesIn = 0x2C;
constexpr std::uint8_t kClockBytesOutIn = 0x3D;
constexpr std::uint8_t kSetLowPins = 0x80;
constexpr std::uint8_t kSetHighPins = 0x82;
constexpr std::uint8_t kLoopbackOn = 0x84;
constexpr std::uint8_t kLoopbackOff = 0x85;
constexpr std::uint8_t kSetDivisor = 0x86;
constexpr std::uint8_t kBadCommand = 0xFA;
constexpr std::uint8_t kDivisorOneMHz = 5; // 12 MHz / ((1 + 5) * 2)

// The device's side of the protocol.
constexpr std::uint8_t kPatternLow = 0xA5;
constexpr std::uint8_t kPatternHigh = 0x01;
constexpr unsigned kWordBits = 16;
constexpr std::uint8_t kFlagData = 0x01;
constexpr std::size_t kFrameBytes = 4096;
// A 4096-byte frame at 1 MHz: 32768 SCK periods.
constexpr auto kFrameTimeAtOneMHz = 32768us;

// An FT2232H channel's buffers, from its datasheet: 4 KiB from the host, 4 KiB to it.
constexpr std::size_t kCommandBufferSize = 4096;
constexpr std::size_t kReadQueueSize = 4096;
// What the simulator keeps of the bytes written.
constexpr std::size_t kWriteLogSize = 65536;

constexpr const char *kDefaultDevice = "SSC Simulator";
constexpr DWORD kListDescriptionByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION;
constexpr DWORD kListSerialByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_SERIAL_NUMBER;

// Timeouts the program uses, and a generous one for waits that must succeed.
constexpr d2xx::ULONG kProgramTimeoutMs = 50;
constexpr d2xx::ULONG kPatientMs = 5000;
constexpr d2xx::ULONG kForever = 0;

Bytes FrameCommand(const Bytes &payload)
{
    const std::size_t length = payload.size() - 1;
    Bytes frame(3 + payload.size());
    frame[0] = kClockBytesOutIn;
    frame[1] = static_cast<std::uint8_t>(length & 0xFF);
    frame[2] = static_cast<std::uint8_t>(length >> 8);
    std::copy(payload.begin(), payload.end(), frame.begin() + 3);
    return frame;
}

// Host words: (data, tag) pairs as they go out in a frame.
Bytes Pairs(std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> pairs)
{
    Bytes bytes;
    for (const auto &[data, tag] : pairs) {
        bytes.push_back(data);
        bytes.push_back(tag);
    }
    return bytes;
}

// The data bytes of the answer pairs flagged 0x01.
Bytes FlaggedBytes(const Bytes &answer)
{
    Bytes data;
    for (std::size_t i = 0; i + 1 < answer.size(); i += 2)
        if (answer[i + 1] == kFlagData)
            data.push_back(answer[i]);
    return data;
}

// Whole frames of host bytes as the link sends them: each byte as `repeats` identical (data, tag)
// pairs, the tag new for each byte, zeros at the end so that the last byte's echo is clocked too.
struct HostFrames {
    Bytes payload;
    Bytes sent; // the host bytes it carries
};

HostFrames TaggedFrames(std::size_t frames, int repeats)
{
    HostFrames host;
    std::uint8_t tag = 1;
    while (host.payload.size() + 2 * repeats < frames * kFrameBytes - 2) {
        const auto data = static_cast<std::uint8_t>(host.sent.size() * 7);
        host.sent.push_back(data);
        for (int r = 0; r < repeats; ++r) {
            host.payload.push_back(data);
            host.payload.push_back(tag);
        }
        tag = tag == 255 ? 1 : tag + 1;
    }
    host.payload.resize(frames * kFrameBytes, 0x00);
    return host;
}

// The frame commands that carry `payload` (whole frames), one after the other.
Bytes FrameCommands(const Bytes &payload)
{
    Bytes commands;
    for (auto at = payload.begin(); at != payload.end(); at += kFrameBytes) {
        const Bytes frame = FrameCommand(Bytes(at, at + kFrameBytes));
        commands.insert(commands.end(), frame.begin(), frame.end());
    }
    return commands;
}

std::chrono::microseconds ProcessCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
    const auto micros = usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    return std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
}

// A loaded simulator in fast mode, and at most one chip that the test opens and the fixture
// closes.
class Sim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Loaded()) << sim.Error();
        sim.vsim_SetRealTime(0);
    }

    void TearDown() override
    {
        if (handle != nullptr)
            sim.FT_Close(handle);
    }

    FT_STATUS OpenByDescription(const char *description, FT_HANDLE &opened)
    {
        return sim.FT_OpenEx(const_cast<char *>(description), d2xx::FT_OPEN_BY_DESCRIPTION,
                             &opened);
    }

    // Opens the default device as the program does: MPSSE on, both timeouts as given.
    void OpenMpsse(d2xx::ULONG readMs = kProgramTimeoutMs, d2xx::ULONG writeMs = kProgramTimeoutMs)
    {
        ASSERT_EQ(d2xx::FT_OK, OpenByDescription(kDefaultDevice, handle));
        ASSERT_EQ(d2xx::FT_OK, sim.FT_SetLatencyTimer(handle, 1));
        ASSERT_EQ(d2xx::FT_OK, sim.FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_RESET));
        ASSERT_EQ(d2xx::FT_OK, sim.FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_MPSSE));
        ASSERT_EQ(d2xx::FT_OK, sim.FT_SetTimeouts(handle, readMs, writeMs));
    }

    void RestartMpsse()
    {
        ASSERT_EQ(d2xx::FT_OK, sim.FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_RESET));
        ASSERT_EQ(d2xx::FT_OK, sim.FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_MPSSE));
    }

    DWORD Write(const Bytes &bytes, FT_STATUS expected = d2xx::FT_OK)
    {
        DWORD written = 0;
        EXPECT_EQ(expected, sim.FT_Write(handle, const_cast<std::uint8_t *>(bytes.data()),
                                         static_cast<DWORD>(bytes.size()), &written));
        return written;
    }

    void WriteAll(const Bytes &bytes) { ASSERT_EQ(bytes.size(), Write(bytes)); }

    // Reads up to `count` bytes within the chip's read timeout.
    Bytes Read(std::size_t count, FT_STATUS expected = d2xx::FT_OK)
    {
        Bytes bytes(count);
        DWORD got = 0;
        EXPECT_EQ(expected, sim.FT_Read(handle, bytes.data(), static_cast<DWORD>(count), &got));
        bytes.resize(got);
        return bytes;
    }

    DWORD Readable()
    {
        DWORD rx = 0;
        DWORD tx = 0;
        DWORD events = 1;
        EXPECT_EQ(d2xx::FT_OK, sim.FT_GetStatus(handle, &rx, &tx, &events));
        EXPECT_EQ(0U, events);
        return rx;
    }

    DWORD Unexecuted()
    {
        DWORD rx = 0;
        DWORD tx = 0;
        DWORD events = 0;
        EXPECT_EQ(d2xx::FT_OK, sim.FT_GetStatus(handle, &rx, &tx, &events));
        return tx;
    }

    // One first-phase step of the handshake: clock one more bit in, read the byte.
    std::uint8_t OneBitRead()
    {
        WriteAll({kClockBitsIn, 0x00});
        const Bytes byte = Read(1);
        EXPECT_EQ(1U, byte.size());
        return byte.empty() ? 0 : byte[0];
    }

    std::uint8_t OneByteRead()
    {
        WriteAll({kClockBytesIn, 0x00, 0x00});
        const Bytes byte = Read(1);
        EXPECT_EQ(1U, byte.size());
        return byte.empty() ? 0 : byte[0];
    }

    // The host's handshake: one-bit reads until 0xA5, then one byte that must be 0x01. Returns
    // the number of one-bit reads it took, 0 if none found the pattern within `attempts`.
    int Handshake(int attempts = 24)
    {
        for (int n = 1; n <= attempts; ++n) {
            if (OneBitRead() == kPatternLow) {
                EXPECT_EQ(kPatternHigh, OneByteRead());
                return n;
            }
        }
        return 0;
    }

    // Clocks one frame with `payload` out and returns what the chip clocked in.
    Bytes Frame(const Bytes &payload)
    {
        WriteAll(FrameCommand(payload));
        return Read(payload.size());
    }

    VsimChipState State() { return sim.ChipState(); }

    // Waits until a driver call sleeps on the chip, so that what follows happens while it waits.
    bool AwaitSleeper()
    {
        const auto limit = Clock::now() + 20s;
        while (State().waiting == 0 && Clock::now() < limit)
            std::this_thread::sleep_for(1ms);
        return State().waiting > 0;
    }

    SimLibrary sim;
    FT_HANDLE handle = nullptr;
};

// ---------------------------------------------------------------------------------------------
// The module itself.

using SimModule = Sim;

TEST_F(SimModule, ExportsNoOtherD2xxFunction)
{
    for (const char *name :
         {"FT_Open", "FT_Purge", "FT_ResetDevice", "FT_SetBaudRate", "FT_GetQueueStatus",
          "FT_CreateDeviceInfoList", "FT_GetBitMode", "FT_SetUSBParameters", "FT_SetChars",
          "FT_SetFlowControl", "FT_GetDeviceInfoList", "FT_SetDataCharacteristics"})
        EXPECT_EQ(nullptr, dlsym(sim.Handle(), name)) << name;
}

TEST_F(SimModule, SettingsSurviveAnotherLoadAndUnloadOfTheSameFile)
{
    const char *const devices[] = {"Bench A", "Bench B"};
    sim.vsim_SetDevices(devices, 2);

    void *second = dlopen(SimLibrary::Path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, second) << dlerror();
    auto list = reinterpret_cast<d2xx::FT_ListDevices_t>(dlsym(second, "FT_ListDevices"));
    auto setDevices =
        reinterpret_cast<decltype(&vsim_SetDevices)>(dlsym(second, "vsim_SetDevices"));
    ASSERT_NE(nullptr, list);
    ASSERT_NE(nullptr, setDevices);
    DWORD count = 0;
    ASSERT_EQ(d2xx::FT_OK, list(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(2U, count);
    const char *const one[] = {"Bench C"};
    setDevices(one, 1);
    ASSERT_EQ(0, dlclose(second));

    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(1U, count);
    char description[d2xx::kDescriptionSize] = {};
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(nullptr, description, kListDescriptionByIndex));
    EXPECT_STREQ("Bench C", description);
}

// With no thread of its own and nothing pinning it in memory, the library goes away at the last
// dlclose, even with a chip left open, and comes back fresh.
TEST(SimModuleUnload, LastCloseUnloadsEvenWithAChipOpen)
{
    {
        SimLibrary first;
        ASSERT_TRUE(first.Loaded()) << first.Error();
        const char *const devices[] = {"Left open"};
        first.vsim_SetDevices(devices, 1);
        FT_HANDLE handle = nullptr;
        ASSERT_EQ(d2xx::FT_OK, first.FT_OpenEx(const_cast<char *>("Left open"),
                                               d2xx::FT_OPEN_BY_DESCRIPTION, &handle));
    }
    EXPECT_EQ(nullptr, dlopen(SimLibrary::Path().c_str(), RTLD_NOW | RTLD_NOLOAD));

    SimLibrary second;
    ASSERT_TRUE(second.Loaded()) << second.Error();
    EXPECT_EQ(0, second.vsim_OpenCount());
    char description[d2xx::kDescriptionSize] = {};
    ASSERT_EQ(d2xx::FT_OK, second.FT_ListDevices(nullptr, description, kListDescriptionByIndex));
    EXPECT_STREQ(kDefaultDevice, description);
}

TEST_F(SimModule, ResetRestoresDefaultsAndKeepsOpenChipsOpen)
{
    OpenMpsse();
    sim.vsim_SetDevices(nullptr, 0);
    sim.vsim_SetBehaviour(VSIM_SILENT);
    sim.vsim_SetReadError(-1);
    sim.vsim_Reset();

    EXPECT_EQ(1, sim.vsim_OpenCount());
    DWORD count = 0;
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(1U, count);
    // Still open, and without the read fault (clocking in real time again, which 16 bits at
    // 6 MHz hardly notice).
    WriteAll({kClockBytesIn, 0x01, 0x00});
    EXPECT_EQ(2U, Read(2).size());
    EXPECT_EQ(1, State().open);
}

// ---------------------------------------------------------------------------------------------
// Opening, closing, handles.

using SimOpen = Sim;

TEST_F(SimOpen, OpensOnlyTheExactDescription)
{
    const char *const devices[] = {"SSC Simulator", "Other"};
    sim.vsim_SetDevices(devices, 2);
    FT_HANDLE h = nullptr;
    for (const char *near : {"SSC Sim", "", "SSC Simulator ", "ssc simulator", "Othe"}) {
        EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND, OpenByDescription(near, h)) << '"' << near << '"';
        EXPECT_EQ(nullptr, h);
    }
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription("Other", handle));
    EXPECT_NE(nullptr, handle);
    EXPECT_EQ(1, sim.vsim_OpenCount());
}

TEST_F(SimOpen, AnOpenDeviceCannotBeOpenedTwiceUntilClosed)
{
    const char *const devices[] = {"One", "Two"};
    sim.vsim_SetDevices(devices, 2);
    FT_HANDLE one = nullptr;
    FT_HANDLE two = nullptr;
    FT_HANDLE again = nullptr;
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription("One", one));
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription("Two", two));
    EXPECT_NE(one, two);
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_OPENED, OpenByDescription("One", again));
    EXPECT_EQ(d2xx::FT_OK, sim.FT_Close(one));
    EXPECT_EQ(1, sim.vsim_OpenCount());
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription("One", again));
    EXPECT_EQ(2, sim.vsim_OpenCount());
    EXPECT_EQ(d2xx::FT_OK, sim.FT_Close(again));
    EXPECT_EQ(d2xx::FT_OK, sim.FT_Close(two));
    EXPECT_EQ(0, sim.vsim_OpenCount());
}

TEST_F(SimOpen, OpensBySerialNumberAndRejectsOtherFlags)
{
    const char *const devices[] = {"One", "Two"};
    sim.vsim_SetDevices(devices, 2);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND,
              sim.FT_OpenEx(const_cast<char *>("SIM002"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h));
    ASSERT_EQ(d2xx::FT_OK,
              sim.FT_OpenEx(const_cast<char *>("SIM001"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle));
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_OPENED, OpenByDescription("Two", h));
    EXPECT_EQ(d2xx::FT_INVALID_PARAMETER, sim.FT_OpenEx(const_cast<char *>("One"), 4, &h));
    EXPECT_EQ(d2xx::FT_INVALID_PARAMETER, sim.FT_OpenEx(nullptr, d2xx::FT_OPEN_BY_DESCRIPTION, &h));
    EXPECT_EQ(d2xx::FT_INVALID_PARAMETER,
              sim.FT_OpenEx(const_cast<char *>("One"), d2xx::FT_OPEN_BY_DESCRIPTION, nullptr));
}

TEST_F(SimOpen, NothingOpensWithNoDeviceAttached)
{
    sim.vsim_SetDevices(nullptr, 0);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND, OpenByDescription(kDefaultDevice, h));
    EXPECT_EQ(0, sim.vsim_OpenCount());
    VsimChipState state{};
    EXPECT_EQ(0, sim.vsim_GetChipState(&state));
}

TEST_F(SimOpen, EveryEntryPointRejectsAHandleThatIsNotLive)
{
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription(kDefaultDevice, handle));
    FT_HANDLE closed = handle;
    ASSERT_EQ(d2xx::FT_OK, sim.FT_Close(closed));
    handle = nullptr;
    int notAChip = 0;
    for (FT_HANDLE h : {closed, FT_HANDLE{nullptr}, FT_HANDLE{&notAChip}}) {
        DWORD a = 0;
        DWORD b = 0;
        DWORD c = 0;
        std::uint8_t byte = 0;
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_SetLatencyTimer(h, 1));
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_SetTimeouts(h, 50, 50));
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_SetBitMode(h, 0, d2xx::FT_BITMODE_MPSSE));
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_GetStatus(h, &a, &b, &c));
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_Read(h, &byte, 1, &a));
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_Write(h, &byte, 1, &a));
        EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_Close(h));
    }
}

TEST_F(SimOpen, ChipStateRecordsTheSetUpAndOutlivesTheHandle)
{
    OpenMpsse();
    VsimChipState state = State();
    EXPECT_EQ(1, state.open);
    EXPECT_EQ(1U, state.latencyMs);
    EXPECT_EQ(kProgramTimeoutMs, state.readTimeoutMs);
    EXPECT_EQ(kProgramTimeoutMs, state.writeTimeoutMs);
    EXPECT_EQ(d2xx::FT_BITMODE_MPSSE, state.bitMode);
    EXPECT_EQ(0U, state.bitMask);
    EXPECT_EQ(2, state.bitModeCalls);

    ASSERT_EQ(d2xx::FT_OK, sim.FT_Close(handle));
    handle = nullptr;
    ASSERT_EQ(1, sim.vsim_GetChipState(&state));
    EXPECT_EQ(0, state.open);
    EXPECT_EQ(2, state.bitModeCalls);
    // A reset forgets a chip that is closed.
    sim.vsim_Reset();
    EXPECT_EQ(0, sim.vsim_GetChipState(&state));
}

// ---------------------------------------------------------------------------------------------
// FT_ListDevices.

using SimList = Sim;

TEST_F(SimList, CountsTheAttachedDevices)
{
    DWORD count = 99;
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(1U, count);
    const char *const three[] = {"A", "B", "C"};
    sim.vsim_SetDevices(three, 3);
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(3U, count);
    sim.vsim_SetDevices(nullptr, 0);
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(0U, count);
}

TEST_F(SimList, GivesEachDescriptionByIndexWithItsNul)
{
    const char *const devices[] = {"SSC Simulator", "Second bench"};
    sim.vsim_SetDevices(devices, 2);
    for (std::uintptr_t index = 0; index < 2; ++index) {
        std::array<char, d2xx::kDescriptionSize> buffer;
        buffer.fill('#');
        ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(reinterpret_cast<void *>(index), buffer.data(),
                                                  kListDescriptionByIndex));
        EXPECT_STREQ(devices[index], buffer.data());
    }
    char buffer[d2xx::kDescriptionSize];
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND,
              sim.FT_ListDevices(reinterpret_cast<void *>(std::uintptr_t{2}), buffer,
                                 kListDescriptionByIndex));
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(reinterpret_cast<void *>(std::uintptr_t{1}), buffer,
                                              kListSerialByIndex));
    EXPECT_STREQ("SIM001", buffer);
}

TEST_F(SimList, LongDescriptionsFillTheBufferWithoutNul)
{
    const std::string exact63(63, 'x');
    const std::string exact64 = std::string(63, 'y') + 'z';
    const std::string longer = std::string(64, 'w') + "-and-more-that-must-never-be-written";
    const char *const devices[] = {exact63.c_str(), exact64.c_str(), longer.c_str()};
    sim.vsim_SetDevices(devices, 3);

    // A buffer larger than the driver's 64 bytes, to see that nothing is written beyond them.
    constexpr std::size_t kSpare = 16;
    std::array<char, d2xx::kDescriptionSize + kSpare> buffer;
    auto list = [&](std::uintptr_t index) {
        buffer.fill('#');
        return sim.FT_ListDevices(reinterpret_cast<void *>(index), buffer.data(),
                                  kListDescriptionByIndex);
    };
    ASSERT_EQ(d2xx::FT_OK, list(0));
    EXPECT_EQ(exact63, std::string(buffer.data()));

    ASSERT_EQ(d2xx::FT_OK, list(1));
    EXPECT_EQ(exact64, std::string(buffer.data(), d2xx::kDescriptionSize));
    EXPECT_EQ('#', buffer[d2xx::kDescriptionSize]);

    ASSERT_EQ(d2xx::FT_OK, list(2));
    EXPECT_EQ(longer.substr(0, d2xx::kDescriptionSize),
              std::string(buffer.data(), d2xx::kDescriptionSize));
    EXPECT_TRUE(std::all_of(buffer.begin() + d2xx::kDescriptionSize, buffer.end(),
                            [](char c) { return c == '#'; }));
}

TEST_F(SimList, ABoardThatCannotBeReadShowsItsReasonAndNoSerialNumberAndDoesNotOpen)
{
    const char *const boards[] = {"One", "Two"};
    sim.vsim_SetDevices(boards, 2);
    sim.vsim_SetUnreadable(1, "no permission");
    char description[d2xx::kDescriptionSize];
    char serial[d2xx::kSerialNumberSize];
    void *second = reinterpret_cast<void *>(std::uintptr_t{1});
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(second, description, kListDescriptionByIndex));
    EXPECT_STREQ("Two (no permission)", description);
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(second, serial, kListSerialByIndex));
    EXPECT_STREQ("", serial);
    FT_HANDLE h = nullptr;
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_OPENED, OpenByDescription("Two", h));
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND,
              sim.FT_OpenEx(const_cast<char *>("SIM001"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h));
    // Readable again.
    sim.vsim_SetUnreadable(1, "");
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(second, serial, kListSerialByIndex));
    EXPECT_STREQ("SIM001", serial);
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription("Two", handle));
}

TEST_F(SimList, RejectsOtherForms)
{
    DWORD count = 0;
    char buffer[d2xx::kDescriptionSize];
    EXPECT_EQ(d2xx::FT_INVALID_PARAMETER, sim.FT_ListDevices(&count, nullptr, 0));
    EXPECT_EQ(d2xx::FT_INVALID_PARAMETER,
              sim.FT_ListDevices(nullptr, buffer, d2xx::FT_LIST_BY_INDEX));
    EXPECT_EQ(d2xx::FT_INVALID_PARAMETER,
              sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY | 2));
}

// ---------------------------------------------------------------------------------------------
// The command processor.

using SimCommands = Sim;

TEST_F(SimCommands, PinClockAndLoopbackSettingsAreRecorded)
{
    OpenMpsse();
    WriteAll(
        {kSetLowPins, 0x12, 0x34, kSetHighPins, 0x56, 0x78, kLoopbackOn, kSetDivisor, 0x05, 0x01});
    VsimChipState state = State();
    EXPECT_EQ(0x12U, state.lowValue);
    EXPECT_EQ(0x34U, state.lowDir);
    EXPECT_EQ(0x56U, state.highValue);
    EXPECT_EQ(0x78U, state.highDir);
    EXPECT_EQ(1, state.loopback);
    EXPECT_EQ(0x0105U, state.divisor);
    WriteAll({kLoopbackOff});
    EXPECT_EQ(0, State().loopback);
    // None of them answers.
    EXPECT_EQ(0U, Readable());
    EXPECT_EQ(0, State().badCommands);
}

TEST_F(SimCommands, ParametersSplitAcrossWritesAreNotTakenForOpcodes)
{
    OpenMpsse();
    WriteAll({kSetDivisor});
    WriteAll({kClockBytesIn});
    EXPECT_EQ(2U, Unexecuted());
    EXPECT_EQ(0U, Readable());
    EXPECT_EQ(0U, State().divisor);
    WriteAll({0x01});
    EXPECT_EQ(0U, Unexecuted());
    EXPECT_EQ(0U, Readable());
    EXPECT_EQ(0x012CU, State().divisor);
    EXPECT_EQ(0, State().badCommands);
}

TEST_F(SimCommands, UnknownOpcodeIsAnsweredWithFaAndTheOpcode)
{
    OpenMpsse();
    WriteAll({0xAB, kSetDivisor, 0x02, 0x00, 0x00});
    EXPECT_EQ((Bytes{kBadCommand, 0xAB, kBadCommand, 0x00}), Read(4));
    const VsimChipState state = State();
    EXPECT_EQ(2, state.badCommands);
    EXPECT_EQ(0x00U, state.lastBadOpcode);
    EXPECT_EQ(2U, state.divisor);
}

TEST_F(SimCommands, ClockingCommandsAnswerTheirLength)
{
    OpenMpsse();
    WriteAll({kClockBitsIn, 0x07, kClockBitsIn, 0x00, kClockBytesIn, 0x09, 0x00});
    EXPECT_EQ(12U, Read(12).size());
    EXPECT_EQ(8 + 1 + 80, State().bitsClocked);
    WriteAll(FrameCommand(Bytes(300, 0)));
    EXPECT_EQ(300U, Read(300).size());
    EXPECT_EQ(1, State().frames);
    EXPECT_EQ(0U, Readable());
}

TEST_F(SimCommands, FrameWithHeaderAndDataInPiecesClocksAsDataArrives)
{
    sim.vsim_SetBehaviour(VSIM_COUNTER);
    sim.vsim_SetStream(7, 0);
    OpenMpsse();
    ASSERT_EQ(1, Handshake());
    WriteAll({kClockBytesOutIn});
    WriteAll({0x07});
    EXPECT_EQ(0, State().frames);
    WriteAll({0x00});
    EXPECT_EQ(1, State().frames);
    EXPECT_EQ(0U, Readable());
    WriteAll({0x00, 0x00, 0x00});
    EXPECT_EQ((Bytes{0x00, kFlagData, 0x01}), Read(3));
    WriteAll({0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ((Bytes{kFlagData, 0x02, kFlagData, 0x03, kFlagData}), Read(5));
    // What follows the frame's data is a command again.
    WriteAll({kClockBytesIn, 0x01, 0x00});
    EXPECT_EQ((Bytes{0x04, kFlagData}), Read(2));
    EXPECT_EQ(0, State().badCommands);
}

TEST_F(SimCommands, LoopbackReturnsTheHostsOwnBytes)
{
    OpenMpsse();
    WriteAll({kLoopbackOn});
    const Bytes payload{0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(payload, Frame(payload));
}

TEST_F(SimCommands, BytesWrittenWhileMpsseIsOffAreDropped)
{
    ASSERT_EQ(d2xx::FT_OK, OpenByDescription(kDefaultDevice, handle));
    const Bytes commands{kClockBytesIn, 0x00, 0x00, kSetLowPins, 0x12, 0x34};
    EXPECT_EQ(commands.size(), Write(commands));
    ASSERT_EQ(d2xx::FT_OK, sim.FT_SetBitMode(handle, 0x00, d2xx::FT_BITMODE_MPSSE));
    EXPECT_EQ(0U, Readable());
    EXPECT_EQ(0U, Unexecuted());
    EXPECT_EQ(0U, State().lowValue);
    Bytes log(64);
    log.resize(static_cast<std::size_t>(sim.vsim_GetWriteLog(log.data(), 64)));
    EXPECT_EQ(commands, log);
}

TEST_F(SimCommands, BitModeResetClearsBothBuffers)
{
    OpenMpsse();
    WriteAll({kClockBytesIn, 0xFF, 0x00, kSetDivisor, 0x05});
    EXPECT_EQ(256U, Readable());
    EXPECT_EQ(2U, Unexecuted());
    RestartMpsse();
    EXPECT_EQ(0U, Readable());
    EXPECT_EQ(0U, Unexecuted());
    // Had the half command survived, this byte would have completed it.
    WriteAll({0x00});
    EXPECT_EQ((Bytes{kBadCommand, 0x00}), Read(2));
    EXPECT_EQ(4, State().bitModeCalls);
}

TEST_F(SimCommands, WriteLogKeepsTheFirstBytesWritten)
{
    OpenMpsse();
    Bytes written(kWriteLogSize + 1000);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = i % 2 == 0 ? kLoopbackOff : kLoopbackOn;
    WriteAll(written);
    Bytes log(kWriteLogSize + 1000);
    log.resize(
        static_cast<std::size_t>(sim.vsim_GetWriteLog(log.data(), static_cast<int>(log.size()))));
    ASSERT_EQ(kWriteLogSize, log.size());
    EXPECT_TRUE(std::equal(log.begin(), log.end(), written.begin()));
}

// ---------------------------------------------------------------------------------------------
// The handshake: the device's pattern stream seen through one-bit reads.

using SimHandshake = Sim;

TEST_F(SimHandshake, FirstOneBitReadShowsThePatternAtOffsetSeven)
{
    sim.vsim_SetStream(7, 0);
    OpenMpsse();
    EXPECT_EQ(kPatternLow, OneBitRead());
    EXPECT_EQ(kPatternHigh, OneByteRead());
    EXPECT_EQ(0, State().deviceSynced);
}

TEST_F(SimHandshake, TwentyFourthReadIsTheFirstPatternAfterSixteenZeros)
{
    sim.vsim_SetStream(0, 16);
    OpenMpsse();
    for (int n = 1; n < 24; ++n)
        ASSERT_NE(kPatternLow, OneBitRead()) << "read " << n;
    EXPECT_EQ(kPatternLow, OneBitRead());
    EXPECT_EQ(kPatternHigh, OneByteRead());
}

// The shift register holds the last 8 bits received, each new bit entering at bit 7; so the n-th
// one-bit read shows 0xA5 exactly when its 8 bits are pattern bits 0..7: (n - 1 - zeros + offset)
// mod 16 == 7, and all 8 are stream bits (n >= zeros + 8) or there were no leading zeros (the bits
// before the first clock are then the pattern bits that precede the offset).
TEST_F(SimHandshake, PatternShowsExactlyWhereTheStreamStartSaysForEveryStart)
{
    OpenMpsse();
    constexpr int kReads = 40;
    for (int offset = 0; offset < 16; ++offset) {
        for (int zeros : {0, 1, 5, 7, 8, 9, 16, 20}) {
            sim.vsim_SetStream(offset, zeros);
            RestartMpsse();
            for (int n = 1; n <= kReads; ++n) {
                const bool aligned = ((n - 1 - zeros + offset) % 16 + 16) % 16 == 7;
                const bool expected = aligned && (zeros == 0 || n >= zeros + 8);
                ASSERT_EQ(expected, OneBitRead() == kPatternLow)
                    << "offset " << offset << ", zeros " << zeros << ", read " << n;
            }
        }
    }
}

TEST_F(SimHandshake, ShiftRegisterKeepsTheLastEightBitsReceived)
{
    sim.vsim_SetStream(0, 0);
    OpenMpsse();
    // Pattern bits 0..2 are 1, 0, 1; they enter at the top behind the 8 bits before them, which at
    // offset 0 are pattern bits 8..15 (0x01), shifted out by three.
    WriteAll({kClockBitsIn, 0x02});
    EXPECT_EQ((Bytes{0xA0}), Read(1));
    WriteAll({kClockBitsIn, 0x04}); // bits 3..7
    EXPECT_EQ((Bytes{kPatternLow}), Read(1));
    WriteAll({kClockBitsIn, 0x07}); // bits 8..15
    EXPECT_EQ((Bytes{kPatternHigh}), Read(1));

    // With leading zeros the register starts empty.
    sim.vsim_SetStream(0, 8);
    RestartMpsse();
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(0x00, OneBitRead());
    EXPECT_EQ(0x80, OneBitRead()); // pattern bit 0
}

TEST_F(SimHandshake, RandomStartIsAlwaysFoundWithinSixteenOneBitReads)
{
    OpenMpsse();
    std::set<int> positions;
    for (int start = 0; start < 40; ++start) {
        RestartMpsse();
        const int n = Handshake(16);
        ASSERT_GE(n, 1) << "start " << start;
        positions.insert(n);
    }
    EXPECT_GT(positions.size(), 1U) << "the start offset is not random";
}

TEST_F(SimHandshake, NoPatternStreamNeverShowsThePattern)
{
    sim.vsim_SetNoPattern(1);
    OpenMpsse();
    for (int n = 0; n < 64; ++n)
        ASSERT_NE(kPatternLow, OneBitRead()) << "read " << n;
    WriteAll({kClockBytesIn, 0xFF, 0x00});
    const Bytes bytes = Read(256);
    EXPECT_EQ(bytes.end(), std::find(bytes.begin(), bytes.end(), kPatternLow));
}

// ---------------------------------------------------------------------------------------------
// Frames: the device's pairs and its reading of the host's words.

class SimFrames : public Sim
{
protected:
    void Synchronise()
    {
        sim.vsim_SetStream(7, 0);
        OpenMpsse();
        ASSERT_EQ(1, Handshake());
    }

    Bytes TakeHostBytes()
    {
        Bytes bytes(1024);
        bytes.resize(static_cast<std::size_t>(sim.vsim_TakeHostBytes(bytes.data(), 1024)));
        return bytes;
    }
};

TEST_F(SimFrames, DeviceSendsIdlePairsFromItsFirstFrameOn)
{
    Synchronise();
    EXPECT_EQ(0, State().deviceSynced);
    EXPECT_EQ(Bytes(16, 0x00), Frame(Bytes(16, 0x00)));
    EXPECT_EQ(1, State().deviceSynced);
    EXPECT_EQ(1, State().frames);
}

TEST_F(SimFrames, EchoesEachNewHostByteInTheNextWord)
{
    Synchronise();
    const Bytes answer = Frame(Pairs({{0x41, 1},
                                      {0x41, 1}, // same tag: not new
                                      {0x42, 0}, // tag 0: ignored
                                      {0x43, 2},
                                      {0x44, 0},
                                      {0x45, 2}, // the last non-zero tag again: not new
                                      {0x46, 1},
                                      {0x00, 0}}));
    EXPECT_EQ(Pairs({{0, 0}, {0x41, 1}, {0, 0}, {0, 0}, {0x43, 1}, {0, 0}, {0, 0}, {0x46, 1}}),
              answer);
    EXPECT_EQ((Bytes{0x41, 0x43, 0x46}), TakeHostBytes());
    EXPECT_EQ(3, State().hostBytes);
    EXPECT_EQ(3, State().deviceBytesSent);
}

TEST_F(SimFrames, DeviceStateCarriesOverFromFrameToFrame)
{
    Synchronise();
    EXPECT_EQ(Pairs({{0, 0}}), Frame(Pairs({{0x50, 7}})));
    // The echo that did not fit comes first; the repeated tag is not new.
    EXPECT_EQ(Pairs({{0x50, 1}, {0, 0}}), Frame(Pairs({{0x50, 7}, {0x51, 8}})));
    EXPECT_EQ(Pairs({{0x51, 1}}), Frame(Pairs({{0, 0}})));
    EXPECT_EQ((Bytes{0x50, 0x51}), TakeHostBytes());
}

TEST_F(SimFrames, HostRecordIsHandedOutOldestFirstAndOnlyOnce)
{
    Synchronise();
    Frame(Pairs({{1, 1}, {2, 2}, {3, 3}}));
    std::uint8_t two[2] = {};
    ASSERT_EQ(2, sim.vsim_TakeHostBytes(two, 2));
    EXPECT_EQ(1, two[0]);
    EXPECT_EQ(2, two[1]);
    EXPECT_EQ((Bytes{3}), TakeHostBytes());
    EXPECT_EQ(Bytes{}, TakeHostBytes());
}

TEST_F(SimFrames, SendModeSendsTheQueuedBytesInOrderOnce)
{
    sim.vsim_SetBehaviour(VSIM_SEND);
    const std::uint8_t queued[] = {0x10, 0x20, 0x30};
    sim.vsim_QueueDeviceBytes(queued, 3);
    Synchronise();
    const Bytes answer = Frame(Pairs({{0x70, 1}, {0x71, 2}, {0, 0}, {0, 0}, {0, 0}}));
    EXPECT_EQ(Pairs({{0x10, 1}, {0x20, 1}, {0x30, 1}, {0, 0}, {0, 0}}), answer);
    EXPECT_EQ((Bytes{0x70, 0x71}), TakeHostBytes());
    EXPECT_EQ(3, State().deviceBytesSent);
}

TEST_F(SimFrames, SilentModeSendsOnlyIdlePairsButStillReads)
{
    sim.vsim_SetBehaviour(VSIM_SILENT);
    Synchronise();
    EXPECT_EQ(Bytes(8, 0x00), Frame(Pairs({{0x61, 1}, {0x62, 2}, {0, 0}, {0, 0}})));
    EXPECT_EQ((Bytes{0x61, 0x62}), TakeHostBytes());
}

TEST_F(SimFrames, CounterModeCountsWithoutIdlePairs)
{
    sim.vsim_SetBehaviour(VSIM_COUNTER);
    Synchronise();
    constexpr std::size_t kWords = 600;
    const Bytes answer = Frame(Bytes(kWords * 2, 0));
    ASSERT_EQ(kWords * 2, answer.size());
    for (std::size_t i = 0; i < kWords; ++i) {
        ASSERT_EQ(static_cast<std::uint8_t>(i), answer[2 * i]) << "word " << i;
        ASSERT_EQ(kFlagData, answer[2 * i + 1]) << "word " << i;
    }
}

TEST_F(SimFrames, FirstFrameInMidWordFinishesThePatternWordFirst)
{
    sim.vsim_SetBehaviour(VSIM_SEND);
    const std::uint8_t queued[] = {0x7E};
    sim.vsim_QueueDeviceBytes(queued, 1);
    sim.vsim_SetStream(0, 0);
    OpenMpsse();
    WriteAll({kClockBitsIn, 0x03}); // pattern bits 0..3
    Read(1);
    // Pattern bits 4..15 (0x01A), then the pair (0x7E, 0x01), then an idle pair, LSB first.
    EXPECT_EQ((Bytes{0x1A, 0xE0, 0x17, 0x00}), Frame(Bytes(4, 0x00)));
}

TEST_F(SimFrames, FirstFrameOnAWordBoundarySendsPairsAtOnce)
{
    sim.vsim_SetBehaviour(VSIM_SEND);
    const std::uint8_t queued[] = {0x7E};
    sim.vsim_QueueDeviceBytes(queued, 1);
    sim.vsim_SetStream(0, 0);
    OpenMpsse();
    EXPECT_EQ(Pairs({{0x7E, 1}, {0, 0}}), Frame(Bytes(4, 0x00)));
}

TEST_F(SimFrames, BitModeResetStartsTheDeviceOver)
{
    Synchronise();
    EXPECT_EQ(Pairs({{0, 0}}), Frame(Pairs({{0x33, 1}}))); // its echo is still pending
    RestartMpsse();
    EXPECT_EQ(0, State().deviceSynced);
    EXPECT_EQ(1, Handshake()); // pattern words again, from the same offset
    // The pending echo is gone, and tag 1 is new again.
    EXPECT_EQ(Pairs({{0, 0}, {0x34, 1}, {0, 0}}), Frame(Pairs({{0x34, 1}, {0, 0}, {0, 0}})));
    EXPECT_EQ((Bytes{0x33, 0x34}), TakeHostBytes());
}

TEST_F(SimFrames, ReopenStartsTheDeviceOver)
{
    Synchronise();
    EXPECT_EQ(Pairs({{0, 0}}), Frame(Pairs({{0x35, 1}})));
    ASSERT_EQ(d2xx::FT_OK, sim.FT_Close(handle));
    handle = nullptr;
    OpenMpsse();
    EXPECT_EQ(0, State().deviceSynced);
    EXPECT_EQ(0, State().frames);
    EXPECT_EQ(1, Handshake());
    EXPECT_EQ(Pairs({{0, 0}, {0x36, 1}}), Frame(Pairs({{0x36, 1}, {0, 0}})));
}

// ---------------------------------------------------------------------------------------------
// Bounded buffers and timeouts (fast mode).

using SimBuffers = Sim;

TEST_F(SimBuffers, ReadReturnsWhatItHasAtItsTimeout)
{
    OpenMpsse();
    WriteAll({kClockBytesIn, 0x02, 0x00});
    const auto start = Clock::now();
    EXPECT_EQ(3U, Read(10).size());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kProgramTimeoutMs));
    EXPECT_EQ(0U, Read(5).size());
    EXPECT_EQ(0U, Read(0).size());
}

TEST_F(SimBuffers, ReadWaitsForBytesThatAnotherThreadAsksFor)
{
    OpenMpsse(kForever, kProgramTimeoutMs);
    std::thread writer([&] {
        EXPECT_TRUE(AwaitSleeper());
        std::uint8_t command[] = {kClockBytesIn, 0x03, 0x00};
        DWORD written = 0;
        sim.FT_Write(handle, command, 3, &written);
    });
    EXPECT_EQ(4U, Read(4).size());
    writer.join();
}

TEST_F(SimBuffers, ReadLargerThanTheQueueGetsEverything)
{
    OpenMpsse(kPatientMs, kPatientMs);
    // Three queues' worth: 4096 bytes each.
    WriteAll({kClockBytesIn, 0xFF, 0x0F, kClockBytesIn, 0xFF, 0x0F, kClockBytesIn, 0xFF, 0x0F});
    EXPECT_EQ(3 * kReadQueueSize, Read(3 * kReadQueueSize).size());
}

// ---------------------------------------------------------------------------------------------
// Fault switches.

using SimFaults = Sim;

TEST_F(SimFaults, ShortWriteTakesAtMostTheLimit)
{
    OpenMpsse();
    const Bytes commands(300, kLoopbackOff);
    sim.vsim_SetShortWrite(100);
    EXPECT_EQ(100U, Write(commands));
    EXPECT_EQ(100U, Write(commands));
    sim.vsim_SetShortWrite(0);
    EXPECT_EQ(300U, Write(commands));
}

TEST_F(SimFaults, WriteErrorThatTakesTheBytes)
{
    OpenMpsse();
    sim.vsim_SetWriteError(1, 1);
    EXPECT_EQ(3U, Write({kClockBytesIn, 0x00, 0x00}, d2xx::FT_IO_ERROR));
    EXPECT_EQ(1U, Readable());
    EXPECT_EQ(3U, Write({kClockBytesIn, 0x00, 0x00}));
    EXPECT_EQ(2U, Readable());
}

TEST_F(SimFaults, WriteErrorThatTakesNothing)
{
    OpenMpsse();
    sim.vsim_SetWriteError(2, 0);
    EXPECT_EQ(0U, Write({kClockBytesIn, 0x00, 0x00}, d2xx::FT_IO_ERROR));
    EXPECT_EQ(0U, Write({kClockBytesIn, 0x00, 0x00}, d2xx::FT_IO_ERROR));
    EXPECT_EQ(0U, Readable());
    std::uint8_t log[8];
    EXPECT_EQ(0, sim.vsim_GetWriteLog(log, 8));
    EXPECT_EQ(3U, Write({kClockBytesIn, 0x00, 0x00}));
}

TEST_F(SimFaults, WriteErrorUntilCleared)
{
    OpenMpsse();
    sim.vsim_SetWriteError(-1, 0);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(0U, Write({kLoopbackOff}, d2xx::FT_IO_ERROR));
    sim.vsim_SetWriteError(0, 0);
    EXPECT_EQ(1U, Write({kLoopbackOff}));
}

TEST_F(SimFaults, WriteStallTakesNothingForTheWriteTimeout)
{
    OpenMpsse();
    sim.vsim_SetWriteStall(1);
    const auto start = Clock::now();
    EXPECT_EQ(0U, Write({kClockBytesIn, 0x00, 0x00}));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kProgramTimeoutMs));
    EXPECT_EQ(0U, Unexecuted());
    EXPECT_EQ(0U, Readable());
    sim.vsim_SetWriteStall(0);
    EXPECT_EQ(3U, Write({kClockBytesIn, 0x00, 0x00}));
}

TEST_F(SimFaults, WriteStallWithoutTimeoutEndsWhenCleared)
{
    OpenMpsse(kProgramTimeoutMs, kForever);
    sim.vsim_SetWriteStall(1);
    std::thread clearer([&] {
        EXPECT_TRUE(AwaitSleeper());
        sim.vsim_SetWriteStall(0);
    });
    EXPECT_EQ(0U, Write({kLoopbackOff}));
    clearer.join();
}

TEST_F(SimFaults, WriteBudgetRunsOutAcrossCalls)
{
    OpenMpsse();
    const Bytes frame = FrameCommand(Bytes(kFrameBytes, 0));
    sim.vsim_SetWriteBudget(1000);
    auto start = Clock::now();
    EXPECT_EQ(1000U, Write(frame));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kProgramTimeoutMs));
    start = Clock::now();
    EXPECT_EQ(0U, Write(frame));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kProgramTimeoutMs));
    EXPECT_EQ(997U, Read(kFrameBytes).size()); // the part of the frame that was taken

    sim.vsim_SetWriteBudget(-1);
    EXPECT_EQ(frame.size() - 1000, Write(Bytes(frame.begin() + 1000, frame.end())));
    EXPECT_EQ(kFrameBytes - 997, Read(kFrameBytes).size());
    Bytes log(2 * frame.size());
    log.resize(static_cast<std::size_t>(sim.vsim_GetWriteLog(log.data(), int(log.size()))));
    EXPECT_EQ(frame, log);
}

TEST_F(SimFaults, WriteWaitingOnItsBudgetGoesOnWhenItIsRaised)
{
    OpenMpsse(kProgramTimeoutMs, kForever);
    sim.vsim_SetWriteBudget(2);
    std::thread raiser([&] {
        EXPECT_TRUE(AwaitSleeper());
        sim.vsim_SetWriteBudget(-1);
    });
    EXPECT_EQ(3U, Write({kClockBytesIn, 0x00, 0x00}));
    raiser.join();
    EXPECT_EQ(1U, Read(1).size());
}

TEST_F(SimFaults, ReadErrorLeavesTheDataQueued)
{
    OpenMpsse();
    WriteAll({kClockBytesIn, 0x01, 0x00});
    sim.vsim_SetReadError(1);
    EXPECT_EQ(0U, Read(2, d2xx::FT_IO_ERROR).size());
    EXPECT_EQ(2U, Readable());
    EXPECT_EQ(2U, Read(2).size());
}

TEST_F(SimFaults, OddReadLeavesOneByteBehind)
{
    OpenMpsse();
    WriteAll({kClockBytesIn, 0x04, 0x00});
    sim.vsim_SetOddRead(1);
    EXPECT_EQ(1U, Read(1).size()); // asks for one byte: not affected
    EXPECT_EQ(3U, Read(4).size());
    EXPECT_EQ(1U, Readable());
    EXPECT_EQ(1U, Read(1).size());
    WriteAll({kClockBytesIn, 0x03, 0x00});
    EXPECT_EQ(4U, Read(4).size()); // used up
}

TEST_F(SimFaults, OddReadUntilCleared)
{
    OpenMpsse();
    sim.vsim_SetOddRead(-1);
    for (int i = 0; i < 3; ++i) {
        WriteAll({kClockBytesIn, 0x01, 0x00});
        EXPECT_EQ(1U, Read(2).size());
        EXPECT_EQ(1U, Read(1).size());
    }
    sim.vsim_SetOddRead(0);
    WriteAll({kClockBytesIn, 0x01, 0x00});
    EXPECT_EQ(2U, Read(2).size());
}

TEST_F(SimFaults, UnpluggedDeviceFailsEverythingButStillCloses)
{
    OpenMpsse();
    sim.vsim_SetUnplugged(1);
    DWORD a = 0;
    DWORD b = 0;
    DWORD c = 0;
    std::uint8_t byte = kLoopbackOff;
    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_SetLatencyTimer(handle, 1));
    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_SetTimeouts(handle, 50, 50));
    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_SetBitMode(handle, 0, d2xx::FT_BITMODE_MPSSE));
    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_GetStatus(handle, &a, &b, &c));
    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_Read(handle, &byte, 1, &a));
    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_Write(handle, &byte, 1, &a));

    FT_HANDLE other = nullptr;
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND, OpenByDescription(kDefaultDevice, other));
    DWORD count = 99;
    ASSERT_EQ(d2xx::FT_OK, sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY));
    EXPECT_EQ(0U, count);
    char buffer[d2xx::kDescriptionSize];
    EXPECT_EQ(d2xx::FT_DEVICE_NOT_FOUND,
              sim.FT_ListDevices(nullptr, buffer, kListDescriptionByIndex));

    EXPECT_EQ(d2xx::FT_IO_ERROR, sim.FT_Close(handle));
    FT_HANDLE old = handle;
    handle = nullptr;
    sim.vsim_SetUnplugged(0);
    EXPECT_EQ(d2xx::FT_INVALID_HANDLE, sim.FT_SetLatencyTimer(old, 1));
    EXPECT_EQ(d2xx::FT_OK, OpenByDescription(kDefaultDevice, handle));
}

TEST_F(SimFaults, CloseOrUnplugEndsAReadThatWaitsForEver)
{
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplug" : "close");
        OpenMpsse(kForever, kProgramTimeoutMs);
        std::atomic<FT_STATUS> status{d2xx::FT_OK};
        std::thread reader([&] {
            std::uint8_t byte = 0;
            DWORD got = 0;
            status = sim.FT_Read(handle, &byte, 1, &got);
        });
        EXPECT_TRUE(AwaitSleeper());
        if (unplug) {
            sim.vsim_SetUnplugged(1);
        } else {
            EXPECT_EQ(d2xx::FT_OK, sim.FT_Close(handle));
            handle = nullptr;
        }
        reader.join();
        EXPECT_EQ(unplug ? d2xx::FT_IO_ERROR : d2xx::FT_INVALID_HANDLE, status.load());
    }
}

// ---------------------------------------------------------------------------------------------
// Real time: the chip clocks at SCK by the monotonic clock. Only lower bounds are asserted
// tightly (nothing may come sooner than the clock allows); upper bounds are generous.

class SimRealTime : public Sim
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.Loaded()) << sim.Error();
        sim.vsim_SetRealTime(1);
        OpenMpsse(kPatientMs, kPatientMs);
        WriteAll({kSetDivisor, kDivisorOneMHz, 0x00});
    }
};

TEST_F(SimRealTime, FrameAnswerBecomesReadableAsItIsClocked)
{
    const auto start = Clock::now();
    WriteAll(FrameCommand(Bytes(kFrameBytes, 0)));
    const DWORD justAfter = Readable();
    const auto checked = Clock::now();
    if (checked - start < kFrameTimeAtOneMHz) {
        EXPECT_LT(justAfter, kFrameBytes);
    }

    EXPECT_EQ(1U, Read(1).size());
    const DWORD afterFirst = Readable();
    if (Clock::now() - start < kFrameTimeAtOneMHz) {
        EXPECT_LT(afterFirst, kFrameBytes - 1);
    }

    EXPECT_EQ(kFrameBytes - 1, Read(kFrameBytes - 1).size());
    EXPECT_GE(Clock::now() - start, kFrameTimeAtOneMHz);
}

TEST_F(SimRealTime, SlowClockDeliversByteByByte)
{
    // 12 MHz / ((1 + 5999) * 2) = 1 kHz: 8 ms a byte.
    WriteAll({kSetDivisor, 0x6F, 0x17});
    EXPECT_EQ(5999U, State().divisor);
    const auto start = Clock::now();
    WriteAll({kClockBytesIn, 0x31, 0x00}); // 50 bytes, 400 ms
    EXPECT_EQ(1U, Read(1).size());
    const DWORD rest = Readable();
    if (Clock::now() - start < 300ms) {
        EXPECT_LT(rest, 40U);
    }
    EXPECT_EQ(49U, Read(49).size());
    EXPECT_GE(Clock::now() - start, 400ms);
}

TEST_F(SimRealTime, BackToBackFramesTakeTheirClockTime)
{
    // As many as the chip holds with nobody reading: the answers of one, the data of the next.
    constexpr int kFrames = 2;
    const Bytes frame = FrameCommand(Bytes(kFrameBytes, 0));
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        WriteAll(frame); // the second waits for room while the first clocks
    EXPECT_EQ(kFrames * kFrameBytes, Read(kFrames * kFrameBytes).size());
    EXPECT_GE(Clock::now() - start, kFrames * kFrameTimeAtOneMHz);
}

TEST_F(SimRealTime, IdleTimeIsNotBanked)
{
    WriteAll({kClockBytesOutIn, 0xFF, 0x0F}); // the frame waits for its data
    std::this_thread::sleep_for(2 * kFrameTimeAtOneMHz);
    EXPECT_EQ(0U, Readable());
    const auto start = Clock::now();
    WriteAll(Bytes(kFrameBytes, 0));
    EXPECT_EQ(kFrameBytes, Read(kFrameBytes).size());
    EXPECT_GE(Clock::now() - start, kFrameTimeAtOneMHz);
}

TEST_F(SimRealTime, StalledTimeIsNotBanked)
{
    // Fill the read queue at 6 MHz, then one more frame's worth at 1 MHz that must stall.
    WriteAll({kSetDivisor, 0x00, 0x00, kClockBytesIn, 0xFF, 0x0F, kSetDivisor, kDivisorOneMHz, 0x00,
              kClockBytesIn, 0xFF, 0x0F});
    const auto limit = Clock::now() + 10s;
    while (Readable() < kReadQueueSize && Clock::now() < limit)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(kReadQueueSize, Readable());
    std::this_thread::sleep_for(2 * kFrameTimeAtOneMHz);
    const auto start = Clock::now();
    ASSERT_EQ(kReadQueueSize, Read(kReadQueueSize).size());
    EXPECT_EQ(kFrameBytes, Read(kFrameBytes).size());
    EXPECT_GE(Clock::now() - start, kFrameTimeAtOneMHz);
}

TEST_F(SimRealTime, FastModeAnswersAtOnce)
{
    sim.vsim_SetRealTime(0);
    WriteAll(FrameCommand(Bytes(kFrameBytes, 0)));
    EXPECT_EQ(kFrameBytes, Readable());
}

// A host that stops reading: once a frame's answers wait, the chip stops clocking, with the next
// frame's data in its command buffer; a write then takes only what fitted and returns at its
// timeout, still FT_OK. Reading again lets the chip go on where it stopped, and every host byte
// reaches the device and comes back once, in order.
TEST_F(SimRealTime, HostThatStopsReadingStallsTheClockLosingNothing)
{
    sim.vsim_SetStream(0, 0); // on a word boundary: echoes from the first frame on
    RestartMpsse();
    ASSERT_EQ(d2xx::FT_OK, sim.FT_SetTimeouts(handle, kPatientMs, kProgramTimeoutMs));
    WriteAll({kSetDivisor, 0x00, 0x00}); // 6 MHz: 5.5 ms a frame
    const auto [payload, sent] = TaggedFrames(3, 4);
    const Bytes commands = FrameCommands(payload);
    const VsimChipState before = State();

    const auto start = Clock::now();
    const DWORD written = Write(commands);
    // A floor no machine can undercut: the write waited out its timeout.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kProgramTimeoutMs));
    // The first frame and the second, whose header has started it; then nothing more.
    EXPECT_EQ(2 * (kFrameBytes + 3), written);
    EXPECT_EQ(kReadQueueSize, Readable());
    EXPECT_EQ(kCommandBufferSize, Unexecuted());
    const VsimChipState stalled = State();
    EXPECT_EQ(8 * static_cast<long long>(kReadQueueSize), stalled.bitsClocked - before.bitsClocked);
    EXPECT_EQ(2, stalled.frames - before.frames);

    ASSERT_EQ(d2xx::FT_OK, sim.FT_SetTimeouts(handle, kPatientMs, kPatientMs));
    Bytes answer = Read(kReadQueueSize);
    WriteAll(Bytes(commands.begin() + written, commands.end()));
    const Bytes rest = Read(2 * kFrameBytes);
    answer.insert(answer.end(), rest.begin(), rest.end());
    ASSERT_EQ(payload.size(), answer.size());
    EXPECT_EQ(sent, FlaggedBytes(answer));
    Bytes reached(2 * sent.size());
    reached.resize(static_cast<std::size_t>(
        sim.vsim_TakeHostBytes(reached.data(), static_cast<int>(reached.size()))));
    EXPECT_EQ(sent, reached);
}

// Two threads run the link as the program does, one writing frames of tagged pairs, the other
// reading answers, against the echoing device clocking in real time. Every host byte must come
// back once, in order; and waiting in the driver must not burn the processor.
TEST_F(SimRealTime, ThreadsExchangeFramesAndTheDriverSleepsWhileWaiting)
{
    sim.vsim_SetStream(7, 0);
    RestartMpsse();
    ASSERT_EQ(1, Handshake());

    constexpr int kFrames = 12;
    const auto [payload, sent] = TaggedFrames(kFrames, 4);

    const auto wallStart = Clock::now();
    const auto cpuStart = ProcessCpuTime();
    std::thread writer([&] {
        for (int f = 0; f < kFrames; ++f) {
            const Bytes frame = FrameCommand(
                Bytes(payload.begin() + f * kFrameBytes, payload.begin() + (f + 1) * kFrameBytes));
            DWORD written = 0;
            if (sim.FT_Write(handle, const_cast<std::uint8_t *>(frame.data()),
                             static_cast<DWORD>(frame.size()), &written) != d2xx::FT_OK ||
                written != frame.size())
                return;
        }
    });
    Bytes answer;
    while (answer.size() < payload.size()) {
        Bytes chunk(payload.size() - answer.size());
        DWORD got = 0;
        ASSERT_EQ(d2xx::FT_OK,
                  sim.FT_Read(handle, chunk.data(), static_cast<DWORD>(chunk.size()), &got));
        if (got == 0)
            break;
        answer.insert(answer.end(), chunk.begin(), chunk.begin() + got);
    }
    writer.join();
    const auto wall = Clock::now() - wallStart;
    const auto cpu = ProcessCpuTime() - cpuStart;

    EXPECT_EQ(sent, FlaggedBytes(answer));
    EXPECT_GE(wall, kFrames * kFrameTimeAtOneMHz);
    // Waiting by spinning costs about the whole time of a core; the driver sleeps instead (a
    // few per cent even under the thread sanitizer).
    EXPECT_LT(cpu, wall / 4) << "cpu " << cpu.count() << " us";
}

} // namespace
