// Reliability of the whole program in process: the main window with its Setup dialog, the port
// panel with a real pty that a client thread opens as a serial program would, and the device link
// with its worker thread, loading a driver library by the binding's normal path.
//
//   Soak    an application streams through the bridge to the echoing device for a long stretch;
//           what comes back must be exactly what went out.
//   Churn   the link is replaced (Reset) again and again under traffic; threads, descriptors and
//           open chips must come back to where they started. Resets during an echo lose no
//           answer byte.
//   Faults  faults hit mid-transfer; every tick stays within the handshake's own bound, and a
//           Reset with the device back restores the echo. Passing faults lose nothing at all.
//   Names   hostile port names typed into the Setup dialog; nothing the program did not create
//           is touched, and a good name works afterwards.
//
// Soak, Churn and Faults run on every path to a device (tests/ReliabilityPath.h): the simulated
// driver ("Sim") in reliability_test, and our driver over Debian's libftdi1 and libusb-1.0 down
// to an emulated FT2232D and FT2232H in reliability_chips_test, built from this file too, whose
// tests skip unless the process runs under umockdev's preload (reliability.cmake runs it so).
// The simulator's fast mode and its D2XX-level quirks have no emulated equivalent: those tests
// run on the simulator only.
//
// Every suite has a short version, run by every ctest (and so in CI), and a long one, chosen at
// run time by VELMOR_LONG=1 in the environment:
//   VELMOR_LONG=1 ctest --test-dir build -L reliability --output-on-failure
// Short: 30 s soaks; 1000 link replacements on the simulator, 100 on a chip. Long: 10 min soaks;
// 10000 and 1000 link replacements.
//
// Nothing here asserts speed: waits are on conditions with generous limits, and the one bound on
// time is the program's own, the handshake's worst case, with slack. A step that later steps
// build on is asserted, so that a failure ends the test at once.
#include "app/Vrtualssc.h"
#include "device/D2xx.h"
#include "device/SscProtocol.h"
#include "device/Tsscclass.h"
#include "dialogs/Message.h"
#include "dialogs/Setup.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "sim/SimLibrary.h"
#include "tests/ProgramTest.h"
#include "tests/PtyClient.h"
#include "tests/ReliabilityPath.h"
#include "tests/SetupDriver.h"
#include "tests/Wait.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;
using namespace std::chrono_literals;
using reliability::TPathKind;

bool LongRun()
{
    return qgetenv("VELMOR_LONG") == "1";
}

double Seconds(Clock::duration Span)
{
    return std::chrono::duration<double>(Span).count();
}

// The longest one tick may legitimately block the UI thread: the handshake's worst case. Each of
// its attempts writes twice (a write may wait out SendBuffer's timeout and then one driver write
// timeout that began just before), settles, and waits out two phase timeouts (each of which may
// overrun by one driver read timeout); the purge before them may wait one driver read timeout.
// Twice that, for a slow shared machine and the sanitizers.
constexpr milliseconds kDriverTimeout{ssc::kDriverTimeoutMs};
constexpr milliseconds kHandshakeAttemptWorst =
    2 * (milliseconds{ssc::kSendBufferTimeoutMs} + kDriverTimeout) + 1ms +
    2 * (milliseconds{ssc::kSynchPhaseTimeoutMs} + kDriverTimeout);
constexpr milliseconds kHandshakeWorst =
    bridge::kSynchAttempts * kHandshakeAttemptWorst + kDriverTimeout;
constexpr milliseconds kTickBound = 2 * kHandshakeWorst;

// Patience for a condition that the program brings about in well under a second when healthy.
constexpr milliseconds kPatience{60000};

// The stream an application writes: every byte value, in an order that makes a lost, doubled or
// swapped byte show at once.
unsigned char StreamByte(std::uint64_t Index)
{
    std::uint64_t z = (Index + 1) * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<unsigned char>((z ^ (z >> 31)) >> 56);
}

// Entries of a /proc folder such as /proc/self/task (threads) or /proc/self/fd (descriptors; the
// one opened to list them is always among them).
int CountEntries(const char *Folder)
{
    DIR *dir = ::opendir(Folder);
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            ++count;
    ::closedir(dir);
    return count;
}

// What each descriptor refers to, to tell which one came or went.
std::string DescriptorList()
{
    std::string text;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return text;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[4096];
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t size = ::readlink(path.c_str(), target, sizeof target);
        text += std::string("  ") + entry->d_name + " -> " +
                std::string(target, size > 0 ? std::size_t(size) : 0) + "\n";
    }
    ::closedir(dir);
    return text;
}

int ThreadCount()
{
    return CountEntries("/proc/self/task");
}
int DescriptorCount()
{
    return CountEntries("/proc/self/fd");
}

// Runs the program's own event loop, where its 10 ms timer drives the bridge, until Done holds
// or the patience runs out; returns Done().
bool RunLoopUntil(const std::function<bool()> &Done, milliseconds Patience)
{
    if (Done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    const auto deadline = Clock::now() + Patience;
    bool met = false;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        met = Done();
        if (met || Clock::now() >= deadline)
            loop.quit();
    });
    check.start();
    loop.exec();
    return met;
}

void RunLoopFor(milliseconds Span)
{
    RunLoopUntil([] { return false; }, Span);
}

// Times the program's timer-driven ticks: from the timer's event reaching the timer to the end
// of the program's handler (connected first, so it runs before ours).
class TickMeter final : public QObject
{
public:
    explicit TickMeter(QTimer *Timer) : Timer(Timer)
    {
        Timer->installEventFilter(this);
        connect(Timer, &QTimer::timeout, this, [this] { Finish(); });
    }
    ~TickMeter() override { Timer->removeEventFilter(this); }

