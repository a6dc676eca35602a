// libftd2xx-ftdi1.so's own promises, on its test build over the libftdi1 stand-in, whose USB side
// is the simulated chip: listing and opening by description with channel letters, the read
// timeout, the read-ahead counts at their edges, and the D2XX status codes of its failures.
#include "device/D2xx.h"
#include "sim/SimLibrary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace
{

using d2xx::DWORD;
using d2xx::FT_HANDLE;

constexpr DWORD kDescriptionByIndex = d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION;
// One frame: clock 4096 bytes out and in (0x3D, length - 1 low byte first), then its data.
constexpr std::size_t kFramePayload = 4096;
constexpr std::size_t kReadAhead = 65536;

class FtdiDriverTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(SimLibrary::Path(), VELMOR_STANDIN_DRIVER) << "run through CTest";
        Sim.vsim_SetRealTime(0);
    }
    void TearDown() override
    {
        for (FT_HANDLE handle : Opened)
            Sim.FT_Close(handle);
    }

    void Attach(std::vector<const char *> names)
    {
        Sim.vsim_SetDevices(names.data(), static_cast<int>(names.size()));
    }
    std::vector<std::string> List()
    {
        std::vector<std::string> list;
        DWORD count = 0;
        EXPECT_EQ(Sim.FT_ListDevices(&count, nullptr, d2xx::FT_LIST_NUMBER_ONLY), d2xx::FT_OK);
        for (DWORD index = 0; index < count; ++index) {
            char name[d2xx::kDescriptionSize + 1] = {};
            void *byIndex = reinterpret_cast<void *>(std::uintptr_t{index});
            EXPECT_EQ(Sim.FT_ListDevices(byIndex, name, kDescriptionByIndex), d2xx::FT_OK);
            list.emplace_back(name);
        }
        return list;
    }
    d2xx::FT_STATUS Open(const char *description, FT_HANDLE &handle)
    {
        const d2xx::FT_STATUS status =
            Sim.FT_OpenEx(const_cast<char *>(description), d2xx::FT_OPEN_BY_DESCRIPTION, &handle);
        if (status == d2xx::FT_OK)
            Opened.push_back(handle);
        return status;
    }
    // The default device, in MPSSE mode, with the given timeouts.
    FT_HANDLE OpenMpsse(d2xx::ULONG readMs, d2xx::ULONG writeMs)
    {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(Open("SSC Simulator", handle), d2xx::FT_OK);
        EXPECT_EQ(Sim.FT_SetBitMode(handle, 0, d2xx::FT_BITMODE_MPSSE), d2xx::FT_OK);
        EXPECT_EQ(Sim.FT_SetTimeouts(handle, readMs, writeMs), d2xx::FT_OK);
        return handle;
    }
    DWORD Write(FT_HANDLE handle, std::vector<unsigned char> bytes,
                d2xx::FT_STATUS expected = d2xx::FT_OK)
    {
        DWORD written = 0;
        EXPECT_EQ(Sim.FT_Write(handle, bytes.data(), DWORD(bytes.size()), &written), expected);
        return written;
    }
    DWORD Held(FT_HANDLE handle)
    {
        DWORD rx = 0, tx = 1, events = 1;
        EXPECT_EQ(Sim.FT_GetStatus(handle, &rx, &tx, &events), d2xx::FT_OK);
        EXPECT_EQ(tx, 0u) << "libftdi1 cannot know what the chip still has to clock out";
        return rx;
    }
    std::vector<unsigned char> Read(FT_HANDLE handle, DWORD count)
    {
        std::vector<unsigned char> bytes(count);
        DWORD got = 0;
        EXPECT_EQ(Sim.FT_Read(handle, bytes.data(), count, &got), d2xx::FT_OK);
        bytes.resize(got);
        return bytes;
    }

    SimLibrary Sim;
    std::vector<FT_HANDLE> Opened;
};

std::vector<unsigned char> Frames(std::size_t count)
{
    std::vector<unsigned char> frames;
    for (std::size_t i = 0; i < count; ++i) {
        frames.insert(frames.end(), {0x3D, 0xFF, 0x0F});
        frames.insert(frames.end(), kFramePayload, 0x00);
    }
    return frames;
}

} // namespace

