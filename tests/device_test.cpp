// The device link against the simulated chip, through the real binding: the built simulator is
// loaded at run time exactly as the driver library would be.
#include "device/D2xx.h"
#include "device/Ticks.h"
#include "device/Tsscclass.h"

#include "tests/SimLibrary.h"
#include "tests/Wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace ssc;
using testing::ElementsAre;
using testing::IsEmpty;

// The tests' view of the link's inner state.
struct TSSCClassProbe {
    static void SendFrame(TSSCClass &Link) { Link.SendFrame(); }
    static void CollectReceived(TSSCClass &Link) { Link.CollectReceived(); }
    static void StartTimeout(TSSCClass &Link, std::uint32_t Ms) { Link.StartTimeout(Ms); }
    static bool TimeoutExpired(TSSCClass &Link) { return Link.TimeoutExpired(); }
    static std::uint32_t Deadline(TSSCClass &Link) { return Link.FDeadline; }
    static d2xx::FT_HANDLE Device(TSSCClass &Link) { return Link.FDevice; }
    static int TxCount(TSSCClass &Link) { return Link.FTxCount; }
    static int TxRead(TSSCClass &Link) { return Link.FTxRead; }
    static int RxCount(TSSCClass &Link) { return Link.FRxCount; }
    static std::uint8_t TxTag(TSSCClass &Link) { return Link.FTxTag; }
    static unsigned char TxAt(TSSCClass &Link, int Index)
    {
        return Link.FTxRing[Index % kRingSize];
    }
    // Puts Count ring bytes 0, 1, 2, ... into an empty transmit ring.
    static void FillTx(TSSCClass &Link, int Count)
    {
        for (int i = 0; i < Count; ++i)
            Link.FTxRing[i] = static_cast<unsigned char>(i);
        Link.FTxRead = 0;
        Link.FTxCount = Count;
    }
    static void SetRxCount(TSSCClass &Link, int Count) { Link.FRxCount = Count; }
};
using Probe = TSSCClassProbe;

namespace
{

const std::string kSimulator = "SSC Simulator";
const std::vector<unsigned char> kSetupBytes = {0x80, 0x00, 0x03, 0x82, 0x00,
                                                0x00, 0x85, 0x86, 0x05, 0x00};

struct Messages {
    std::vector<std::string> List;
    TSSCMessageEvent Callback()
    {
        return [this](const AnsiString &Text) { List.push_back(Text); };
    }
    bool Has(const std::string &Text) const
    {
        return std::find(List.begin(), List.end(), Text) != List.end();
    }
};

class LinkTest : public testing::Test
{
protected:
    void SetUp() override
    {
        d2xx::SetLibraryFile(SimLibrary::Path());
        Sim.vsim_SetRealTime(0);
    }
    void TearDown() override
    {
        RetireLink(Link);
        ticks::SetSource(nullptr);
    }

    TSSCClass &NewLink()
    {
        RetireLink(Link);
        Said.List.clear();
        Link = std::make_unique<TSSCClass>(Said.Callback());
        return *Link;
    }
    TSSCClass &OpenLink()
    {
        TSSCClass &link = NewLink();
        EXPECT_FALSE(link.Init(kSimulator));
        Said.List.clear();
        return link;
    }
    TSSCClass &SynchedLink()
    {
        Sim.vsim_SetStream(7, 0);
        TSSCClass &link = OpenLink();
        EXPECT_FALSE(link.SynchDevice(24, 0x01A5));
        Said.List.clear();
        return link;
    }
    std::vector<unsigned char> WriteLog()
    {
        std::vector<unsigned char> log(1 << 16);
        log.resize(static_cast<std::size_t>(Sim.vsim_GetWriteLog(log.data(), int(log.size()))));
        return log;
    }
    VsimChipState Chip()
    {
        VsimChipState state{};
        Sim.vsim_GetChipState(&state);
        return state;
    }
    std::vector<unsigned char> HostBytes()
    {
        std::vector<unsigned char> bytes(4096);
        bytes.resize(static_cast<std::size_t>(Sim.vsim_TakeHostBytes(bytes.data(), 4096)));
        return bytes;
    }