    // Ticks run by the test itself go through here.
    void Measure(const std::function<void()> &Tick)
    {
        const auto start = Clock::now();
        Tick();
        Record(Clock::now() - start);
    }

    long long Count() const { return Ticks; }
    Clock::duration Longest() const { return Max; }

protected:
    bool eventFilter(QObject *Watched, QEvent *Event) override
    {
        if (Watched == Timer && Event->type() == QEvent::Timer) {
            Started = Clock::now();
            Running = true;
        }
        return false;
    }

private:
    void Finish()
    {
        if (!Running)
            return;
        Running = false;
        Record(Clock::now() - Started);
    }
    void Record(Clock::duration Span)
    {
        ++Ticks;
        Max = std::max(Max, Span);
    }

    QTimer *Timer;
    Clock::time_point Started;
    bool Running = false;
    long long Ticks = 0;
    Clock::duration Max{};
};

// An application on the virtual port, in a thread of its own: opens the port by its path, raw
// and non-blocking as a serial program would, writes the test stream as fast as the port takes
// it (no more than Window bytes ahead of the echo, when a window is set) and reads everything
// that comes back. Exact: what comes back is checked against the stream as it arrives; else it
// is only counted (where link replacements legitimately drop what was in flight).
class StreamClient
{
public:
    struct TOptions {
        std::size_t Window = 0; // 0 = none: as far ahead as the port lets it
        bool Exact = true;
    };

    StreamClient(const QString &Path, TOptions Options) : Options(Options), Port(Path) {}
    ~StreamClient() { Stop(); }
    StreamClient(const StreamClient &) = delete;
    StreamClient &operator=(const StreamClient &) = delete;

    bool IsOpen() const { return Port.IsOpen(); }

    void Start()
    {
        Writing = true;
        Worker = std::thread([this] { Run(); });
    }
    void StopWriting() { Writing = false; }
    void Stop()
    {
        StopRequested = true;
        if (Worker.joinable())
            Worker.join();
    }
    // After a link replacement: what was in flight may be gone, so the window starts afresh.
    void Forgive() { ForgiveRequested = true; }

    std::uint64_t Sent() const { return SentCount.load(); }
    std::uint64_t Received() const { return ReceivedCount.load(); }
    std::uint64_t Mismatches() const { return MismatchCount.load(); }
    // The client's thread stopped on a failed read or write.
    bool Failed() const { return Errno.load() != 0; }
    std::string Describe() const
    {
        std::ostringstream text;
        text << "sent " << Sent() << ", received " << Received();
        if (Mismatches() != 0)
            text << ", " << Mismatches() << " mismatched (the first at " << FirstMismatch.load()
                 << ")";
        if (Errno.load() != 0)
            text << ", client failed: " << std::strerror(Errno.load());
        return text.str();
    }

    // With the thread stopped: writes Bytes and collects what comes back while the program's
    // event loop runs, until as many bytes have come as went, then a little longer for extras.
    std::string Exchange(const std::string &Bytes)
    {
        std::size_t written = 0;
        std::string back;
        auto pump = [&] {
            if (written < Bytes.size()) {
                const ssize_t n = ::write(Fd, Bytes.data() + written, Bytes.size() - written);
                if (n > 0)
                    written += std::size_t(n);
            }
            char buffer[4096];
            ssize_t n;
            while ((n = ::read(Fd, buffer, sizeof buffer)) > 0)
                back.append(buffer, std::size_t(n));
        };
        RunLoopUntil(
            [&] {
                pump();
                return back.size() >= Bytes.size();
            },
            kPatience);
        RunLoopUntil(
            [&] {
                pump();
                return false;
            },
            300ms);
        return back;
    }

private:
    static constexpr std::size_t kChunk = 4096;

