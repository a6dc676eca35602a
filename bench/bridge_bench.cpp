// The whole bridge: the program's own window and timer, a real pty opened by a client thread as
// a serial program would, and the device in real time at its 1 MHz clock, over each of the
// benchmark's paths (BenchPaths.h: the simulator and the emulated chips). Prints the throughput
// each way against the protocol's ceiling, the echo time of single bytes, the CPU the program
// uses, and how long Setup, Reset and closing the window take to retire a link. Each path is
// measured idle and beside busy processes, each run ending with its "path NAME: ..." and
// "path NAME loaded: ..." lines (BenchRuns.h), whose retire is the worst Reset and whose
// handshakes are those the window's own cycle made for its links. On the simulator, idle, also
// what recording the traffic costs: the Traffic window open, and --log's writing.
//
//   build/bench/bridge_bench [seconds per direction, default 10] [echo samples, default 200]
//   BRIDGE_BENCH_TX_HIDDEN=1: the simulator reports no transmit count, as a driver over libftdi1
//   BRIDGE_BENCH_IDLE_ONLY=1: only the idle CPU, with the simulator
//   BRIDGE_BENCH_REPLUG_ONLY=1: only how soon an emulated board replugged is bridged again
// The run ends with that figure, over ten replugs (BenchReplug.h).
#include "app/Vrtualssc.h"
#include "bench/BenchDevice.h"
#include "bench/BenchMeasure.h"
#include "bench/BenchPaths.h"
#include "bench/BenchReplug.h"
#include "bench/BenchRuns.h"
#include "bench/BenchTraffic.h"
#include "device/Tsscclass.h"
#include "dialogs/Setup.h"
#include "dialogs/Traffic.h"
#include "vport/ClosedWrites.h"
#include "vport/VSPortLib_TLB.h"
#include "vport/Virtualp.h"

#include "sim/SimLibrary.h"
#include "tests/SetupDriver.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

using namespace std::chrono;
using TClock = steady_clock;
using bench::BareWindowCpu;
using bench::EchoFloor;
using bench::kFromDeviceCeiling;
using bench::kToDeviceCeiling;
using bench::ProcessCpu;
using bench::Run;
using bench::RunUntil;
using bench::TBenchDevice;
using bench::ThreadCpu;
constexpr double kFrameMs = bench::kFrameSeconds * 1000; // 32.768 ms at 1 MHz
// How long the client waits for one byte's echo, and how many lost echoes in a row end the
// echo run.
constexpr milliseconds kEchoPatience{2000};
constexpr int kLostInARow = 10;
constexpr milliseconds kSynchPatience{30000};
// How many times the emulated board is replugged to time its return.
constexpr int kReplugs = 10;
// How far ahead of the device the client writes: the port never runs dry (the link holds a tenth
// of it, a frame takes seven bytes), and what is left when the client stops reaches the device
// within three seconds instead of the minutes a full pty's worth would take.
constexpr long long kClientLead = 512;
// The parent's yardstick, handed to the runs of the emulated paths so that they need not measure
// it again.
constexpr const char *kBareVariable = "BRIDGE_BENCH_BARE_CPU";