    SimLibrary Sim;
    Messages Said;
    std::unique_ptr<TSSCClass> Link;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Binding the driver library

TEST(Binding, LoadsLibftd2xxByDefault)
{
    EXPECT_EQ(d2xx::LibraryFile(), "libftd2xx.so");
}

TEST(Binding, MissingFileNamesTheFileTried)
{
    d2xx::SetLibraryFile("/nonexistent/libftd2xx.so");
    Messages said;
    auto link = std::make_unique<TSSCClass>(said.Callback());
    EXPECT_TRUE(link->Init(kSimulator));
    EXPECT_THAT(said.List, ElementsAre("Can not load /nonexistent/libftd2xx.so"));
    QStringList list{"kept"};
    EXPECT_TRUE(link->ListDevices(list)) << "nothing is bound yet";
    EXPECT_THAT(list, ElementsAre("kept"));
    RetireLink(link);
}

TEST(Binding, FallsBackToTheProgramsOwnDriver)
{
    // The build tree lays the driver over libftdi1 out where the installed program finds it.
    if (void *vendor = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL)) {
        dlclose(vendor);
        GTEST_SKIP() << "libftd2xx.so is installed here, so it is loaded first";
    }
    d2xx::SetLibraryFile("");
    std::string file;
    void *library = d2xx::LoadDriver(file);
    ASSERT_NE(library, nullptr) << file;
    EXPECT_EQ(file, d2xx::OwnDriverFile());
    EXPECT_THAT(file, testing::EndsWith("/velmor-debug/libftd2xx-ftdi1.so"));
    d2xx::UnloadLibrary(library);

    // Bound through the link, it looks for chips with libftdi1; no board is attached here.
    Messages said;
    auto link = std::make_unique<TSSCClass>(said.Callback());
    EXPECT_TRUE(link->Init("no such board"));
    EXPECT_THAT(said.List, ElementsAre("Error in FT_OpenEx DeviceDescr:no such board"));
    RetireLink(link);
}

TEST(Binding, UnderscoredNamesAreBound)
{
    d2xx::SetLibraryFile(VELMOR_UNDERSCORE_DRIVER);
    Messages said;
    auto link = std::make_unique<TSSCClass>(said.Callback());
    EXPECT_TRUE(link->Init("Board"));
    // The open failed, so every entry point was found and the open was called.
    EXPECT_THAT(said.List, ElementsAre("Error in FT_OpenEx DeviceDescr:Board"));
    EXPECT_NE(d2xx::Table.FT_Close, nullptr);
    QStringList list;
    EXPECT_FALSE(link->ListDevices(list));
    EXPECT_THAT(list, IsEmpty());
    RetireLink(link);
}

TEST(Binding, FirstMissingEntryPointIsNamed)
{
    d2xx::Table = {};
    d2xx::SetLibraryFile(VELMOR_MISSING_DRIVER);
    Messages said;
    auto link = std::make_unique<TSSCClass>(said.Callback());
    EXPECT_TRUE(link->Init(kSimulator));
    EXPECT_THAT(said.List, ElementsAre("Missing FT_Write"));
    EXPECT_NE(d2xx::Table.FT_Read, nullptr);
    EXPECT_EQ(d2xx::Table.FT_Close, nullptr) << "entries after the gap are not looked up";
    RetireLink(link);
}

// ---------------------------------------------------------------------------------------------
// Opening, listing and the life cycle

TEST_F(LinkTest, InitOpensAndConfiguresTheChip)
{
    TSSCClass &link = NewLink();
    EXPECT_FALSE(link.Init(kSimulator));
    EXPECT_THAT(Said.List, ElementsAre("Inited"));
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);

    const VsimChipState chip = Chip();
    EXPECT_EQ(chip.latencyMs, 1);
    EXPECT_EQ(chip.readTimeoutMs, 50);
    EXPECT_EQ(chip.writeTimeoutMs, 50);
    EXPECT_EQ(chip.bitMode, 0x02);
    EXPECT_EQ(chip.bitModeCalls, 2) << "reset, then MPSSE";
    EXPECT_EQ(chip.lowValue, 0x00);
    EXPECT_EQ(chip.lowDir, 0x03);
    EXPECT_EQ(chip.highValue, 0x00);
    EXPECT_EQ(chip.highDir, 0x00);
    EXPECT_EQ(chip.loopback, 0);
    EXPECT_EQ(chip.divisor, 5);
    EXPECT_EQ(WriteLog(), kSetupBytes);