    void Run()
    {
        std::vector<unsigned char> buffer(kChunk);
        std::uint64_t sent = 0;
        std::uint64_t received = 0;
        std::uint64_t forgiven = 0;
        while (!StopRequested) {
            if (ForgiveRequested.exchange(false))
                forgiven = sent - received;
            std::size_t room = kChunk;
            if (Options.Window != 0) {
                const std::uint64_t ahead = sent - std::min(sent, received + forgiven);
                room = ahead >= Options.Window ? 0 : std::min(kChunk, Options.Window - ahead);
            }
            const bool wantWrite = Writing && room > 0;
            pollfd ready{Fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
            if (::poll(&ready, 1, 20) < 0) {
                if (errno == EINTR)
                    continue;
                Errno = errno;
                return;
            }
            if (ready.revents & POLLIN)
                received = ReadAll(buffer, received);
            if (wantWrite && (ready.revents & POLLOUT)) {
                for (std::size_t i = 0; i < room; ++i)
                    buffer[i] = StreamByte(sent + i);
                const ssize_t n = ::write(Fd, buffer.data(), room);
                if (n > 0) {
                    sent += std::uint64_t(n);
                    SentCount = sent;
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    Errno = errno;
                    return;
                }
            }
            // A hang-up with nothing to read would wake poll at once: don't spin on it.
            if ((ready.revents & (POLLHUP | POLLERR)) && !(ready.revents & POLLIN))
                std::this_thread::sleep_for(5ms);
        }
    }

    std::uint64_t ReadAll(std::vector<unsigned char> &Buffer, std::uint64_t Received)
    {
        ssize_t n;
        while ((n = ::read(Fd, Buffer.data(), Buffer.size())) > 0) {
            if (Options.Exact)
                for (ssize_t i = 0; i < n; ++i)
                    if (Buffer[std::size_t(i)] != StreamByte(Received + std::uint64_t(i)) &&
                        MismatchCount.fetch_add(1) == 0)
                        FirstMismatch = Received + std::uint64_t(i);
            Received += std::uint64_t(n);
            ReceivedCount = Received;
        }
        return Received;
    }

    const TOptions Options;
    // Opened as the other tests open the port; this client streams through it on its own thread.
    test::TPtyClient Port;
    const int Fd = Port.Handle();
    std::thread Worker;
    std::atomic<bool> Writing{false};
    std::atomic<bool> StopRequested{false};
    std::atomic<bool> ForgiveRequested{false};
    std::atomic<std::uint64_t> SentCount{0};
    std::atomic<std::uint64_t> ReceivedCount{0};
    std::atomic<std::uint64_t> MismatchCount{0};
    std::atomic<std::uint64_t> FirstMismatch{0};
    std::atomic<int> Errno{0};
};

// A probe that cannot be mistaken for the test stream or for idle garbage.
std::string Probe()
{
    std::string probe = "velmor probe:";
    for (int i = 0; i < 64; ++i)
        probe += char('A' + i % 26);
    return probe + "\r\n";
}

class Reliability : public test::ProgramTest
{
protected:
    // The program in process, with the driver library of the path under test, whose device is in
    // place. A path that cannot run in this process skips the test.
    void SetUp() override
    {
        test::ProgramTest::SetUp();
        if (HasFatalFailure())
            return;
        FPath = reliability::MakePath(Kind(), Sim);
        if (!FPath)
            GTEST_SKIP() << "no emulated chips in this executable";
        if (const std::string why = FPath->Prepare(); !why.empty())
            GTEST_SKIP() << reliability::PathName(Kind()) << ": " << why;
        d2xx::SetLibraryFile(FPath->DriverFile());
    }
    // The program closes its link before the device goes. A failed test shows what the link
    // went through.
    void TearDown() override
    {
        if (HasFailure() && VSSC)
            for (const TLinkLog::TEntry &entry : VSSC->LinkLog().Entries())
                std::cout << "[ link log ] " << entry.Time.toString("hh:mm:ss.zzz").toStdString()
                          << " " << entry.Text.toStdString() << " (x" << entry.Repeats << ")\n";
        test::ProgramTest::TearDown();
        FPath.reset();
    }

    // The path under test: the simulator's, unless the suite runs on each path (OnPaths).
    virtual TPathKind Kind() const { return TPathKind::Sim; }
    reliability::TReliabilityPath &Path() { return *FPath; }

    // Runs the Setup sequence, answering the dialog with a port name and a device as a user
    // types them.
    void RunSetup(const QString &Port, const QString &Device)
    {
        test::RunSetup(Port, Device);
        PortTyped = SetupForm->VCOMSel->currentText();
    }
    // The Setup sequence with the path's device.
    void RunSetup(const QString &Port) { RunSetup(Port, Path().Description()); }
    QString PortPath() const { return VSSC->PortPanel->VSPortAx->PortPath(); }
    QString Status() const { return VSSC->PortPanel->VPortStatus->text(); }
    bool Synched() const { return SetupForm->SSCLink && SetupForm->SSCLink->Synched.load(); }

    // How far ahead of the echo an application may write where every byte must come back: as
    // far as the port lets it on the simulator in fast mode; on a device that keeps real time,
    // about 200 host bytes a second, a little, so that draining the rest takes seconds.
    std::size_t ExactWindow() { return Path().RealTime() ? 512 : 0; }
    // Echo bytes to see before a fault, so that it hits a stream in full flow.
    std::uint64_t Flowing() { return Path().RealTime() ? 256 : 1024; }

    // The user's Reset button, timed.
    void Reset()
    {
        const auto start = Clock::now();
        VSSC->ButtonResetClick();
        LongestReset = std::max(LongestReset, Clock::now() - start);
    }

    // Waits until the echo has caught up with what the client wrote, however long that takes at
    // the device's pace, as long as it keeps coming; then a second more, in which nothing may
    // come (a late byte is a doubled one).
    bool Drain(const StreamClient &Client)
    {
        std::uint64_t last = Client.Received();
        auto progress = Clock::now();
        const bool drained = RunLoopUntil(
            [&] {
                if (Client.Received() != last) {
                    last = Client.Received();
                    progress = Clock::now();
                }
                return Client.Received() >= Client.Sent() || Client.Failed() ||
                       Clock::now() - progress > kPatience;
            },
            std::chrono::hours(24));
        RunLoopFor(1s);
        return drained && Client.Received() == Client.Sent();
    }

    // Lets what is in flight arrive: the client keeps reading until the port and the link's ring
    // hold nothing more for the device, however long a starved machine takes to move it, and
    // then nothing has come for a while.
    void Quiesce(const StreamClient &Client)
    {
        std::uint64_t last = Client.Received();
        auto since = Clock::now();
        RunLoopUntil(
            [&] {
                const int room = SetupForm->SSCLink ? SetupForm->SSCLink->TxRoom() : -1;
                const bool held = VSSC->PortPanel->VSPortAx->PendingForDevice() > 0 ||
                                  (room >= 0 && room < ssc::HostByteRoom(0));
                if (held || Client.Received() != last) {
                    last = Client.Received();
                    since = Clock::now();
                }
                return Clock::now() - since >= 1500ms;
            },
            kPatience);
    }