int OpenPort()
{
    const QByteArray path =
        SetupForm->SSCLink ? VSSC->PortPanel->VSPortAx->PortPath().toLocal8Bit() : QByteArray();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror("open the port");
        std::exit(1);
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

bool Synched()
{
    return SetupForm->SSCLink && SetupForm->SSCLink->Synched.load();
}

// Waits for the window's cycle to synchronise its link, counting the handshake calls it made;
// false when the link did not synchronise within kSynchPatience.
bool AwaitSynched(bench::THandshakes &Handshakes)
{
    RunUntil(Synched, kSynchPatience);
    if (!Synched())
        return false;
    Handshakes.Synchronised(VSSC->LinkState().Attempts() - 1);
    return true;
}

bool Setup(const QString &Port, const QString &Device, bench::THandshakes &Handshakes)
{
    test::RunSetup(Port, Device);
    return AwaitSynched(Handshakes);
}

// Why a run ends when a link did not synchronise; After says when, if not at the start.
std::string NotSynchronised(const TBenchDevice &Device, const std::string &After = {})
{
    return "the link to \"" + Device.Description() + "\"" + (After.empty() ? "" : " " + After) +
           " did not synchronise within " + std::to_string(kSynchPatience.count() / 1000) + " s";
}

struct TDirection {
    double Rate = 0, Fraction = 0, Cpu = 0;
};

// A client thread keeps the port full, kClientLead ahead of the device; the program carries it to
// the (silent) device.
TDirection ToDevice(TBenchDevice &Device, double Seconds)
{
    Device.Send(VSIM_SILENT); // a device that echoes anyway fills the port a little
    const int fd = OpenPort();
    std::atomic<bool> stop{false};
    const long long taken0 = Device.HostBytes();
    std::thread client([&] {
        std::vector<char> data(4096, 'x');
        long long written = 0;
        while (!stop) {
            const long long room = kClientLead - (written - (Device.HostBytes() - taken0));
            const ssize_t n =
                room > 0 ? ::write(fd, data.data(), std::min<std::size_t>(room, data.size())) : 0;
            if (n > 0) {
                written += n;
            } else {
                pollfd p{fd, short(room > 0 ? POLLOUT : 0), 0};
                ::poll(&p, 1, 10);
            }
        }
    });
    Run(milliseconds(1000)); // the pipeline fills
    const long long before = Device.HostBytes();
    const double cpu0 = ProcessCpu() - ThreadCpu(client.native_handle());
    const auto start = TClock::now();
    Run(milliseconds(int(Seconds * 1000)));
    const double elapsed = duration<double>(TClock::now() - start).count();
    const long long after = Device.HostBytes();
    const double cpu = ProcessCpu() - ThreadCpu(client.native_handle()) - cpu0;
    stop = true;
    client.join();
    ::close(fd);
    Run(milliseconds(100));
    const double rate = double(after - before) / elapsed;
    return {rate, rate / kToDeviceCeiling, cpu / elapsed};
}

// The device sends without pause; a client thread reads everything from the port. A device that
// only echoes is also written to, kClientLead ahead of what has come back, and what comes back is
// its echo (Counted false).
TDirection FromDevice(TBenchDevice &Device, double Seconds, bool &Counted)
{
    Counted = Device.Send(VSIM_COUNTER);
    const int fd = OpenPort();
    std::atomic<bool> stop{false};
    std::atomic<long long> received{0};
    std::thread client([&, feed = !Counted] {
        std::vector<char> data(65536);
        const std::vector<char> out(4096, 'y');
        long long written = 0;
        while (!stop) {
            const ssize_t n = ::read(fd, data.data(), data.size());
            if (n > 0)
                received += n;
            const long long room = feed ? kClientLead - (written - received) : 0;
            const ssize_t sent =
                room > 0 ? ::write(fd, out.data(), std::min<std::size_t>(room, out.size())) : 0;
            if (sent > 0)
                written += sent;
            if (n <= 0 && sent <= 0) {
                pollfd p{fd, short(POLLIN | (room > 0 ? POLLOUT : 0)), 0};
                ::poll(&p, 1, 20);
            }
        }
    });
    Run(milliseconds(1000));
    const long long first = received;
    const double cpu0 = ProcessCpu() - ThreadCpu(client.native_handle());
    const auto start = TClock::now();
    Run(milliseconds(int(Seconds * 1000)));
    const double elapsed = duration<double>(TClock::now() - start).count();
    const double cpu = ProcessCpu() - ThreadCpu(client.native_handle()) - cpu0;
    const long long moved = received - first;
    stop = true;
    client.join();
    ::close(fd);
    Device.Send(VSIM_ECHO);
    Run(milliseconds(300));
    const double rate = double(moved) / elapsed;
    return {rate, rate / kFromDeviceCeiling, cpu / elapsed};
}

// One byte at a time: from the client's write to the echo read back from the port. An echo that
// has not come within kEchoPatience is counted lost.
struct TShares {
    double First = 0, Second = 0;
    long long Bytes = 0;
};

// Two clients hold the port at once, each writing as fast as its pty takes it; the device echoes,
// and its echo goes to the first client: the echo's mix is what each got to the device. What they
// leave at the close is dropped at once, not carried into the next measure.
TShares TwoPrograms(TBenchDevice &Device, double Seconds)
{
    Device.Send(VSIM_ECHO);
    const int first = OpenPort();
    const int second = OpenPort();
    std::atomic<bool> stop{false};
    auto writer = [&stop](int Fd, char Byte) {
        const std::vector<char> data(4096, Byte);
        while (!stop)
            if (::write(Fd, data.data(), data.size()) <= 0) {
                pollfd ready{Fd, POLLOUT, 0};
                ::poll(&ready, 1, 10);
            }
    };
    std::thread a(writer, first, 'a'), b(writer, second, 'b');
    long long fromFirst = 0, fromSecond = 0;
    const auto start = TClock::now();
    while (duration<double>(TClock::now() - start).count() < Seconds) {
        Run(milliseconds(10));
        char echo[4096];
        for (ssize_t n; (n = ::read(first, echo, sizeof(echo))) > 0;)
            for (ssize_t i = 0; i < n; ++i) {
                fromFirst += echo[i] == 'a';
                fromSecond += echo[i] == 'b';
            }
    }
    stop = true;
    a.join();
    b.join();
    IVSPortAx &port = *VSSC->PortPanel->VSPortAx;
    port.SetClosingWait(milliseconds(0));
    ::close(first);
    ::close(second);
    Run(milliseconds(500));
    port.SetClosingWait(TClosedWrites::kDefaultClosingWait);
    const long long total = fromFirst + fromSecond;
    if (total == 0)
        return {};
    return {double(fromFirst) / double(total), double(fromSecond) / double(total), total};
}

std::vector<double> EchoTimes(TBenchDevice &Device, int Samples, milliseconds Patience, int &Lost)
{
    Device.Send(VSIM_ECHO);
    const int fd = OpenPort();
    // Whatever the device sent before it turned to echoing is read away first.
    char stale[4096];
    for (int quiet = 0, turns = 0; quiet < 50 && turns < 3000; ++turns) {
        Run(milliseconds(10));
        quiet = ::read(fd, stale, sizeof stale) > 0 ? 0 : quiet + 1;
    }
    std::vector<double> times;
    std::atomic<bool> done{false};
    std::thread client([&] {
        // Each byte starts after a pause drawn afresh, up to two frames long, so that its
        // start falls anywhere in the tick and the frame. A fixed cycle of pauses would not: the
        // last echo came at a tick, and a pattern of pauses against a tick that runs a little
        // over 10 ms samples some of its points far more often than others.
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pauseUs(0, int(2 * kFrameMs * 1000));
        int lostInARow = 0;
        for (int i = 0; i < Samples && lostInARow < kLostInARow; ++i) {
            std::this_thread::sleep_for(microseconds(pauseUs(random)));
            const char out = char('a' + i % 26);
            const auto start = TClock::now();
            const auto giveUp = start + kEchoPatience;
            bool sent = false;
            bool back = false;
            while (!back && TClock::now() < giveUp) {
                sent = sent || ::write(fd, &out, 1) == 1;
                pollfd p{fd, short(sent ? POLLIN : POLLOUT), 0};
                ::poll(&p, 1, sent ? 100 : 1);
                char in = 0;
                // Anything else is a late echo of a byte already counted lost.
                while (!back && ::read(fd, &in, 1) == 1)
                    back = in == out;
            }
            if (back) {
                times.push_back(duration<double, std::milli>(TClock::now() - start).count());
                lostInARow = 0;
            } else {
                ++Lost;
                ++lostInARow;
            }
        }
        done = true;
    });
    RunUntil([&] { return done.load(); }, Patience);
    client.join();
    ::close(fd);
    std::sort(times.begin(), times.end());
    return times;
}

double IdleCpu(double Seconds)
{
    const int fd = OpenPort(); // an application holds the port, nothing flows
    Run(milliseconds(500));
    const double cpu0 = ProcessCpu();
    const auto start = TClock::now();
    Run(milliseconds(int(Seconds * 1000)));
    const double cpu = ProcessCpu() - cpu0;
    const double elapsed = duration<double>(TClock::now() - start).count();
    ::close(fd);
    return cpu / elapsed;
}

double Ms(QElapsedTimer &Clock)
{
    return double(Clock.nsecsElapsed()) / 1e6;
}

// BRIDGE_BENCH_IDLE_ONLY: the idle CPU alone, with the link up; the exit status.
int IdleOnly(TBenchDevice &Device, double Seconds, double Bare)
{
    CreateForms();
    bench::THandshakes handshakes;
    if (!Setup("COM8", QString::fromStdString(Device.Description()), handshakes)) {
        std::printf("idle: not measured (%s)\n", NotSynchronised(Device).c_str());
        DestroyForms();
        return 1;
    }
    const double ui0 = ThreadCpu(pthread_self());
    const double idle = IdleCpu(Seconds);
    std::printf("idle %.2f %% (%.2f x a bare window's %.2f %%), of which the UI thread %.2f %%\n",
                100 * idle, idle / Bare, 100 * Bare,
                100 * (ThreadCpu(pthread_self()) - ui0) / (Seconds + 0.5));
    return 0;
}

// Measures one run of a path through the program and prints its table; the path's lines are
// RunIdleAndLoaded's. The window is made and closed here.
bench::TRunOutcome MeasureRun(bench::TRun &PathRun, const std::string &Name, TBenchDevice &Device,
                              double Seconds, int Samples, double Bare,
                              std::chrono::seconds Patience)
{
    bench::TWatchdog &watchdog = PathRun.Watchdog;
    bench::TRunOutcome outcome;
    CreateForms();
    watchdog.Phase("setting up the link");
    if (!Setup("COM8", QString::fromStdString(Device.Description()), outcome.Handshakes)) {
        outcome.Why = NotSynchronised(Device);
        DestroyForms();
        return outcome;
    }

    watchdog.Phase("sending to the device");
    const TDirection to = ToDevice(Device, Seconds);
    watchdog.Phase("receiving from the device");
    bool counted = true;
    const TDirection from = FromDevice(Device, Seconds, counted);
    // Full traffic from the device with the Traffic window closed and open, in turns. What
    // recording costs is a figure of the idle machine.
    const bool sim = Name == bench::kSimPath && !PathRun.Loaded;
    bench::TTurnFigures traffic;
    if (sim) {
        watchdog.Phase("measuring the Traffic window's cost");
        traffic = bench::InTurns(3, [&](bool Open) {
            if (Open)
                VSSC->TrafficButton->click();
            const double cpu = FromDevice(Device, Seconds / 2, counted).Cpu;
            VSSC->TrafficForm->close();
            return cpu;
        });
    }
    watchdog.Phase("timing echoes");
    int lost = 0;
    const std::vector<double> echo = EchoTimes(Device, Samples, Patience, lost);
    watchdog.Phase("measuring idle CPU");
    const double idle = IdleCpu(Seconds);
    watchdog.Phase("two programs at once");
    const TShares shares = TwoPrograms(Device, Seconds);

    // Retiring a link that is exchanging frames: Reset, Setup (up to its dialog) and close.
    watchdog.Phase("retiring links");
    QElapsedTimer clock;
    std::vector<double> resets;
    bool synchronised = true;
    for (int i = 0; i < 5; ++i) {
        synchronised = (i == 0 || AwaitSynched(outcome.Handshakes)) && synchronised;
        Run(milliseconds(200));
        clock.start();
        RetireLink(SetupForm->SSCLink);
        resets.push_back(Ms(clock));
        VSSC->ButtonResetClick();
    }
    synchronised = AwaitSynched(outcome.Handshakes) && synchronised;
    Run(milliseconds(200));
    double setupRetire = 0;
    clock.start();
    test::AnswerSetup(
        [&] {
            setupRetire = Ms(clock); // retire, new link, bind, list: until the dialog is up
            SetupForm->OKButton->click();
        },
        1);
    synchronised = AwaitSynched(outcome.Handshakes) && synchronised;
    Run(milliseconds(200));
    clock.start();
    VSSC->close();
    const double closeRetire = Ms(clock);
    DestroyForms();
    if (echo.empty()) {
        outcome.Why = "no echo came back within " + std::to_string(kEchoPatience.count()) + " ms";
        return outcome;
    }
    if (!synchronised) {
        outcome.Why = NotSynchronised(Device, "after Reset or Setup");
        return outcome;
    }

    const double leadMs = ssc::kFrameLead * 8 / 1000.0;
    const auto [floor50, floor99] = EchoFloor(leadMs);
    std::printf("Bridge through the program, a pty client and %s in real time at 1 MHz%s\n",
                Device.What().c_str(), PathRun.Loaded ? ", beside busy processes" : "");
    std::printf("(%.0f s a direction, %d echo samples; frame lead %u bytes = %.1f ms, which "
                "leaves an echo floor of p50 %.1f ms, p99 %.1f ms)\n\n",
                Seconds, Samples, unsigned(ssc::kFrameLead), leadMs, floor50, floor99);
    if (!Device.Note().empty())
        std::printf("%s\n", Device.Note().c_str());
    if (!counted)
        std::printf("The device only echoes: \"from the device\" is the echo of what goes to it, "
                    "at most %.4f of the ceiling.\n",
                    kToDeviceCeiling / kFromDeviceCeiling);
    if (!Device.Note().empty() || !counted)
        std::printf("\n");
    const double worstReset = *std::max_element(resets.begin(), resets.end());
    std::printf("| measure | value | target |\n|---|---|---|\n");
    std::printf("| to the device | %.1f B/s = %.3f of %.1f B/s | >= 0.99 |\n", to.Rate, to.Fraction,
                kToDeviceCeiling);
    std::printf("| from the device | %.0f B/s = %.3f of %.0f B/s | >= 0.99 |\n", from.Rate,
                from.Fraction, kFromDeviceCeiling);
    std::printf("| echo of one byte, p50 | %.1f ms | <= 32 ms |\n", bench::Percentile(echo, 0.50));
    std::printf("| echo of one byte, p99 | %.1f ms | <= 52 ms |\n", bench::Percentile(echo, 0.99));
    std::printf("| echo of one byte, max | %.1f ms | |\n", echo.back());
    if (lost > 0)
        std::printf("| echoes lost (none within %.0f s) | %d of %d | |\n",
                    kEchoPatience.count() / 1000.0, lost, Samples);
    std::printf("| two programs writing at full pace: their shares of what reached the device | "
                "first %.2f, second %.2f of %lld bytes | each >= 0.40 |\n",
                shares.First, shares.Second, shares.Bytes);
    std::printf("| CPU bridging to the device | %.2f %% of a core | <= 3 %% |\n", 100 * to.Cpu);
    std::printf("| CPU bridging from the device | %.2f %% of a core | <= 3 %% |\n", 100 * from.Cpu);
    if (sim) {
        QTemporaryDir folder;
        std::printf(
            "| CPU bridging from the device, Traffic window closed / open (medians of 3 "
            "turns of %.0f s) | %.2f / %.2f %% of a core (%+.2f) | open <= closed + 1 %% |\n",
            Seconds / 2, 100 * traffic.Off, 100 * traffic.On, 100 * (traffic.On - traffic.Off));
        std::printf("| CPU of --log's recording and writing, full traffic both ways | %.3f %% of a "
                    "core | <= 1 %% |\n",
                    100 * bench::TrafficLogCpu(folder.path().toStdString(), 60));
    }
    std::printf("| CPU, a bare Qt window with a 10 ms timer | %.2f %% of a core | (reference) |\n",
                100 * Bare);
    std::printf("| CPU idle (link up, port open, no traffic) | %.2f %% of a core = %.2f x the "
                "reference | <= 2 x |\n",
                100 * idle, Bare > 0 ? idle / Bare : 0.0);
    std::printf("| Reset: retire a link, worst of 5 | %.2f ms | < 50 ms |\n", worstReset);
    std::printf("| Setup: retire, rebind and list, until the dialog shows | %.2f ms | < 50 ms |\n",
                setupRetire);
    std::printf("| closing the window | %.2f ms | < 50 ms |\n", closeRetire);
    std::fflush(stdout);
    outcome.Measured = true;
    outcome.Figures = {to.Fraction, from.Fraction, bench::Percentile(echo, 0.50),
                       bench::Percentile(echo, 0.99), worstReset};
    return outcome;
}

// Links replaced one after another as Reset does, each synchronised by the window's cycle.
bool LinksInARow(bench::TRun &PathRun, TBenchDevice &Device, int Count,
                 bench::THandshakes &Handshakes, std::string &Why)
{
    Device.Send(VSIM_ECHO);
    CreateForms();
    PathRun.Watchdog.Phase("synchronising links in a row");
    bool synchronised = Setup("COM8", QString::fromStdString(Device.Description()), Handshakes);
    for (int i = 1; synchronised && i < Count; ++i) {
        RetireLink(SetupForm->SSCLink);
        VSSC->ButtonResetClick();
        synchronised = AwaitSynched(Handshakes);
    }
    VSSC->close();
    DestroyForms();
    if (!synchronised)
        Why = NotSynchronised(Device);
    return synchronised;
}

// Measures one path idle and loaded; the exit status.
int RunPath(const std::string &Name, TBenchDevice &Device, double Seconds, int Samples, double Bare,
            std::chrono::seconds Patience)
{
    return bench::RunIdleAndLoaded(
        Name, Device, Patience,
        [&](bench::TRun &PathRun) {
            return MeasureRun(PathRun, Name, Device, Seconds, Samples, Bare, Patience);
        },
        [&](bench::TRun &PathRun, int Count, bench::THandshakes &Handshakes, std::string &Why) {
            return LinksInARow(PathRun, Device, Count, Handshakes, Why);
        });
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 200;
    // Generous: only a path that hangs comes near it.
    const auto patience = std::chrono::seconds(180 + int(6 * seconds) + samples / 2);

#ifdef VELMOR_BENCH_REPLUG
    if (qEnvironmentVariableIsSet(bench::kReplugVariable))
        return bench::MeasureReplugs(kReplugs);
    if (qEnvironmentVariableIsSet("BRIDGE_BENCH_REPLUG_ONLY"))
        return bench::RunReplugs() ? 0 : 1;
#endif
    const std::string child = bench::ChildPath();
    if (!child.empty()) {
        bool measured = false;
        const double given = qEnvironmentVariable(kBareVariable).toDouble(&measured);
        const double bare = measured ? given : BareWindowCpu(seconds);
        std::string why;
        bool skipped = false;
        auto device = bench::EmulatedDevice(child, why, skipped);
        if (!device)
            return bench::ReportNoDevice(child, why, skipped);
        return RunPath(child, *device, seconds, samples, bare, patience);
    }

    const double bare = BareWindowCpu(seconds);
    int status = 0;
    {
        SimLibrary sim;
        auto device = bench::SimDevice(sim);
        sim.vsim_SetTxCountHidden(qEnvironmentVariableIsSet("BRIDGE_BENCH_TX_HIDDEN") ? 1 : 0);
        if (qEnvironmentVariableIsSet("BRIDGE_BENCH_IDLE_ONLY"))
            return IdleOnly(*device, seconds, bare);
        status = RunPath(bench::kSimPath, *device, seconds, samples, bare, patience);
    }
    qputenv(kBareVariable, QByteArray::number(bare, 'g', 17));
    const bool emulated = bench::RunEmulatedPaths(argc, argv, bench::PathPatience(patience));
#ifdef VELMOR_BENCH_REPLUG
    const bool replugs = bench::RunReplugs();
#else
    const bool replugs = true;
    std::printf("replug ft2232h: not built (VELMOR_USB_EMULATION is off)\n");
#endif
    return status == 0 && emulated && replugs ? 0 : 1;
}