TEST_F(FtdiDriverTest, ListsEachMpsseChannelWithItsLetter)
{
    Attach({"Dual RS232-HS A", "Dual RS232-HS B", "Quad RS232-HS A", "Quad RS232-HS B",
            "Quad RS232-HS C", "Quad RS232-HS D", "Single RS232-HS"});
    // An FT4232H's channels C and D have no MPSSE engine; an FT232H's one channel has no letter.
    EXPECT_EQ(List(),
              (std::vector<std::string>{"Dual RS232-HS A", "Dual RS232-HS B", "Quad RS232-HS A",
                                        "Quad RS232-HS B", "Single RS232-HS"}));
    char name[d2xx::kDescriptionSize] = {};
    EXPECT_EQ(Sim.FT_ListDevices(reinterpret_cast<void *>(5), name, kDescriptionByIndex),
              d2xx::FT_DEVICE_NOT_FOUND);
}

TEST_F(FtdiDriverTest, OpensTheChannelItsDescriptionNames)
{
    Attach({"Dual RS232-HS A", "Dual RS232-HS B", "Quad RS232-HS A", "Quad RS232-HS B",
            "Quad RS232-HS C", "Quad RS232-HS D", "Single RS232-HS"});
    FT_HANDLE a = nullptr, b = nullptr, single = nullptr, other = nullptr;
    EXPECT_EQ(Open("Dual RS232-HS B", b), d2xx::FT_OK);
    EXPECT_EQ(Open("Dual RS232-HS A", a), d2xx::FT_OK);
    EXPECT_EQ(Open("Single RS232-HS", single), d2xx::FT_OK);
    EXPECT_EQ(Sim.vsim_OpenCount(), 3);
    EXPECT_NE(a, b);
    // A channel that is open already, a chip without its letter, a channel without MPSSE.
    EXPECT_EQ(Open("Dual RS232-HS B", other), d2xx::FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(Open("Dual RS232-HS", other), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Open("Quad RS232-HS C", other), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Open("", other), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Sim.vsim_OpenCount(), 3);
}

TEST_F(FtdiDriverTest, ReadReturnsWhatCameWhenItsTimeoutPasses)
{
    const FT_HANDLE handle = OpenMpsse(50, 50);
    EXPECT_EQ(Write(handle, {0x2C, 0x03, 0x00}), 3u); // clock 4 bytes in
    EXPECT_EQ(Read(handle, 10).size(), 4u) << "FT_OK with the 4 that came";
    EXPECT_EQ(Read(handle, 10).size(), 0u) << "nothing came: FT_OK with none";
    EXPECT_EQ(Read(handle, 0).size(), 0u);

    // With no timeout the read waits until everything asked for has come.
    EXPECT_EQ(Sim.FT_SetTimeouts(handle, 0, 0), d2xx::FT_OK);
    EXPECT_EQ(Write(handle, {0x2C, 0x07, 0x00}), 3u);
    EXPECT_EQ(Read(handle, 8).size(), 8u);
}

TEST_F(FtdiDriverTest, ReadAheadCountsStopAtItsSizeAndLoseNothing)
{
    Sim.vsim_SetBehaviour(VSIM_COUNTER);
    Sim.vsim_SetStream(0, 0); // the device's words line up with the first frame
    const FT_HANDLE handle = OpenMpsse(50, 5000);
    EXPECT_EQ(Held(handle), 0u);
    // 32 frames' answers: twice what the read-ahead holds. The writes take them all, because the
    // driver reads the chip's answers between its packets.
    constexpr std::size_t kFrames = 2 * kReadAhead / kFramePayload;
    EXPECT_EQ(Write(handle, Frames(kFrames)), kFrames * (kFramePayload + 3));

    EXPECT_EQ(Held(handle), kReadAhead);
    std::vector<unsigned char> all = Read(handle, 1);
    EXPECT_EQ(Held(handle), kReadAhead) << "topped up to the limit again, not beyond";
    const std::vector<unsigned char> first = Read(handle, kReadAhead);
    all.insert(all.end(), first.begin(), first.end());
    EXPECT_EQ(Held(handle), kReadAhead - 1);
    const std::vector<unsigned char> rest = Read(handle, kReadAhead - 1);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(Held(handle), 0u);

    // Every answer byte once, in order: from the second frame on the device sends the pairs
    // (n, 0x01), (n + 1, 0x01), ...
    ASSERT_EQ(all.size(), kFrames * kFramePayload);
    for (std::size_t i = kFramePayload + 2; i < all.size(); i += 2) {
        ASSERT_EQ(all[i], static_cast<unsigned char>(all[i - 2] + 1)) << i;
        ASSERT_EQ(all[i + 1], 0x01) << i;
    }
}

TEST_F(FtdiDriverTest, WriteReturnsWhatItsTimeoutAllowed)
{
    const FT_HANDLE handle = OpenMpsse(50, 50);
    Sim.vsim_SetWriteBudget(1000);
    EXPECT_EQ(Write(handle, Frames(1)), 1000u);
    EXPECT_EQ(Write(handle, Frames(1)), 0u);
    Sim.vsim_SetWriteBudget(-1);
    Sim.vsim_SetWriteStall(1);
    EXPECT_EQ(Write(handle, {0x85}), 0u);
    Sim.vsim_SetWriteStall(0);
    Sim.vsim_SetShortWrite(7);
    EXPECT_EQ(Write(handle, Frames(1)), kFramePayload + 3) << "short transfers add up";
}

TEST_F(FtdiDriverTest, DeviceFailuresAreIoErrors)
{
    const FT_HANDLE handle = OpenMpsse(50, 50);
    Sim.vsim_SetWriteError(1, 0);
    Write(handle, {0x85}, d2xx::FT_IO_ERROR);
    EXPECT_EQ(Write(handle, {0x85}), 1u);

    EXPECT_EQ(Write(handle, {0x2C, 0x00, 0x00}), 3u);
    Sim.vsim_SetReadError(1);
    unsigned char byte = 0;
    DWORD got = 7;
    EXPECT_EQ(Sim.FT_Read(handle, &byte, 1, &got), d2xx::FT_IO_ERROR);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(Read(handle, 1).size(), 1u) << "the byte waited in the chip";

    // Unplugged: every call on the handle fails, nothing is listed or opened, the handle is freed.
    Sim.vsim_SetUnplugged(1);
    DWORD rx = 0, tx = 0, events = 0;
    EXPECT_EQ(Sim.FT_GetStatus(handle, &rx, &tx, &events), d2xx::FT_IO_ERROR);
    EXPECT_EQ(Sim.FT_Read(handle, &byte, 1, &got), d2xx::FT_IO_ERROR);
    Write(handle, {0x85}, d2xx::FT_IO_ERROR);
    EXPECT_EQ(Sim.FT_SetBitMode(handle, 0, d2xx::FT_BITMODE_RESET), d2xx::FT_IO_ERROR);
    EXPECT_EQ(List(), std::vector<std::string>{});
    FT_HANDLE other = nullptr;
    EXPECT_EQ(Open("SSC Simulator", other), d2xx::FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(Sim.FT_Close(handle), d2xx::FT_IO_ERROR);
    Opened.clear();
    EXPECT_EQ(Sim.vsim_OpenCount(), 0);
    EXPECT_EQ(Sim.FT_Close(handle), d2xx::FT_INVALID_HANDLE);
}

TEST_F(FtdiDriverTest, BadArgumentsGetD2xxCodes)
{
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(Sim.FT_OpenEx(nullptr, d2xx::FT_OPEN_BY_DESCRIPTION, &handle),
              d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Sim.FT_OpenEx(const_cast<char *>("SIM000"), d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle),
              d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Sim.FT_ListDevices(nullptr, nullptr, d2xx::FT_LIST_NUMBER_ONLY),
              d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Sim.FT_ListDevices(nullptr, nullptr, 0x12345), d2xx::FT_INVALID_PARAMETER);

    int unknown = 0;
    DWORD count = 0;
    EXPECT_EQ(Sim.FT_Read(&unknown, nullptr, 0, &count), d2xx::FT_INVALID_HANDLE);
    EXPECT_EQ(Sim.FT_Close(&unknown), d2xx::FT_INVALID_HANDLE);

    handle = OpenMpsse(50, 50);
    EXPECT_EQ(Sim.FT_SetLatencyTimer(handle, 0), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Sim.FT_SetLatencyTimer(handle, 1), d2xx::FT_OK);
    EXPECT_EQ(Sim.FT_Read(handle, nullptr, 4, &count), d2xx::FT_INVALID_PARAMETER);
    EXPECT_EQ(Sim.FT_GetStatus(handle, nullptr, nullptr, nullptr), d2xx::FT_INVALID_PARAMETER);
}
