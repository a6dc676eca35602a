// The device link alone, in real time at its 1 MHz clock, over each of the benchmark's paths
// (BenchPaths.h: the simulator and the emulated chips): host-byte throughput each way as a
// fraction of the protocol's ceiling, the CPU it costs, the echo of one byte and how long a
// stopped link takes to end. Each path is measured idle and beside busy processes, each run
// ending with its "path NAME: ..." and "path NAME loaded: ..." lines (BenchRuns.h).
//
//   build/bench/link_bench [seconds per direction, default 5] [echo samples, default 200]
//
// The echo is timed from SendData of one byte to the ReceiveData that hands it back, polled every
// half millisecond: the link's own share, without the bridge's 10 ms tick (bridge_bench has it).
// Every link is synchronised as the bridge cycle does it: a handshake call that fails is made
// again at the next tick.
#include "bench/BenchDevice.h"
#include "bench/BenchPaths.h"
#include "bench/BenchRuns.h"
#include "device/Tsscclass.h"

#include "sim/SimLibrary.h"
#include "tests/Synch.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono;
using bench::TBenchDevice;

using bench::kFrameSeconds;
using bench::kFromDeviceCeiling;
using bench::kToDeviceCeiling;
constexpr milliseconds kTick{10};
constexpr microseconds kEchoPoll{500};
// How long one byte's echo is waited for, and how many lost echoes in a row end the path.
constexpr seconds kEchoPatience{2};
constexpr int kLostInARow = 10;
constexpr int kRetireSamples = 5;

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct TFigures {
    double Rate = 0;
    double Fraction = 0;
    double Cpu = 0;
};

// One path's run; the first failure ends it, its reason kept in Failure.
class TLinkBench
{
public:
    TLinkBench(TBenchDevice &Device, bench::TWatchdog &Watchdog)
        : FDevice(Device), FWatchdog(Watchdog), FIn(ssc::kRingSize)
    {
    }

    bool ToDevice(double Seconds, TFigures &Figures);
    bool FromDevice(double Seconds, TFigures &Figures, bool &Counted);
    bool EchoTimes(int Samples, std::vector<double> &Times, int &Lost);
    bool StopToEndMs(bool Synched, double &Ms);
    bool LinksInARow(int Count);

    const std::string &Failure() const { return FFailure; }
    // The handshakes of the links opened synchronised so far.
    const bench::THandshakes &Handshakes() const { return FHandshakes; }

private:
    std::unique_ptr<TSSCClass> OpenLink(bool Synched);
    bool Fail(const std::string &Why)
    {
        FFailure = Why;
        return false;
    }
    void Drain(TSSCClass &Link) { Link.ReceiveData(FIn.data(), int(FIn.size())); }

    TBenchDevice &FDevice;
    bench::TWatchdog &FWatchdog;
    std::vector<unsigned char> FIn;
    std::string FFailure;
    bench::THandshakes FHandshakes;
};

std::unique_ptr<TSSCClass> TLinkBench::OpenLink(bool Synched)
{
    FWatchdog.Phase("opening the link");
    auto link = std::make_unique<TSSCClass>();
    if (link->Init(FDevice.Description())) {
        FFailure = "the link did not open \"" + FDevice.Description() + "\"";
        RetireLink(link);
        return nullptr;
    }
    if (!Synched)
        return link;
    FWatchdog.Phase("synchronising the link");
    int failedCalls = 0;
    if (test::SynchAtTicks(*link, &failedCalls)) {
        FFailure = "the link did not synchronise with \"" + FDevice.Description() + "\" in " +
                   std::to_string(failedCalls) + " handshake calls over up to " +
                   std::to_string(test::kSynchPatience.count() / 1000) + " s";
        RetireLink(link);
        return nullptr;
    }
    FHandshakes.Synchronised(failedCalls);
    return link;
}

// Feeds the link every tick as the bridge would, keeping its transmit ring full.
bool TLinkBench::ToDevice(double Seconds, TFigures &Figures)
{
    FDevice.Send(VSIM_SILENT); // a device that echoes anyway has its echoes drained
    auto link = OpenLink(true);
    if (!link)
        return false;
    FWatchdog.Phase("sending to the device");
    std::vector<unsigned char> data(4096, 'x');
    // Let the pipeline fill before measuring.
    link->SendData(data.data(), 4096);
    std::this_thread::sleep_for(milliseconds(500));
    Drain(*link);
    const long long before = FDevice.HostBytes();
    const double cpu0 = CpuSeconds();
    const auto start = steady_clock::now();
    while (duration<double>(steady_clock::now() - start).count() < Seconds) {
        link->SendData(data.data(), 4096);
        std::this_thread::sleep_for(kTick);
        Drain(*link);
    }
    const double elapsed = duration<double>(steady_clock::now() - start).count();
    const long long after = FDevice.HostBytes();
    const double cpu = CpuSeconds() - cpu0;
    FWatchdog.Phase("retiring the link after sending");
    RetireLink(link);
    Figures.Rate = double(after - before) / elapsed;
    Figures.Fraction = Figures.Rate / kToDeviceCeiling;
    Figures.Cpu = cpu / elapsed;
    return true;
}

