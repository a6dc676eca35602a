// The two runs of every path: idle, and beside busy processes, as on a shared machine where
// other builds keep the cores busy. Each run ends with its line of figures and a line that counts
// the handshake calls that failed over the links it synchronised:
//
//   path NAME: to 0.999 from 1.000 echo-p50 31.2 ms echo-p99 50.1 ms retire 25 ms
//   path NAME: handshakes 0 failed of 8
//   path NAME loaded: to 0.999 from 1.000 echo-p50 31.2 ms echo-p99 50.1 ms retire 25 ms
//   path NAME loaded: handshakes 1 failed of 8, in a row 0 failed of 50
//
// A run that cannot be measured says "path NAME: failed (why)" or "path NAME loaded: failed
// (why)" instead of its figures, and still counts its handshakes. On a busy machine a handshake
// call can fail without anything being wrong (the device's reply later than the handshake waits);
// every link is synchronised as the bridge cycle does it, the call made again at the next tick.
// To count how often that happens, the loaded run ends with kLinksInARow links synchronised one
// after another, still beside the busy processes; one that does not synchronise at all ends them
// with "in a row failed (why, ...)" on the handshakes line.
//
// A process measuring an emulated chip ends with one line saying which scheduling the emulated
// chip's threads ran under (usbemu/Realtime.h), which the loaded figures depend on:
//
//   emulation: real-time scheduling (SCHED_FIFO 10)
//   emulation: ordinary scheduling (Operation not permitted)
#pragma once

#include "bench/BenchPaths.h"

#include <chrono>
#include <functional>
#include <string>

namespace bench
{

class TBenchDevice;

// The busy processes beside a loaded run: one for each of the CI machine's two cores.
constexpr int kBusyNeighbours = 2;
constexpr int kLinksInARow = 50;
// How long the links in a row may take together before their run is said to have hung.
constexpr std::chrono::seconds kLinksInARowPatience{300};

// Handshake calls that failed, and the links they were made for that synchronised in the end.
struct THandshakes {
    int Failed = 0;
    int Links = 0;

    void Synchronised(int FailedCalls)
    {
        Failed += FailedCalls;
        ++Links;
    }
};

// One run of a path: the label its lines start with ("NAME", "NAME loaded"), whether busy
// processes run beside it, and the watchdog that ends it if it hangs.
struct TRun {
    std::string Label;
    bool Loaded = false;
    TWatchdog &Watchdog;
};

// What a run measured. Its table is printed by the benchmark; the lines above by
// RunIdleAndLoaded.
struct TRunOutcome {
    bool Measured = false;
    TPathFigures Figures;
    std::string Why; // when not Measured
    THandshakes Handshakes;
};

using TMeasure = std::function<TRunOutcome(TRun &Run)>;
// Synchronises Count links one after another, each retired before the next, counting into
// Handshakes; false, with Why, at the first that did not synchronise.
using TLinksInARow =
    std::function<bool(TRun &Run, int Count, THandshakes &Handshakes, std::string &Why)>;

// Measures the path idle and then loaded, followed by the links in a row, each run under a
// watchdog of its own with Patience (kLinksInARowPatience for the links in a row), and prints
// their lines, then the emulation's scheduling for an emulated chip; the exit status, 0 when both
// runs were measured and every link synchronised.
int RunIdleAndLoaded(const std::string &Path, TBenchDevice &Device, std::chrono::seconds Patience,
                     const TMeasure &Measure, const TLinksInARow &InARow);

// How long RunIdleAndLoaded may take for runs of Patience each.
std::chrono::seconds PathPatience(std::chrono::seconds Patience);

} // namespace bench