    QString PortTyped;
    Clock::duration LongestReset{};

private:
    std::unique_ptr<reliability::TReliabilityPath> FPath;
};

// A suite run on each path of this executable (kPaths); the path's name ends the test's name.
template <typename TSuite>
class OnPaths : public TSuite, public testing::WithParamInterface<TPathKind>
{
protected:
    TPathKind Kind() const override { return this->GetParam(); }
};

std::string PathNamed(const testing::TestParamInfo<TPathKind> &Info)
{
    return reliability::PathName(Info.param);
}

// reliability.cmake builds this file twice: reliability_test runs the suites on the simulator,
// with those that are the simulator's alone, and reliability_chips_test runs them on the
// emulated chips, under umockdev's preload.
#ifdef VELMOR_RELIABILITY_CHIPS
const auto kPaths = testing::Values(TPathKind::FT2232D, TPathKind::FT2232H);
#else
const auto kPaths = testing::Values(TPathKind::Sim);
#endif

// ---------------------------------------------------------------------------------------------
// Soak

class SoakRun : public Reliability
{
protected:
    // Streams through the bridge for Span with the real timer running, then drains, and checks
    // that the echo is the stream exactly.
    void Run(Clock::duration Span, std::size_t Window)
    {
        RunSetup("COM8");
        ASSERT_EQ(Status(), "Idle");
        TickMeter meter(VSSC->PollingTimer);
        StreamClient client(PortPath(), {Window, true});
        ASSERT_TRUE(client.IsOpen()) << std::strerror(errno);

        const auto start = Clock::now();
        client.Start();
        ASSERT_TRUE(RunLoopUntil([&] { return client.Received() > 0; }, kPatience))
            << "no echo: " << client.Describe();
        EXPECT_TRUE(Path().LibrariesLoaded());
        // Until the span is over, or the echo goes wrong or stops.
        std::uint64_t last = 0;
        auto progress = Clock::now();
        RunLoopUntil(
            [&] {
                if (client.Received() != last) {
                    last = client.Received();
                    progress = Clock::now();
                }
                return client.Mismatches() != 0 || client.Failed() ||
                       Clock::now() - progress > kPatience || Clock::now() - start >= Span;
            },
            duration_cast<milliseconds>(Span) + kPatience);
        ASSERT_EQ(client.Mismatches(), 0u) << client.Describe();
        client.StopWriting();
        ASSERT_TRUE(Drain(client)) << client.Describe();
        const auto moved = Clock::now() - start;
        client.Stop();

        std::cout << "[ figures  ] " << (Path().RealTime() ? "real time" : "fast mode") << ": "
                  << client.Describe() << " in " << Seconds(moved) << " s ("
                  << double(client.Received()) / Seconds(moved) << " B/s each way), "
                  << meter.Count() << " ticks, longest " << Seconds(meter.Longest()) * 1000
                  << " ms\n";
        RecordProperty("bytes", std::to_string(client.Received()));

        EXPECT_GT(client.Sent(), 0u);
        EXPECT_EQ(client.Mismatches(), 0u) << client.Describe();
        EXPECT_EQ(Path().BadCommands(), 0);
        // Which way a fault went: the device's own record of the host bytes it took (the first
        // of them) against the stream, where the path keeps one.
        if (const auto record = Path().HostRecord()) {
            std::size_t same = 0;
            while (same < record->First.size() && record->First[same] == StreamByte(same))
                ++same;
            EXPECT_EQ(std::uint64_t(record->Count), client.Sent())
                << "the device took a different number of host bytes than the application wrote";
            EXPECT_EQ(same, record->First.size())
                << "the device took other host bytes than written, from byte " << same << " on";
        }
        EXPECT_LE(meter.Longest(), kTickBound);
        EXPECT_TRUE(Shown.empty()) << Shown.front().toStdString();
        if (const auto open = Path().OpenCount()) {
            EXPECT_EQ(*open, 1);
        }
    }
};

class Soak : public OnPaths<SoakRun>
{
};

// The user's situation: the device clocks at its real rate, about 200 host bytes a second. The
// application keeps at most 1 KiB ahead of the echo, so the drain takes seconds: the pty alone
// would hold some 20 KiB, a hundred seconds at the device's pace.
TEST_P(Soak, RealTimeEchoComesBackExactly)
{
    Path().KeepRealTime();
    Run(LongRun() ? Clock::duration(10min) : Clock::duration(30s), 1024);
}

INSTANTIATE_TEST_SUITE_P(Paths, Soak, kPaths, PathNamed);

// The simulator as fast as the machine allows: the bridge's own limits (the link's ring, the
// 10 ms tick) set the pace, and the application writes as far ahead as the port lets it. The
// emulated chips keep real time: this one is the simulator's alone.
class SimSoak : public OnPaths<SoakRun>
{
};

TEST_P(SimSoak, FastModeEchoComesBackExactly)
{
    Run(LongRun() ? Clock::duration(10min) : Clock::duration(30s), 0);
}

// ---------------------------------------------------------------------------------------------
// Churn

class Churn : public OnPaths<Reliability>
{
};

// Replacing the link under traffic: every Reset retires a worker thread and a driver handle and
// makes new ones. Some resets come before the new link has synchronised, some a few ticks after.
// What a retired link held goes to the next, so the echo is the stream exactly. A chip's
// replacement opens it through libusb again and waits for its handshake in real time, so a chip
// has a tenth as many.
TEST_P(Churn, LinkReplacementsUnderTrafficLeaveNothingBehind)
{
    const int replacements = (LongRun() ? 10000 : 1000) / (Path().RealTime() ? 10 : 1);
    RunSetup("COM8");
    ASSERT_EQ(Status(), "Idle");
    TickMeter meter(VSSC->PollingTimer);
    auto tickUntil = [&](const std::function<bool()> &Done) {
        return test::WaitUntil(
            [&] {
                meter.Measure([] { VSSC->PollingTimerTimer(); });
                return Done();
            },
            kPatience);
    };

    StreamClient client(PortPath(), {512, true});
    ASSERT_TRUE(client.IsOpen());
    client.Start();
    ASSERT_TRUE(tickUntil([&] { return client.Received() > 0; })) << client.Describe();
    EXPECT_TRUE(Path().LibrariesLoaded());

    const int threads = ThreadCount();
    const int descriptors = DescriptorCount();
    const std::string descriptorList = DescriptorList();
    const auto start = Clock::now();
    int done = 0;
    for (; done < replacements; ++done) {
        Reset();
        ASSERT_TRUE(Shown.empty()) << "reset " << done << ": " << Shown.front().toStdString();
        if (done % 5 == 4)
            continue;
        ASSERT_TRUE(tickUntil([&] { return Synched(); })) << "reset " << done;
        for (int tick = 0; tick < done % 4; ++tick)
            meter.Measure([] { VSSC->PollingTimerTimer(); });
        if (done % 50 == 49) {
            const std::uint64_t before = client.Received();
            ASSERT_TRUE(tickUntil([&] { return client.Received() > before; }))
                << "no echo after reset " << done << ": " << client.Describe();
            ASSERT_EQ(client.Mismatches(), 0u) << "reset " << done << ": " << client.Describe();
        }
    }
    const auto took = Clock::now() - start;
    // End as it began: a synchronised link with traffic flowing, its worker well under way.
    ASSERT_TRUE(tickUntil([&] { return Synched(); }));
    const std::uint64_t flowing = client.Received();
    ASSERT_TRUE(tickUntil([&] { return client.Received() > flowing; })) << client.Describe();

    // Reset joins the retired worker, but the system may take a moment to drop its entry, and
    // the new worker's event dispatcher (an eventfd) comes a moment after its thread. A driver
    // handle left open shows here too: the chips' driver holds a descriptor of the chip's node
    // and a thread for each.
    test::WaitUntil([&] { return ThreadCount() == threads && DescriptorCount() == descriptors; },
                    kPatience);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(DescriptorCount(), descriptors) << "before:\n"
                                              << descriptorList << "after:\n"
                                              << DescriptorList();
    if (const auto open = Path().OpenCount()) {
        EXPECT_EQ(*open, 1);
    }

    client.StopWriting();
    ASSERT_TRUE(Drain(client)) << client.Describe();
    const std::string moved = client.Describe();
    client.Stop();
    EXPECT_EQ(client.Mismatches(), 0u) << moved;
    EXPECT_EQ(client.Exchange(Probe()), Probe());

    std::cout << "[ figures  ] " << done << " resets in " << Seconds(took) << " s, " << moved
              << ", " << meter.Count() << " ticks, longest " << Seconds(meter.Longest()) * 1000
              << " ms, longest reset " << Seconds(LongestReset) * 1000 << " ms\n";
    RecordProperty("resets", done);
    EXPECT_LE(meter.Longest(), kTickBound);
    EXPECT_LE(LongestReset, kTickBound);
    EXPECT_EQ(Path().BadCommands(), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, Churn, kPaths, PathNamed);

// Resets while an application's echo is under way: the answers the old link had collected, and
// those the chip clocked out while it drained, reach the application in order, none lost, none
// twice.
class ResetEchoRun : public Reliability
{
protected:
    // A few bytes ahead at most (Window), so that each Reset comes with bytes in flight.
    void Run(std::size_t Window)
    {
        RunSetup("COM8");
        ASSERT_EQ(Status(), "Idle");
        StreamClient client(PortPath(), {Window, true});
        ASSERT_TRUE(client.IsOpen());
        client.Start();
        // Each Reset right after a tick handed the synchronised link new bytes: their answers
        // are on their way.
        for (int reset = 0; reset < 100; ++reset) {
            ASSERT_TRUE(RunLoopUntil([&] { return Synched(); }, kPatience)) << "reset " << reset;
            const std::uint64_t toDevice = VSSC->LinkState().Traffic().ToDevice;
            ASSERT_TRUE(RunLoopUntil(
                [&] { return VSSC->LinkState().Traffic().ToDevice > toDevice; }, kPatience))
                << "reset " << reset << ": " << client.Describe();
            Reset();
            ASSERT_TRUE(Shown.empty()) << Shown.front().toStdString();
            ASSERT_EQ(client.Mismatches(), 0u) << "reset " << reset << ": " << client.Describe();
        }
        client.StopWriting();
        ASSERT_TRUE(Drain(client)) << client.Describe();
        client.Stop();
        std::cout << "[ figures  ] " << (Path().RealTime() ? "real time" : "fast mode")
                  << ": 100 resets, " << client.Describe() << "\n";
        EXPECT_EQ(client.Mismatches(), 0u) << client.Describe();
        EXPECT_EQ(Path().BadCommands(), 0);
    }
};

class ResetEcho : public OnPaths<ResetEchoRun>
{
};

TEST_P(ResetEcho, ResetsDuringARealTimeEchoLoseNoAnswerByte)
{
    Path().KeepRealTime();
    Run(12);
}

INSTANTIATE_TEST_SUITE_P(Paths, ResetEcho, kPaths, PathNamed);

// The emulated chips keep real time: fast mode is the simulator's alone.
class SimResetEcho : public OnPaths<ResetEchoRun>
{
};

TEST_P(SimResetEcho, ResetsDuringAFastEchoLoseNoAnswerByte)
{
    Run(30);
}

// ---------------------------------------------------------------------------------------------
// Faults
//
// Each fault at the path's own level. The simulator's act at the driver's entry points; the
// emulated chip's at its USB endpoints, beneath the real libraries, as near as a chip comes:
//   write stall        the chip stops taking packets from the host;
//   write cut          the transfer under way ends with an error part-way through a frame, and
//                      the chip takes no more until released;
//   read error         every IN transfer ends with an error (lasting: the driver gives the
//                      channel up), or now and then one does after its first packet (passing:
//                      the driver keeps what it carried);
//   unplug             the chip is pulled out mid-transfer and plugged back in.
// The simulator's odd reads (FT_Read handing over one byte fewer than it has) are a quirk of a
// D2XX driver's own: beneath libftdi1 our driver hands over whatever its read-ahead holds, and
// no chip can make it hold one byte back. They run on the simulator only.

class FaultRun : public Reliability
{
protected:
    // A fault hits while bytes flow; the program keeps ticking, also after a Reset that meets the
    // fault still there; once the device is back, a Reset restores the echo end to end.
    void Exercise(const std::function<void()> &Inject, const std::function<void()> &Clear)
    {
        RunSetup("COM8");
        ASSERT_EQ(Status(), "Idle");
        TickMeter meter(VSSC->PollingTimer);
        StreamClient client(PortPath(), {512, false});
        ASSERT_TRUE(client.IsOpen());
        client.Start();
        ASSERT_TRUE(RunLoopUntil([&] { return client.Received() >= 256; }, kPatience))
            << client.Describe();
        EXPECT_TRUE(Path().LibrariesLoaded());

        Inject();
        long long ticks = meter.Count();
        auto since = Clock::now();
        ASSERT_TRUE(RunLoopUntil(
            [&] { return meter.Count() >= ticks + 30 && Clock::now() - since >= 1s; }, kPatience))
            << "the bridge stopped ticking under the fault";

        // The user's first reaction: Reset, with the device still faulty. The next ticks run the
        // handshake against the fault.
        Reset();
        client.Forgive();
        ticks = meter.Count();
        since = Clock::now();
        ASSERT_TRUE(RunLoopUntil(
            [&] { return meter.Count() >= ticks + 20 && Clock::now() - since >= 500ms; },
            kPatience))
            << "the bridge stopped ticking after a Reset under the fault";

        Clear();
        const std::size_t messages = Shown.size();
        Reset();
        client.Forgive();
        ASSERT_TRUE(RunLoopUntil([&] { return Synched(); }, kPatience));
        const std::uint64_t before = client.Received();
        ASSERT_TRUE(RunLoopUntil([&] { return client.Received() >= before + 256; }, kPatience))
            << client.Describe();
        client.StopWriting();
        Quiesce(client);
        const std::string moved = client.Describe();
        client.Stop();
        EXPECT_EQ(client.Exchange(Probe()), Probe());

        std::cout << "[ figures  ] " << moved << ", " << meter.Count() << " ticks, longest "
                  << Seconds(meter.Longest()) * 1000 << " ms, longest reset "
                  << Seconds(LongestReset) * 1000 << " ms (bound " << kTickBound.count()
                  << " ms)\n";
        EXPECT_LE(meter.Longest(), kTickBound);
        EXPECT_LE(LongestReset, kTickBound);
        EXPECT_EQ(Shown.size(), messages) << Shown.back().toStdString();
        EXPECT_EQ(Status(), "Opened");
        EXPECT_TRUE(VSSC->PollingTimer->isActive());
        if (const auto open = Path().OpenCount()) {
            EXPECT_EQ(*open, 1);
        }
    }

    // A passing fault that leaves the driver's queues intact: the stream comes back exactly,
    // without any Reset.
    void ExerciseWithoutLoss(const std::function<void()> &Inject,
                             const std::function<void()> &Clear)
    {
        RunSetup("COM8");
        ASSERT_EQ(Status(), "Idle");
        StreamClient client(PortPath(), {ExactWindow(), true});
        ASSERT_TRUE(client.IsOpen());
        client.Start();
        ASSERT_TRUE(RunLoopUntil([&] { return client.Received() >= Flowing(); }, kPatience))
            << client.Describe();
        Inject();
        RunLoopFor(2s);
        Clear();
        client.StopWriting();
        ASSERT_TRUE(Drain(client)) << client.Describe();
        client.Stop();
        std::cout << "[ figures  ] " << client.Describe() << "\n";
        EXPECT_EQ(client.Mismatches(), 0u) << client.Describe();
        EXPECT_TRUE(Shown.empty()) << Shown.front().toStdString();
    }
};

class Faults : public OnPaths<FaultRun>
{
};

TEST_P(Faults, WriteThatStalls)
{
    Exercise([&] { Path().StallWrites(); }, [&] { Path().ReleaseWrites(); });
}

// The chip stops taking commands part-way through a frame.
TEST_P(Faults, WriteThatStopsMidFrame)
{
    Exercise([&] { Path().CutWrite(1000); }, [&] { Path().ReleaseWrites(); });
}

TEST_P(Faults, ReadError)
{
    Exercise([&] { Path().FailReads(); }, [&] { Path().RestoreReads(); });
}

// Unplugged mid-transfer, and back.
TEST_P(Faults, DeviceUnplugged)
{
    Exercise([&] { Path().Unplug(); }, [&] { Path().Replug(); });
}

// The answers wait in the driver's queue, or in the chip; the worker writes no frame the chip
// has no room for.
TEST_P(Faults, ReadOutageLosesNothing)
{
    ExerciseWithoutLoss([&] { Path().InterruptReads(); }, [&] { Path().RestoreReads(); });
}

TEST_P(Faults, WriteStallLosesNothing)
{
    ExerciseWithoutLoss([&] { Path().StallWrites(); }, [&] { Path().ReleaseWrites(); });
}

// The chip stops taking commands 1000 bytes into a frame and later goes on: it still expects the
// rest of that frame, and the bytes that follow must be exactly that rest.
TEST_P(Faults, WriteCutMidFrameLosesNothing)
{
    ExerciseWithoutLoss([&] { Path().CutWrite(1000); }, [&] { Path().ReleaseWrites(); });
    EXPECT_EQ(Path().BadCommands(), 0) << "frame bytes were taken for commands";
}

INSTANTIATE_TEST_SUITE_P(Paths, Faults, kPaths, PathNamed);

// The simulator's D2XX-level quirk (see above).
class SimFaults : public OnPaths<FaultRun>
{
};

TEST_P(SimFaults, OddRead)
{
    Exercise([&] { Sim.vsim_SetOddRead(-1); }, [&] { Sim.vsim_SetOddRead(0); });
}

TEST_P(SimFaults, OddReadsLoseNothing)
{
    ExerciseWithoutLoss([&] { Sim.vsim_SetOddRead(-1); }, [&] { Sim.vsim_SetOddRead(0); });
}

// ---------------------------------------------------------------------------------------------
// The simulator's alone: its fast mode and its D2XX-level quirks (above), and the port names,
// which have nothing to do with the device's path.

#ifdef VELMOR_RELIABILITY_CHIPS
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimSoak);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimResetEcho);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimFaults);
#else
INSTANTIATE_TEST_SUITE_P(Paths, SimSoak, kPaths, PathNamed);
INSTANTIATE_TEST_SUITE_P(Paths, SimResetEcho, kPaths, PathNamed);
INSTANTIATE_TEST_SUITE_P(Paths, SimFaults, kPaths, PathNamed);