// Drains the link every tick while the device sends without pause. A device that only echoes is
// fed as in ToDevice, and what comes back is its echo (Counted is false).
bool TLinkBench::FromDevice(double Seconds, TFigures &Figures, bool &Counted)
{
    Counted = FDevice.Send(VSIM_COUNTER);
    auto link = OpenLink(true);
    if (!link)
        return false;
    FWatchdog.Phase("receiving from the device");
    std::vector<unsigned char> data(4096, 'y');
    if (!Counted)
        link->SendData(data.data(), 4096);
    std::this_thread::sleep_for(milliseconds(500));
    Drain(*link);
    const double cpu0 = CpuSeconds();
    const auto start = steady_clock::now();
    long long received = 0;
    while (duration<double>(steady_clock::now() - start).count() < Seconds) {
        if (!Counted)
            link->SendData(data.data(), 4096);
        std::this_thread::sleep_for(kTick);
        received += std::max(0, link->ReceiveData(FIn.data(), int(FIn.size())));
    }
    const double elapsed = duration<double>(steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu0;
    FWatchdog.Phase("retiring the link after receiving");
    RetireLink(link);
    Figures.Rate = double(received) / elapsed;
    Figures.Fraction = Figures.Rate / kFromDeviceCeiling;
    Figures.Cpu = cpu / elapsed;
    return true;
}

// One byte at a time, each after a pause drawn afresh up to two frames long, so that it starts
// anywhere in the frame: from SendData to the ReceiveData that returns it. An echo that has not
// come within kEchoPatience is counted lost.
bool TLinkBench::EchoTimes(int Samples, std::vector<double> &Times, int &Lost)
{
    FDevice.Send(VSIM_ECHO);
    auto link = OpenLink(true);
    if (!link)
        return false;
    FWatchdog.Phase("timing echoes");
    // Whatever the device sent before it turned to echoing is read away first.
    for (int quiet = 0, polls = 0; quiet < 20 && polls < 500; ++polls) {
        std::this_thread::sleep_for(kTick);
        quiet = link->ReceiveData(FIn.data(), int(FIn.size())) > 0 ? 0 : quiet + 1;
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pauseUs(0, int(2 * kFrameSeconds * 1e6));
    int lostInARow = 0;
    for (int i = 0; i < Samples && lostInARow < kLostInARow; ++i) {
        std::this_thread::sleep_for(microseconds(pauseUs(random)));
        const auto out = static_cast<unsigned char>('a' + i % 26);
        const auto start = steady_clock::now();
        const auto giveUp = start + kEchoPatience;
        bool sent = false;
        bool back = false;
        while (!back && steady_clock::now() < giveUp) {
            if (!sent) {
                const int taken = link->SendData(&out, 1);
                if (taken < 0)
                    return Fail("the link ended while timing echoes");
                sent = taken == 1;
            }
            const int got = link->ReceiveData(FIn.data(), int(FIn.size()));
            // Anything else is a late echo of a byte already counted lost.
            back = got > 0 && std::find(FIn.begin(), FIn.begin() + got, out) != FIn.begin() + got;
            if (!back)
                std::this_thread::sleep_for(kEchoPoll);
        }
        if (back) {
            Times.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
            lostInARow = 0;
        } else {
            ++Lost;
            ++lostInARow;
        }
    }
    FWatchdog.Phase("retiring the link after the echoes");
    RetireLink(link);
    std::sort(Times.begin(), Times.end());
    if (Times.empty())
        return Fail("no echo came back within " + std::to_string(kEchoPatience.count()) + " s");
    return true;
}

// From Stop to the worker's end, for an exchanging link and for an idle one.
bool TLinkBench::StopToEndMs(bool Synched, double &Ms)
{
    FDevice.Send(VSIM_ECHO);
    auto link = OpenLink(Synched);
    if (!link)
        return false;
    std::this_thread::sleep_for(milliseconds(200));
    FWatchdog.Phase(Synched ? "stopping an exchanging link" : "stopping an idle link");
    QElapsedTimer clock;
    clock.start();
    link->Stop();
    link->wait();
    Ms = double(clock.nsecsElapsed()) / 1e6;
    link.reset();
    return true;
}

// Links opened and synchronised one after another, each retired at once.
bool TLinkBench::LinksInARow(int Count)
{
    FDevice.Send(VSIM_ECHO);
    for (int i = 0; i < Count; ++i) {
        auto link = OpenLink(true);
        if (!link)
            return false;
        FWatchdog.Phase("retiring a link of those in a row");
        RetireLink(link);
    }
    return true;
}

// Measures one run of a path and prints its table; the path's lines are RunIdleAndLoaded's.
bench::TRunOutcome MeasureRun(bench::TRun &PathRun, TBenchDevice &Device, double Seconds,
                              int Samples)
{
    TLinkBench run(Device, PathRun.Watchdog);
    TFigures to, from;
    bool counted = true;
    std::vector<double> echo, stops, idleStops;
    int lost = 0;
    bool ok = run.ToDevice(Seconds, to) && run.FromDevice(Seconds, from, counted) &&
              run.EchoTimes(Samples, echo, lost);
    for (int i = 0; ok && i < kRetireSamples; ++i) {
        double exchanging = 0, idle = 0;
        ok = run.StopToEndMs(true, exchanging) && run.StopToEndMs(false, idle);
        stops.push_back(exchanging);
        idleStops.push_back(idle);
    }
    if (!ok)
        return {false, {}, run.Failure(), run.Handshakes()};

    std::printf("Device link, path %s: %s, real time at 1 MHz (%.0f s a direction, %d echo "
                "samples)%s\n",
                PathRun.Label.c_str(), Device.What().c_str(), Seconds, Samples,
                PathRun.Loaded ? ", beside busy processes" : "");
    if (!Device.Note().empty())
        std::printf("%s\n", Device.Note().c_str());
    if (!counted)
        std::printf("The device only echoes: \"from\" is the echo of what goes to it, at most "
                    "%.4f of the ceiling.\n",
                    kToDeviceCeiling / kFromDeviceCeiling);
    std::printf("%-34s %12s %10s %14s\n", "measure", "value", "ceiling", "fraction");
    std::printf("%-34s %9.1f B/s %6.1f B/s %14.3f\n", "host bytes to the device", to.Rate,
                kToDeviceCeiling, to.Fraction);
    std::printf("%-34s %9.0f B/s %6.0f B/s %14.3f\n", "bytes from the device", from.Rate,
                kFromDeviceCeiling, from.Fraction);
    std::printf("%-34s %12.4f\n", "CPU s/s sending (all threads)", to.Cpu);
    std::printf("%-34s %12.4f\n", "CPU s/s receiving (all threads)", from.Cpu);
    std::printf("%-34s %9.1f ms\n", "echo of one byte, p50", bench::Percentile(echo, 0.50));
    std::printf("%-34s %9.1f ms\n", "echo of one byte, p99", bench::Percentile(echo, 0.99));
    std::printf("%-34s %9.1f ms (%d of %d lost)\n", "echo of one byte, max", echo.back(), lost,
                Samples);
    const double worstStop = *std::max_element(stops.begin(), stops.end());
    const double worstIdle = *std::max_element(idleStops.begin(), idleStops.end());
    std::printf("%-34s %9.2f ms (worst of %d)\n", "Stop to end, exchanging", worstStop,
                kRetireSamples);
    std::printf("%-34s %9.2f ms (worst of %d)\n", "Stop to end, idle", worstIdle, kRetireSamples);
    std::fflush(stdout);
    const bench::TPathFigures figures{to.Fraction, from.Fraction, bench::Percentile(echo, 0.50),
                                      bench::Percentile(echo, 0.99),
                                      std::max(worstStop, worstIdle)};
    return {true, figures, {}, run.Handshakes()};
}

// Measures one path idle and loaded; the exit status.
int RunPath(const std::string &Name, TBenchDevice &Device, double Seconds, int Samples,
            std::chrono::seconds Patience)
{
    return bench::RunIdleAndLoaded(
        Name, Device, Patience,
        [&](bench::TRun &PathRun) { return MeasureRun(PathRun, Device, Seconds, Samples); },
        [&](bench::TRun &PathRun, int Count, bench::THandshakes &Handshakes, std::string &Why) {
            TLinkBench links(Device, PathRun.Watchdog);
            const bool synchronised = links.LinksInARow(Count);
            Handshakes = links.Handshakes();
            Why = links.Failure();
            return synchronised;
        });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 200;
    // Generous: only a path that hangs comes near it.
    const auto patience =
        std::chrono::seconds(120 + int(4 * seconds) + samples * int(kEchoPatience.count()) / 4);

    const std::string child = bench::ChildPath();
    if (!child.empty()) {
        std::string why;
        bool skipped = false;
        auto device = bench::EmulatedDevice(child, why, skipped);
        if (!device)
            return bench::ReportNoDevice(child, why, skipped);
        return RunPath(child, *device, seconds, samples, patience);
    }

    int status = 0;
    {
        SimLibrary sim;
        auto device = bench::SimDevice(sim);
        status = RunPath(bench::kSimPath, *device, seconds, samples, patience);
    }
    const bool emulated = bench::RunEmulatedPaths(argc, argv, bench::PathPatience(patience));
    return status == 0 && emulated ? 0 : 1;
}