    // A second Init changes nothing.
    Said.List.clear();
    EXPECT_TRUE(link.Init(kSimulator));
    EXPECT_THAT(Said.List, ElementsAre("Already inited"));
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
    EXPECT_EQ(WriteLog(), kSetupBytes);
}

TEST_F(LinkTest, RetiringClosesTheDevicePromptly)
{
    OpenLink();
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
    QElapsedTimer clock;
    clock.start();
    RetireLink(Link);
    // The idle worker's one-second sleep ends at the stop request; allow a slow machine plenty.
    EXPECT_LT(clock.elapsed(), 900);
    EXPECT_EQ(Sim.vsim_OpenCount(), 0);
}

TEST_F(LinkTest, FailedOpenLeavesTheTableBoundForListing)
{
    TSSCClass &link = NewLink();
    EXPECT_TRUE(link.Init(""));
    EXPECT_THAT(Said.List, ElementsAre("Error in FT_OpenEx DeviceDescr:"));
    EXPECT_EQ(Sim.vsim_OpenCount(), 0);
    QStringList list{"earlier"};
    EXPECT_FALSE(link.ListDevices(list));
    EXPECT_THAT(list, ElementsAre("earlier", "SSC Simulator"));

    // The link is unable to transfer and says so.
    Said.List.clear();
    const unsigned char byte = 'x';
    EXPECT_EQ(link.SendData(&byte, 1), -1);
    unsigned char in[4];
    EXPECT_EQ(link.ReceiveData(in, 4), -1);
    EXPECT_EQ(link.TxRoom(), -1);
    EXPECT_THAT(Said.List, ElementsAre("Not inited", "Not inited"));
}

TEST_F(LinkTest, ListDevicesBeforeInitLeavesTheListAlone)
{
    d2xx::Table = {}; // as at start, whatever ran before in this process
    TSSCClass &link = NewLink();
    QStringList list{"kept"};
    EXPECT_TRUE(link.ListDevices(list));
    EXPECT_THAT(list, ElementsAre("kept"));
}

TEST_F(LinkTest, ListDevicesCutsADescriptionWithoutNulAt64Bytes)
{
    const std::string longName(70, 'L');
    const char *names[] = {"First", longName.c_str(), "Third"};
    Sim.vsim_SetDevices(names, 3);
    TSSCClass &link = NewLink();
    link.Init("First");
    QStringList list;
    EXPECT_FALSE(link.ListDevices(list));
    EXPECT_THAT(list, ElementsAre("First", QString(64, 'L'), "Third"));

    Sim.vsim_SetDevices(nullptr, 0);
    list.clear();
    EXPECT_FALSE(link.ListDevices(list));
    EXPECT_THAT(list, IsEmpty());
}

TEST_F(LinkTest, SetupBytesGoOutInShortWrites)
{
    Sim.vsim_SetShortWrite(6);
    TSSCClass &link = NewLink();
    EXPECT_FALSE(link.Init(kSimulator));
    EXPECT_EQ(WriteLog(), kSetupBytes);
    EXPECT_EQ(Chip().divisor, 5);
}

TEST_F(LinkTest, UnsentSetupLeavesTheDeviceOpen)
{
    Sim.vsim_SetWriteError(-1, 0);
    TSSCClass &link = NewLink();
    EXPECT_TRUE(link.Init(kSimulator));
    EXPECT_THAT(Said.List, ElementsAre("SendBuffer TIMEOUT", "Error in sending..."));
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
    Said.List.clear();
    EXPECT_TRUE(link.Init(kSimulator));
    EXPECT_THAT(Said.List, ElementsAre("Already inited"));
}

TEST_F(LinkTest, SetupWrittenWithErrorStatusFails)
{
    // The bytes reach the driver but the status says failure: not a success.
    if (!SimLibrary::OwnEntryPoints())
        GTEST_SKIP() << "a write that takes the bytes yet fails: libftdi1 returns no count with a "
                        "failure, so no driver over it can report this";
    Sim.vsim_SetWriteError(-1, 1);
    TSSCClass &link = NewLink();
    EXPECT_TRUE(link.Init(kSimulator));
    EXPECT_THAT(Said.List, ElementsAre("Error in sending..."));
}

TEST_F(LinkTest, EmptyCallbackReportsNothing)
{
    auto link = std::make_unique<TSSCClass>();
    EXPECT_TRUE(link->Init("no such board"));
    EXPECT_TRUE(link->SynchDevice(24, 0x01A5));
    RetireLink(link);
}

