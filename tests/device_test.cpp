// The device link against the simulated chip, through the real binding: the built simulator is
// loaded at run time exactly as the driver library would be.
#include "device/D2xx.h"
#include "device/DeviceOpen.h"
#include "device/Ticks.h"
#include "device/Tsscclass.h"

#include "sim/SimLibrary.h"
#include "tests/Wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace ssc;
using testing::ElementsAre;
using testing::IsEmpty;

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
    // Waits until the device has accepted as many host bytes as were sent, and checks that they
    // are the bytes sent, once each and in order, with no stray command at the chip.
    void ExpectDeviceGot(const std::string &Sent)
    {
        std::string arrived;
        ASSERT_TRUE(test::WaitUntil([&] {
            for (const unsigned char byte : HostBytes())
                arrived += static_cast<char>(byte);
            return arrived.size() >= Sent.size();
        }));
        EXPECT_EQ(arrived, Sent);
        EXPECT_EQ(Chip().badCommands, 0);
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
    EXPECT_THAT(said.List, ElementsAre("Can not load /nonexistent/libftd2xx.so: "
                                       "/nonexistent/libftd2xx.so: cannot open shared object "
                                       "file: No such file or directory"));
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

TEST_F(LinkTest, InitBySerialOpensTheSecondOfTwoBoardsOfOneDescription)
{
    const char *twins[] = {"SSC Simulator", "SSC Simulator"};
    Sim.vsim_SetDevices(twins, 2);
    Sim.vsim_SetStream(7, 0);
    // The first by description, the second beside it by serial number. Every Init comes before
    // any link synchronises: Init binds the process-wide table, which running workers read.
    TSSCClass &first = OpenLink();
    auto second = std::make_unique<TSSCClass>(Said.Callback());
    ASSERT_FALSE(second->InitBySerial("SIM001")) << testing::PrintToString(Said.List);
    EXPECT_EQ(second->Serial(), "SIM001");
    EXPECT_EQ(Sim.vsim_OpenCount(), 2);

    // A serial number in use, one not there, none, and a link already open.
    Said.List.clear();
    for (const char *serial : {"SIM001", "SIM002", ""}) {
        auto other = std::make_unique<TSSCClass>(Said.Callback());
        EXPECT_TRUE(other->InitBySerial(serial));
        EXPECT_EQ(other->InitOutcome(), TInitOutcome::DeviceNotFound);
        RetireLink(other);
    }
    EXPECT_TRUE(second->InitBySerial("SIM000"));
    EXPECT_EQ(second->Serial(), "SIM001");
    EXPECT_THAT(Said.List, ElementsAre("Error in FT_OpenEx SerialNumber:SIM001",
                                       "Error in FT_OpenEx SerialNumber:SIM002",
                                       "Error in FT_OpenEx SerialNumber:", "Already inited"));

    // Each board echoes on its own.
    ASSERT_FALSE(second->SynchDevice(24, 0x01A5));
    ASSERT_FALSE(first.SynchDevice(24, 0x01A5));
    EXPECT_EQ(EchoThrough(*second, "second board"), "second board");
    EXPECT_EQ(EchoThrough(first, "first board"), "first board");
    RetireLink(second);
    EXPECT_EQ(Sim.vsim_OpenCount(), 1);
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
    // Only the worker's frames follow (headers and the empty ring's zeros), no handshake command;
    // the worker may be part way through a frame at any moment.
    const std::vector<unsigned char> log = WriteLog();
    EXPECT_TRUE(std::none_of(log.begin() + static_cast<std::ptrdiff_t>(logged), log.end(),
                             [](unsigned char byte) { return byte == 0x2E || byte == 0x2C; }));
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
    EXPECT_EQ(link.TxRoom(), 0);
    // The ring is full for a whole byte: nothing is cut short.
    EXPECT_EQ(link.SendData(bytes.data() + 109, 91), 0);
    EXPECT_EQ(link.SendData(bytes.data(), 0), 0);
    EXPECT_EQ(link.SendData(bytes.data(), -5), 0);
    EXPECT_THAT(Said.List, IsEmpty());
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
// Frames under the driver's faults: the device sees every host byte once, in order, and the chip
// no stray command

namespace
{
std::string Bytes(std::initializer_list<int> Values)
{
    std::string bytes;
    for (const int value : Values)
        bytes += static_cast<char>(value);
    return bytes;
}
} // namespace

TEST_F(LinkTest, FrameCutByTheWriteTimeoutIsFinishedNotRestarted)
{
    TSSCClass &link = SynchedLink();
    Sim.vsim_SetBehaviour(VSIM_SILENT);
    // The chip stops taking commands part way through a frame, mid-pair, long enough for the
    // frame write to give up; then it takes them again.
    Sim.vsim_SetWriteBudget(1001);
    const std::string sent = Bytes({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x11, 0x22, 0x33});
    ASSERT_EQ(link.SendData(reinterpret_cast<const unsigned char *>(sent.data()), 8), 8);
    ASSERT_TRUE(test::WaitUntil([&] { return Said.Has("FT_Write TIMEOUT"); }));
    Sim.vsim_SetWriteBudget(-1);
    ExpectDeviceGot(sent);
}

TEST_F(LinkTest, FrameWriteReportingAnErrorWithACountTakesNoByteTwice)
{
    // Writes that fail but still took their bytes: what the driver says it took is not offered
    // again.
    TSSCClass &link = SynchedLink();
    Sim.vsim_SetBehaviour(VSIM_SILENT);
    Sim.vsim_SetShortWrite(1000);
    Sim.vsim_SetWriteError(3, 1);
    const std::string sent = Bytes({0xAA, 0xBB, 0xCC});
    ASSERT_EQ(link.SendData(reinterpret_cast<const unsigned char *>(sent.data()), 3), 3);
    ExpectDeviceGot(sent);
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

TEST_F(LinkTest, RetiringOrDestroyingALinkWhileItReportsNeverDeadlocks)
{
    // The worker reports a frame timeout every few milliseconds while the UI thread waits for it
    // to end: its messages are handed over without waiting, so neither waits for the other.
    for (int round = 0; round < 40; ++round) {
        SynchedLink();
        Sim.vsim_SetWriteStall(1);
        ASSERT_TRUE(test::WaitUntil([&] { return Said.Has("FT_Write TIMEOUT"); })) << round;
        if (round % 2 == 0)
            RetireLink(Link);
        else
            Link.reset();
        Sim.vsim_SetWriteStall(0);
    }
}

TEST_F(LinkTest, OddReadsKeepThePairBoundary)
{
    TSSCClass &link = SynchedLink();
    Sim.vsim_SetOddRead(-1);
    EXPECT_EQ(EchoThrough(link, "ABCDEF"), "ABCDEF");
    Sim.vsim_SetOddRead(0);
}

TEST_F(LinkTest, ADriverThatOverstatesItsQueueCostsNoMemory)
{
    // A driver that claims a gigabyte is waiting: every read still goes through a bounded
    // buffer, in the handshake's purge and in the worker, and the link works on.
    Sim.vsim_SetStream(7, 0);
    TSSCClass &link = OpenLink();
    Sim.vsim_SetOverReport(1u << 30);
    ASSERT_FALSE(link.SynchDevice(24, 0x01A5));
    EXPECT_EQ(EchoThrough(link, "hi"), "hi");
    EXPECT_LE(Chip().largestRead, 2ull * kRingSize) << "no read bigger than the ring could take";
}

// ---------------------------------------------------------------------------------------------
// End to end with the worker

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

// The link paces its frames by what has come back, so it writes the next frame only once the chip
// is down to the lead, whether or not the driver tells how much it has still to send: FTDI's
// library stops counting once it has handed the bytes to the chip, a driver over libftdi1 never
// counts. A frame written late lengthens the lead by one lead at most, so twice the lead at most.
TEST_F(LinkTest, FramesArePacedWithOrWithoutATransmitCount)
{
    for (const int hidden : {0, 1}) {
        SCOPED_TRACE(hidden ? "transmit count hidden" : "transmit count given");
        Sim.vsim_SetRealTime(1);
        Sim.vsim_SetTxCountHidden(hidden);
        TSSCClass &link = SynchedLink();
        EXPECT_EQ(EchoThrough(link, "paced"), "paced");
        const long long from = Chip().frames;
        ASSERT_TRUE(test::WaitUntil([&] { return Chip().frames >= from + 10; }));
        EXPECT_LE(Chip().largestBacklog, static_cast<unsigned long long>(kFrameLead) * 2);
        RetireLink(Link);
    }
    Sim.vsim_SetTxCountHidden(0);
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