// ---------------------------------------------------------------------------------------------
// Names

// What a folder holds, without following links: for every entry its type, mode, inode, owner,
// content hash (files) or target (links).
struct TEntry {
    mode_t Mode = 0;
    ino_t Inode = 0;
    uid_t Owner = 0;
    QByteArray Content;

    bool operator==(const TEntry &Other) const = default;
};
using TSnapshot = std::map<std::string, TEntry>;

void Snapshot(const std::string &Folder, const std::string &Prefix, TSnapshot &Into,
              const std::function<bool(const std::string &)> &Skip)
{
    DIR *dir = ::opendir(Folder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent *entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    ::closedir(dir);
    for (const std::string &name : names) {
        const std::string path = Folder + "/" + name;
        const std::string relative = Prefix + name;
        if (Skip(relative))
            continue;
        struct stat info = {};
        if (::lstat(path.c_str(), &info) != 0)
            continue;
        TEntry entry{info.st_mode, info.st_ino, info.st_uid, {}};
        if (S_ISREG(info.st_mode)) {
            QFile file(QString::fromStdString(path));
            if (file.open(QIODevice::ReadOnly))
                entry.Content =
                    QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
        } else if (S_ISLNK(info.st_mode)) {
            char target[4096];
            const ssize_t size = ::readlink(path.c_str(), target, sizeof target);
            entry.Content = QByteArray(target, size > 0 ? int(size) : 0);
        }
        Into[relative] = entry;
        if (S_ISDIR(info.st_mode))
            Snapshot(path, relative + "/", Into, Skip);
    }
}

std::string Differences(const TSnapshot &Before, const TSnapshot &After)
{
    std::string text;
    for (const auto &[path, entry] : Before) {
        const auto found = After.find(path);
        if (found == After.end())
            text += "  removed " + path + "\n";
        else if (!(found->second == entry))
            text += "  changed " + path + "\n";
    }
    for (const auto &[path, entry] : After)
        if (!Before.count(path))
            text += "  added " + path + "\n";
    return text;
}

void WriteFile(const QString &Path, const QByteArray &Content)
{
    QFile file(Path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << Path.toStdString();
    file.write(Content);
}

class Names : public Reliability
{
protected:
    void SetUp() override
    {
        Reliability::SetUp();
        ASSERT_TRUE(Victims.isValid());
        Root = Victims.path();
        // Things of the user's that a port name may point at.
        WriteFile(Root + "/file.txt", "precious\n");
        ASSERT_EQ(::chmod(QFile::encodeName(Root + "/file.txt"), 0640), 0);
        ASSERT_TRUE(QDir(Root).mkdir("folder"));
        WriteFile(Root + "/folder/inner.txt", "inner\n");
        // Looks like a port link of ours, but there is no lock file of ours beside it.
        ASSERT_EQ(::symlink("/dev/pts/4242", QFile::encodeName(Root + "/pty-link")), 0);
        ASSERT_EQ(::symlink(QFile::encodeName(Root + "/file.txt"),
                            QFile::encodeName(Root + "/link-to-file")),
                  0);
        ASSERT_EQ(
            ::symlink(QFile::encodeName(Root + "/nowhere"), QFile::encodeName(Root + "/dangling")),
            0);
        ASSERT_EQ(::mkfifo(QFile::encodeName(Root + "/fifo"), 0600), 0);
        // A file of the user's where the port's lock file would go.
        WriteFile(Root + "/.blocked.lock", "the user's own notes\n");
        if (::geteuid() == 0) {
            // Another user's port and lock file: they may look like ours, but are not.
            ASSERT_EQ(::symlink("/dev/pts/4243", QFile::encodeName(Root + "/other-users")), 0);
            WriteFile(Root + "/.other-users.lock", "velmor-debug port lock\n");
            ASSERT_EQ(::lchown(QFile::encodeName(Root + "/other-users"), 65534, 65534), 0);
            ASSERT_EQ(::lchown(QFile::encodeName(Root + "/.other-users.lock"), 65534, 65534), 0);
        }
        // Next to the program's port folder, and inside it.
        WriteFile(RuntimeDir.path() + "/x", "runtime\n");
        ASSERT_EQ(::mkdir(QFile::encodeName(RuntimeDir.path() + "/velmor-debug"), 0700), 0);
        ASSERT_TRUE(QDir(RuntimeDir.path()).mkpath("velmor-debug/a"));
        WriteFile(RuntimeDir.path() + "/velmor-debug/a/b", "b\n");
    }

    // The user's things: everything in the victims' folder, and everything in the runtime
    // folder except the ports of the program's own folder.
    TSnapshot Take() const
    {
        TSnapshot snapshot;
        Snapshot(Root.toStdString(), "victims/", snapshot,
                 [](const std::string &) { return false; });
        Snapshot(RuntimeDir.path().toStdString(), "runtime/", snapshot,
                 [](const std::string &Path) {
                     const std::string own = "runtime/velmor-debug/";
                     return Path.rfind(own, 0) == 0 && Path.rfind(own + "a", 0) != 0;
                 });
        return snapshot;
    }

    QTemporaryDir Victims;
    QString Root;
};

TEST_F(Names, HostileNamesChangeNothingOfTheUsers)
{
    TickMeter meter(VSSC->PollingTimer);
    auto goodSetup = [&] {
        RunSetup("COM9");
        ASSERT_EQ(Status(), "Idle");
        ASSERT_EQ(PortPath(), RuntimeDir.path() + "/velmor-debug/COM9");
        ASSERT_TRUE(QFileInfo(PortPath()).isSymLink());
    };
    goodSetup();
    const TSnapshot original = Take();
    for (const char *planted : {"victims/file.txt", "victims/folder/inner.txt", "victims/fifo",
                                "victims/dangling", "runtime/x", "runtime/velmor-debug/a/b"})
        ASSERT_TRUE(original.count(planted)) << planted;

    struct TCase {
        QString Name;
        bool Legitimate;
    };
    std::vector<TCase> cases = {
        {"", false},
        {QString(128, 'P'), false},
        {QString(1000, 'L'), false},
        {"../x", false},
        {"a/b", false},
        {"COM\n8", false},
        {QString("COM") + QChar(0) + "8", false},
        {QString("COM") + QChar(0xD800) + "8", false},
        {".", false},
        {"..", false},
        {"/", false},
        {Root, false},
        {Root + "/file.txt", false},
        {Root + "/folder", false},
        {Root + "/folder/", false},
        {Root + "/pty-link", false},
        {Root + "/link-to-file", false},
        {Root + "/dangling", false},
        {Root + "/fifo", false},
        {Root + "/blocked", false},
        {Root + "/missing/x", false},
        {QString(127, 'M'), true},
        {QString::fromUtf8("Port \xC3\xBC 1"), true},
        {Root + "/fresh-port", true},
    };
    if (::geteuid() == 0)
        cases.push_back({Root + "/other-users", false});

    for (const TCase &test : cases) {
        const std::string shown = test.Name.left(60).toStdString();
        SCOPED_TRACE("port name \"" + shown + "\" (" + std::to_string(test.Name.size()) +
                     " characters)");
        RunSetup(test.Name);
        ASSERT_EQ(PortTyped, test.Name) << "the dialog did not take the name as typed";
        const QString expected = test.Legitimate ? "Idle" : "Error";
        EXPECT_EQ(Status(), expected) << VSSC->PortPanel->VPortStatus->toolTip().toStdString();
        QString created;
        if (test.Legitimate) {
            created = test.Name.startsWith('/') ? test.Name
                                                : RuntimeDir.path() + "/velmor-debug/" + test.Name;
            EXPECT_EQ(PortPath(), created);
            EXPECT_TRUE(QFileInfo(created).isSymLink());
            EXPECT_TRUE(QFileInfo(created).symLinkTarget().startsWith("/dev/pts/"));
        }
        // The panel tries again on every tick; the program goes on.
        const long long ticks = meter.Count();
        ASSERT_TRUE(RunLoopUntil([&] { return meter.Count() >= ticks + 20; }, kPatience))
            << "the bridge stopped ticking";
        EXPECT_EQ(Status(), expected);
        EXPECT_TRUE(VSSC->PollingTimer->isActive());

        TSnapshot now = Take();
        if (!created.isEmpty() && created.startsWith(Root)) {
            // The port this name legitimately made, and its lock file.
            now.erase("victims/fresh-port");
            now.erase("victims/.fresh-port.lock");
        }
        EXPECT_EQ(now, original) << Differences(original, now);

        goodSetup();
        if (!created.isEmpty()) {
            EXPECT_FALSE(QFileInfo(created).isSymLink()) << "the old port was left behind";
        }
        EXPECT_EQ(Take(), original) << Differences(original, Take());
    }

    // The port under the good name carries the echo.
    StreamClient client(PortPath(), {});
    ASSERT_TRUE(client.IsOpen());
    EXPECT_EQ(client.Exchange(Probe()), Probe());
    EXPECT_TRUE(Shown.empty()) << Shown.front().toStdString();
    EXPECT_LE(meter.Longest(), kTickBound);
}

#endif

} // namespace