TEST_F(LinkTest, DestroyingARunningLinkStopsItFirst)
{
    SynchedLink();
    EXPECT_TRUE(Link->isRunning());
    Link.reset();
    EXPECT_EQ(Sim.vsim_OpenCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// The millisecond timeout

namespace
{
std::uint32_t FakeTick = 0;
std::uint32_t ReadFakeTick()
{
    return FakeTick;
}
} // namespace

TEST_F(LinkTest, TimeoutSurvivesTheTickCounterWrap)
{
    ticks::SetSource(&ReadFakeTick);
    TSSCClass &link = NewLink();
    FakeTick = 0xFFFFFFF0;
    Probe::StartTimeout(link, 20);
    EXPECT_EQ(Probe::Deadline(link), 0x00000004u);
    FakeTick = 0xFFFFFFF5;
    EXPECT_FALSE(Probe::TimeoutExpired(link));
    FakeTick = 0x00000002;
    EXPECT_FALSE(Probe::TimeoutExpired(link));
    FakeTick = 0x00000005;
    EXPECT_TRUE(Probe::TimeoutExpired(link));

    // No test between the wrap and the deadline: still expires on time.
    FakeTick = 0xFFFFFFF0;
    Probe::StartTimeout(link, 20);
    FakeTick = 0x00000010;
    EXPECT_TRUE(Probe::TimeoutExpired(link));

    // And an ordinary deadline is not taken as reached early.
    FakeTick = 1000;
    Probe::StartTimeout(link, 10);
    FakeTick = 1009;
    EXPECT_FALSE(Probe::TimeoutExpired(link));
    FakeTick = 1010;
    EXPECT_TRUE(Probe::TimeoutExpired(link));
}

// ---------------------------------------------------------------------------------------------
// The handshake

TEST_F(LinkTest, HandshakeAtTheFirstAttempt)
{
    Sim.vsim_SetStream(7, 0);
    TSSCClass &link = OpenLink();
    EXPECT_FALSE(link.SynchDevice(24, 0x01A5));
    EXPECT_THAT(Said.List, ElementsAre("SYNCH ---> A5", "23"));
    EXPECT_TRUE(link.Synched);

    // Synchronised already: nothing is sent or said.
    const std::size_t logged = WriteLog().size();
    Said.List.clear();
    EXPECT_FALSE(link.SynchDevice(24, 0x01A5));
    EXPECT_THAT(Said.List, IsEmpty());
    EXPECT_EQ(WriteLog().size() > logged ? WriteLog()[logged] : 0x3D, 0x3D)
        << "only the worker's frames follow, no handshake command";
}

TEST_F(LinkTest, HandshakeAtTheLastAttempt)
{
    Sim.vsim_SetStream(0, 16);
    TSSCClass &link = OpenLink();
    EXPECT_FALSE(link.SynchDevice(24, 0x01A5));
    ASSERT_EQ(Said.List.size(), 25u);
    EXPECT_EQ(Said.List[0], "SYNCH ---> 00");
    EXPECT_EQ(Said.List[23], "SYNCH ---> A5");
    EXPECT_EQ(Said.List[24], "0");
    // 24 one-bit steps and one whole byte went out after the set-up.
    const std::vector<unsigned char> log = WriteLog();
    EXPECT_EQ(std::count(log.begin() + 10, log.end(), 0x2E), 24);
}

TEST_F(LinkTest, HandshakeGivesUpAfterItsAttempts)
{
    Sim.vsim_SetStream(0, 17);
    TSSCClass &link = OpenLink();
    EXPECT_TRUE(link.SynchDevice(24, 0x01A5));
    EXPECT_EQ(Said.List.size(), 24u) << "one SYNCH line an attempt, nothing more";
    EXPECT_FALSE(link.Synched);
}

TEST_F(LinkTest, HandshakeNeedsTheHighByteToo)
{
    Sim.vsim_SetStream(7, 0);
    TSSCClass &link = OpenLink();
    // The low byte matches; the high byte never does, so each second phase times out.
    EXPECT_TRUE(link.SynchDevice(8, 0x02A5));
    EXPECT_TRUE(Said.Has("SYNCH ---> A5"));
    EXPECT_FALSE(Said.Has("Synchronization TIMEOUT expired"));
    EXPECT_FALSE(link.Synched);
}

TEST_F(LinkTest, HandshakeRefusesBadParameters)
{
    TSSCClass &unopened = NewLink();
    EXPECT_TRUE(unopened.SynchDevice(24, 0x01A5));
    EXPECT_THAT(Said.List, ElementsAre("Not inited or bad parameters"));

    Sim.vsim_SetStream(7, 0);
    TSSCClass &link = OpenLink();
    EXPECT_TRUE(link.SynchDevice(7, 0x01A5));
    EXPECT_THAT(Said.List, ElementsAre("Not inited or bad parameters"));
    Said.List.clear();
    EXPECT_FALSE(link.SynchDevice(8, 0x01A5));
    EXPECT_THAT(Said.List, ElementsAre("SYNCH ---> A5", "7"));
}

namespace
{
std::uint32_t Leaping = 0;
// Every look at the clock is 100 ms later than the last.
std::uint32_t LeapingTick()
{
    return Leaping += 100;
}
} // namespace

TEST_F(LinkTest, HandshakeFirstPhaseTimeoutEndsIt)
{
    TSSCClass &link = OpenLink();
    ticks::SetSource(&LeapingTick);
    EXPECT_TRUE(link.SynchDevice(24, 0x01A5));
    EXPECT_THAT(Said.List, ElementsAre("Synchronization TIMEOUT expired"));
}

TEST_F(LinkTest, HandshakeReadErrorEndsIt)
{
    TSSCClass &link = OpenLink();
    Sim.vsim_SetReadError(-1);
    EXPECT_TRUE(link.SynchDevice(24, 0x01A5));
    EXPECT_THAT(Said.List, ElementsAre("FT_Read error"));
}

TEST_F(LinkTest, HandshakeWithoutThePatternFindsNothing)
{
    Sim.vsim_SetNoPattern(1);
    TSSCClass &link = OpenLink();
    EXPECT_TRUE(link.SynchDevice(24, 0x01A5));
    EXPECT_FALSE(Said.Has("SYNCH ---> A5"));
}

// ---------------------------------------------------------------------------------------------
// Host bytes into the transmit ring

TEST_F(LinkTest, SendDataQueuesWholeHostBytesOnly)
{
    TSSCClass &link = OpenLink(); // unsynchronised: the worker leaves the ring alone
    std::vector<unsigned char> bytes(200);
    for (int i = 0; i < 200; ++i)
        bytes[i] = static_cast<unsigned char>(i);

    EXPECT_EQ(link.TxRoom(), 109);
    EXPECT_EQ(link.SendData(bytes.data(), 200), 109);
    EXPECT_EQ(Probe::TxCount(link), 65400);
    EXPECT_EQ(link.TxRoom(), 0);
    // Each byte as 300 pairs of data and its own tag, tags counting from 1.
    EXPECT_EQ(Probe::TxAt(link, 0), 0);
    EXPECT_EQ(Probe::TxAt(link, 1), 1);
    EXPECT_EQ(Probe::TxAt(link, 599), 1);
    EXPECT_EQ(Probe::TxAt(link, 600), 1);
    EXPECT_EQ(Probe::TxAt(link, 601), 2);
    EXPECT_EQ(Probe::TxAt(link, 65398), 108);
    EXPECT_EQ(Probe::TxAt(link, 65399), 109);
    EXPECT_EQ(Probe::TxTag(link), 110) << "the next byte gets a fresh tag";

    // The ring is full for a whole byte: nothing is cut short.
    EXPECT_EQ(link.SendData(bytes.data() + 109, 91), 0);
    EXPECT_EQ(Probe::TxCount(link), 65400);
    EXPECT_EQ(link.SendData(bytes.data(), 0), 0);
    EXPECT_EQ(link.SendData(bytes.data(), -5), 0);
    EXPECT_THAT(Said.List, IsEmpty());
}

TEST_F(LinkTest, TagsCycleFrom255BackTo1)
{
    TSSCClass &link = OpenLink();
    const unsigned char byte = 0x55;
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(link.SendData(&byte, 1), 1);
        if (link.TxRoom() == 0)
            Probe::FillTx(link, 0); // make room; only the tag matters here
    }
    EXPECT_EQ(Probe::TxTag(link), 1);
}

TEST_F(LinkTest, NothingMovesAfterStop)
{
    TSSCClass &link = SynchedLink();
    link.Stop();
    const unsigned char byte = 1;
    unsigned char in[16];
    EXPECT_EQ(link.SendData(&byte, 1), -1);
    EXPECT_EQ(link.ReceiveData(in, 16), -1);
    EXPECT_EQ(link.TxRoom(), -1);
    EXPECT_THAT(Said.List, IsEmpty());
}

// ---------------------------------------------------------------------------------------------
// Frames out and pairs in (driven from the test while the worker idles unsynchronised)

TEST_F(LinkTest, EmptyRingSendsAZeroFrame)
{
    TSSCClass &link = OpenLink();
    Probe::SendFrame(link);
    const std::vector<unsigned char> log = WriteLog();
    ASSERT_EQ(log.size(), 10u + kFrameSize);
    EXPECT_THAT(std::vector<unsigned char>(log.begin() + 10, log.begin() + 13),
                ElementsAre(0x3D, 0xFF, 0x0F));
    EXPECT_TRUE(std::all_of(log.begin() + 13, log.end(), [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(Probe::TxCount(link), 0);
}

TEST_F(LinkTest, FrameCarriesTheOldest4096RingBytes)
{
    TSSCClass &link = OpenLink();
    Probe::FillTx(link, 5000);
    Probe::SendFrame(link);
    const std::vector<unsigned char> log = WriteLog();
    ASSERT_EQ(log.size(), 10u + kFrameSize);
    for (int i = 0; i < kFramePayload; ++i)
        ASSERT_EQ(log[13 + i], static_cast<unsigned char>(i)) << i;
    EXPECT_EQ(Probe::TxCount(link), 904);
    EXPECT_EQ(Probe::TxRead(link), 4096);
}

TEST_F(LinkTest, CutFrameIsFinishedBeforeTheNextBegins)
{
    TSSCClass &link = OpenLink();
    Probe::FillTx(link, 5000);
    Sim.vsim_SetWriteBudget(1000);
    Probe::SendFrame(link);
    EXPECT_TRUE(test::WaitUntil([&] { return Said.Has("FT_Write TIMEOUT"); }));
    // The frame's payload is committed to it; the rest waits for the next frame.
    EXPECT_EQ(Probe::TxCount(link), 5000 - kFramePayload);
    ASSERT_EQ(WriteLog().size(), 10u + 1000);

    // The next pass writes the rest of the same frame, without a header of its own.
    Sim.vsim_SetWriteBudget(-1);
    Probe::SendFrame(link);
    std::vector<unsigned char> log = WriteLog();
    ASSERT_EQ(log.size(), 10u + kFrameSize);
    for (int i = 0; i < kFramePayload; ++i)
        ASSERT_EQ(log[13 + i], static_cast<unsigned char>(i)) << i;
    EXPECT_EQ(Chip().badCommands, 0);

    // Then a new frame with the rest of the ring.
    Probe::SendFrame(link);
    log = WriteLog();
    ASSERT_EQ(log.size(), 10u + 2 * kFrameSize);
    EXPECT_EQ(log[10 + kFrameSize], 0x3D);
    EXPECT_EQ(log[10 + kFrameSize + 3], static_cast<unsigned char>(4096));
    EXPECT_EQ(Probe::TxCount(link), 0);
}

TEST_F(LinkTest, FrameThatMadeNoProgressIsOfferedAgain)
{
    TSSCClass &link = OpenLink();
    const unsigned char bytes[] = {0x11, 0x22};
    ASSERT_EQ(link.SendData(bytes, 2), 2);
    Sim.vsim_SetWriteStall(1);
    Probe::SendFrame(link);
    EXPECT_EQ(WriteLog().size(), 10u) << "the driver took nothing";
    Sim.vsim_SetWriteStall(0);
    Probe::SendFrame(link);
    const std::vector<unsigned char> log = WriteLog();
    ASSERT_EQ(log.size(), 10u + kFrameSize);
    EXPECT_EQ(log[13], 0x11) << "the stalled frame's payload, not a fresh empty frame";
    EXPECT_EQ(log[13 + 600], 0x22);
}

TEST_F(LinkTest, FrameCutMidPairLosesNoHostByte)
{
    // A cut after an odd number of payload bytes, in the middle of a pair: the device still sees
    // every host byte once, in order, and no stray commands.
    Sim.vsim_SetStream(0, 0);
    TSSCClass &link = OpenLink();
    Sim.vsim_SetBehaviour(VSIM_SILENT);
    const unsigned char bytes[] = {0xAA, 0xBB, 0xCC};
    ASSERT_EQ(link.SendData(bytes, 3), 3);
    Sim.vsim_SetWriteBudget(3 + 1001);
    Probe::SendFrame(link);
    Sim.vsim_SetWriteBudget(-1);
    Probe::SendFrame(link);
    Probe::SendFrame(link);
    EXPECT_THAT(HostBytes(), ElementsAre(0xAA, 0xBB, 0xCC));
    EXPECT_EQ(Chip().badCommands, 0);
}

TEST_F(LinkTest, FrameTimeoutReportNeverBlocksAWaitingSendData)
{
    // Frames keep timing out while the UI thread queues bytes: the worker hands its message over
    // only after releasing the ring lock, so neither side waits for the other for ever.
    TSSCClass &link = SynchedLink();
    Sim.vsim_SetWriteStall(1);
    const unsigned char byte = 'z';
    EXPECT_TRUE(test::WaitUntil([&] {
        link.SendData(&byte, 1);
        return std::count(Said.List.begin(), Said.List.end(), "FT_Write TIMEOUT") >= 3;
    }));
    Sim.vsim_SetWriteStall(0);
}

TEST_F(LinkTest, FrameWriteWithErrorStatusIsNoProgress)
{
    if (!SimLibrary::OwnEntryPoints())
        GTEST_SKIP() << "a write that takes the bytes yet fails: libftdi1 returns no count with a "
                        "failure, so no driver over it can report this";
    TSSCClass &link = OpenLink();
    Sim.vsim_SetWriteError(1, 1); // takes the frame but says it failed
    Probe::SendFrame(link);
    const std::vector<unsigned char> log = WriteLog();
    ASSERT_EQ(log.size(), 10u + 2 * kFrameSize) << "the same frame is offered again whole";
    EXPECT_EQ(log[10 + kFrameSize], 0x3D);
}

TEST_F(LinkTest, CollectKeepsValidBytesOnly)
{
    Sim.vsim_SetStream(0, 0); // the device's words line up with the first frame
    TSSCClass &link = OpenLink();
    const unsigned char sent[] = {0x41, 0x42};
    Sim.vsim_SetBehaviour(VSIM_SEND);
    Sim.vsim_QueueDeviceBytes(sent, 2);
    Probe::SendFrame(link); // the device answers the frame: 41 01 42 01 then idle pairs
    Probe::CollectReceived(link);
    unsigned char in[4096];
    EXPECT_EQ(link.ReceiveData(in, 4096), 2);
    EXPECT_EQ(in[0], 0x41);
    EXPECT_EQ(in[1], 0x42);
    EXPECT_EQ(link.ReceiveData(in, 4096), 0);
}

TEST_F(LinkTest, OddReadKeepsThePairBoundary)
{
    Sim.vsim_SetStream(0, 0); // the device's words line up with the first frame
    TSSCClass &link = OpenLink();
    const unsigned char sent[] = {'A', 'B', 'C', 'D', 'E', 'F'};
    Sim.vsim_SetBehaviour(VSIM_SEND);
    Sim.vsim_QueueDeviceBytes(sent, 6);
    Probe::SendFrame(link);
    Sim.vsim_SetOddRead(1);
    Probe::CollectReceived(link);
    Probe::CollectReceived(link);
    unsigned char in[16] = {};
    ASSERT_EQ(link.ReceiveData(in, 16), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(in), 6), "ABCDEF");
}

TEST_F(LinkTest, CollectLeavesInTheDriverWhatTheRingCannotHold)
{
    Sim.vsim_SetStream(0, 0); // the device's words line up with the first frame
    TSSCClass &link = OpenLink();
    const unsigned char sent[] = {1, 2, 3};
    Sim.vsim_SetBehaviour(VSIM_SEND);
    Sim.vsim_QueueDeviceBytes(sent, 3);
    Probe::SendFrame(link);
    Probe::SetRxCount(link, kRingSize - 1);

    auto queued = [&] {
        d2xx::DWORD rx = 0, tx = 0, ev = 0;
        Sim.FT_GetStatus(Probe::Device(link), &rx, &tx, &ev);
        return rx;
    };
    ASSERT_TRUE(test::WaitUntil([&] { return queued() == kFramePayload; }));
    Probe::CollectReceived(link);
    EXPECT_EQ(Probe::RxCount(link), kRingSize);
    EXPECT_EQ(queued(), 4096u - 2) << "one pair taken, the rest waits";

    // A receive ring that has room again gets the rest, nothing lost.
    unsigned char in[kRingSize];
    EXPECT_EQ(link.ReceiveData(in, kRingSize), kRingSize);
    EXPECT_EQ(in[kRingSize - 1], 1);
    Probe::CollectReceived(link);
    ASSERT_EQ(link.ReceiveData(in, 16), 2);
    EXPECT_EQ(in[0], 2);
    EXPECT_EQ(in[1], 3);
}

TEST_F(LinkTest, SingleQueuedByteWaitsForItsPartner)
{
    Sim.vsim_SetStream(0, 0); // the device's words line up with the first frame
    TSSCClass &link = OpenLink();
    Sim.vsim_SetBehaviour(VSIM_SEND);
    const unsigned char sent[] = {7};
    Sim.vsim_QueueDeviceBytes(sent, 1);
    Probe::SendFrame(link);
    Sim.vsim_SetOddRead(1);
    // Take all but one byte, leaving exactly one queued.
    Probe::CollectReceived(link);
    Probe::CollectReceived(link);
    unsigned char in[16];
    EXPECT_EQ(link.ReceiveData(in, 16), 1);
    EXPECT_EQ(in[0], 7);
}

// ---------------------------------------------------------------------------------------------
// End to end with the worker

namespace
{
// Queues the text and collects what comes back until as many bytes have arrived.
std::string EchoThrough(TSSCClass &Link, const std::string &Text)
{
    EXPECT_EQ(Link.SendData(reinterpret_cast<const unsigned char *>(Text.data()), int(Text.size())),
              int(Text.size()));
    std::string received;
    EXPECT_TRUE(test::WaitUntil([&] {
        unsigned char in[4096];
        const int got = Link.ReceiveData(in, 4096);
        received.append(reinterpret_cast<char *>(in), static_cast<std::size_t>(std::max(got, 0)));
        return received.size() >= Text.size();
    }));
    return received;
}
} // namespace

TEST_F(LinkTest, EchoesHelloInFastMode)
{
    TSSCClass &link = SynchedLink();
    EXPECT_EQ(EchoThrough(link, "hello"), "hello");
    EXPECT_THAT(HostBytes(), ElementsAre('h', 'e', 'l', 'l', 'o'));
}

TEST_F(LinkTest, EchoesHelloInRealTime)
{
    Sim.vsim_SetRealTime(1);
    Sim.vsim_SetStream(-1, 0); // a random start: several one-bit steps
    TSSCClass &link = OpenLink();
    ASSERT_FALSE(link.SynchDevice(24, 0x01A5));
    EXPECT_EQ(EchoThrough(link, "hello"), "hello");
}

TEST_F(LinkTest, RingsHoldUpUnderConcurrentFeedAndDrain)
{
    // The worker exchanges frames while another thread feeds and drains: every byte comes back
    // once, in order.
    TSSCClass &link = SynchedLink();
    constexpr int kTotal = 600;
    std::string received;
    std::thread feeder([&] {
        int sent = 0;
        while (sent < kTotal) {
            unsigned char chunk[32];
            const int n = std::min(32, kTotal - sent);
            for (int i = 0; i < n; ++i)
                chunk[i] = static_cast<unsigned char>((sent + i) % 251);
            const int queued = link.SendData(chunk, n);
            if (queued < 0)
                return;
            sent += queued;
            std::this_thread::yield();
        }
    });
    const bool done = test::WaitUntil(
        [&] {
            unsigned char in[4096];
            const int got = link.ReceiveData(in, 4096);
            received.append(reinterpret_cast<char *>(in),
                            static_cast<std::size_t>(std::max(got, 0)));
            return received.size() >= kTotal;
        },
        std::chrono::milliseconds(120000));
    feeder.join();
    ASSERT_TRUE(done) << received.size();
    ASSERT_EQ(received.size(), std::size_t(kTotal));
    for (int i = 0; i < kTotal; ++i)
        ASSERT_EQ(static_cast<unsigned char>(received[i]), i % 251) << i;
}
