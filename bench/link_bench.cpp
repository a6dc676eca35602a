// The device link alone against the simulated device in real time at its 1 MHz clock: host-byte
// throughput each way as a fraction of the protocol's ceiling, the CPU it costs, and how long a
// stopped link takes to end.
//
//   build/bench/link_bench [seconds per direction, default 5]
#include "device/D2xx.h"
#include "device/Tsscclass.h"

#include "sim/SimLibrary.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono;

// One frame is 4096 bytes clocked at 1 MHz.
constexpr double kFrameSeconds = 4096 * 8 / 1e6;
constexpr double kToDeviceCeiling = (4096.0 / 600.0) / kFrameSeconds; // host bytes a second
constexpr double kFromDeviceCeiling = 2048.0 / kFrameSeconds;
constexpr milliseconds kTick{10};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<TSSCClass> SynchedLink()
{
    auto link = std::make_unique<TSSCClass>();
    if (link->Init("SSC Simulator") || link->SynchDevice(24, 0x01A5)) {
        std::fprintf(stderr, "the link did not come up against the simulator\n");
        std::exit(1);
    }
    return link;
}

struct Figures {
    double rate = 0;
    double fraction = 0;
    double cpu = 0;
};

// Feeds the link every tick as the bridge would, keeping its transmit ring full.
Figures ToDevice(SimLibrary &sim, double seconds)
{
    sim.vsim_SetBehaviour(VSIM_SILENT);
    auto link = SynchedLink();
    std::vector<unsigned char> data(4096, 'x');
    // Let the pipeline fill before measuring.
    link->SendData(data.data(), 4096);
    std::this_thread::sleep_for(milliseconds(500));
    VsimChipState before{};
    sim.vsim_GetChipState(&before);
    const double cpu0 = CpuSeconds();
    const auto start = steady_clock::now();
    while (duration<double>(steady_clock::now() - start).count() < seconds) {
        link->SendData(data.data(), 4096);
        std::this_thread::sleep_for(kTick);
    }
    const double elapsed = duration<double>(steady_clock::now() - start).count();
    VsimChipState after{};
    sim.vsim_GetChipState(&after);
    const double cpu = CpuSeconds() - cpu0;
    RetireLink(link);
    const double rate = double(after.hostBytes - before.hostBytes) / elapsed;
    return {rate, rate / kToDeviceCeiling, cpu / elapsed};
}

// Drains the link every tick while the device sends without pause.
Figures FromDevice(SimLibrary &sim, double seconds)
{
    sim.vsim_SetBehaviour(VSIM_COUNTER);
    auto link = SynchedLink();
    std::vector<unsigned char> in(65536);
    std::this_thread::sleep_for(milliseconds(500));
    link->ReceiveData(in.data(), 65536);
    const double cpu0 = CpuSeconds();
    const auto start = steady_clock::now();
    long long received = 0;
    while (duration<double>(steady_clock::now() - start).count() < seconds) {
        std::this_thread::sleep_for(kTick);
        received += std::max(0, link->ReceiveData(in.data(), 65536));
    }
    const double elapsed = duration<double>(steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu0;
    RetireLink(link);
    const double rate = double(received) / elapsed;
    return {rate, rate / kFromDeviceCeiling, cpu / elapsed};
}

// From Stop to the worker's end, for an exchanging link and for an idle one.
double StopToEndMs(SimLibrary &sim, bool synched)
{
    sim.vsim_SetBehaviour(VSIM_ECHO);
    auto link = synched ? SynchedLink() : std::make_unique<TSSCClass>();
    if (!synched)
        link->Init("SSC Simulator");
    std::this_thread::sleep_for(milliseconds(200));
    QElapsedTimer clock;
    clock.start();
    link->Stop();
    link->wait();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    link.reset();
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    SimLibrary sim;
    d2xx::SetLibraryFile(SimLibrary::Path());
    sim.vsim_SetRealTime(1);

    const Figures to = ToDevice(sim, seconds);
    const Figures from = FromDevice(sim, seconds);
    std::vector<double> stops, idleStops;
    for (int i = 0; i < 5; ++i) {
        stops.push_back(StopToEndMs(sim, true));
        idleStops.push_back(StopToEndMs(sim, false));
    }

    std::printf("Device link against the simulator, real time at 1 MHz (%.0f s a direction)\n",
                seconds);
    std::printf("%-34s %12s %10s %14s\n", "measure", "value", "ceiling", "fraction");
    std::printf("%-34s %9.1f B/s %6.1f B/s %14.3f\n", "host bytes to the device", to.rate,
                kToDeviceCeiling, to.fraction);
    std::printf("%-34s %9.0f B/s %6.0f B/s %14.3f\n", "bytes from the device", from.rate,
                kFromDeviceCeiling, from.fraction);
    std::printf("%-34s %12.4f\n", "CPU s/s sending (all threads)", to.cpu);
    std::printf("%-34s %12.4f\n", "CPU s/s receiving (all threads)", from.cpu);
    std::printf("%-34s %9.2f ms (worst of 5)\n", "Stop to end, exchanging",
                *std::max_element(stops.begin(), stops.end()));
    std::printf("%-34s %9.2f ms (worst of 5)\n", "Stop to end, idle",
                *std::max_element(idleStops.begin(), idleStops.end()));
    return 0;
}
