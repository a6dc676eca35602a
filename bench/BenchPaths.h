// The paths a benchmark measures in one run, each ending with one line of figures:
//
//   path NAME: to 0.999 from 1.000 echo-p50 31.2 ms echo-p99 50.1 ms retire 25 ms
//
// to/from: host bytes a second to and from the device as a fraction of the protocol's ceiling;
// echo-p50/p99: the round trip of one byte; retire: the longest that stopping or replacing a link
// took. A path that cannot be measured ends with "path NAME: failed (why)" instead, one that was
// not built with "path NAME: not built (why)". Each path is measured twice, idle and beside busy
// processes, the second run's lines saying "path NAME loaded: ..." (BenchRuns.h).
//
// Paths, in this order: "sim", the simulated D2XX library, measured in the benchmark's own
// process; "ft2232d", "ft2232h", "ft4232h" and "ft232h", an emulated FT2232D (full speed, 64-byte
// packets), FT2232H, FT4232H and FT232H (high speed), channel A, beneath the program's own
// libftd2xx-ftdi1.so, Debian's libftdi1 and libusb-1.0 and umockdev. umockdev's preload has to be
// in a process from its start, so the benchmark runs itself again (/proc/self/exe, the same
// arguments) for each emulated path, with libumockdev-preload.so.0 added to LD_PRELOAD and
// VELMOR_BENCH_PATH naming the path; the parent relays what the child prints. A child that does not
// end in time is stopped and its path said to have failed: a driver that hangs costs its path,
// never the run.
#pragma once

#include "device/LinkPace.h"
#include "device/SscProtocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench
{

inline constexpr const char *kSimPath = "sim";
// The environment variable that tells a child which emulated path it is to measure.
inline constexpr const char *kPathVariable = "VELMOR_BENCH_PATH";
// The exit status of a child that found no umockdev preload in itself.
constexpr int kSkippedStatus = 77;

// The protocol's ceilings (device/LinkPace.h).
using ssc::kFrameSeconds;
using ssc::kFromDeviceCeiling;
using ssc::kToDeviceCeiling;

// The emulated paths, in the order they run.
const std::vector<std::string> &EmulatedPaths();
// Whether this build can run them (VELMOR_USB_EMULATION).
bool EmulationBuilt();
// The emulated path this process is to measure; empty when it is the benchmark's first process.
std::string ChildPath();

struct TPathFigures {
    double To = 0;   // fraction of the ceiling
    double From = 0; // fraction of the ceiling
    double EchoP50Ms = 0;
    double EchoP99Ms = 0;
    double RetireMs = 0;
};

// Prints the path's closing line and flushes, so that a parent relaying it sees it at once.
void PrintPathLine(const std::string &Name, const TPathFigures &Figures);
void PrintPathFailed(const std::string &Name, const std::string &Why);

// The value at fraction P of sorted values (device/LinkPace.h).
using ssc::Percentile;

// Runs every emulated path in a child of its own with the benchmark's arguments, one after
// another, relaying the children's output; each child may take `Patience` for all its runs
// (PathPatience). Returns false when a path failed. Without the emulation built, says so for each
// path; without umockdev's preload, says once that the emulated paths were skipped and why.
bool RunEmulatedPaths(int Argc, char **Argv, std::chrono::seconds Patience);

// Ends the process with "path NAME: failed (...)" if it is still running when its patience is
// over, naming the phase it was in: a driver call that never returns ends its path, not the run.
// The folder `Leftovers`, if given, is removed first (TBenchDevice::Leftovers).
class TWatchdog
{
public:
    TWatchdog(std::string Path, std::chrono::seconds Patience, std::string Leftovers = {});
    ~TWatchdog();
    TWatchdog(const TWatchdog &) = delete;
    TWatchdog &operator=(const TWatchdog &) = delete;

    // What the process is doing now, for the failure line (a string literal).
    void Phase(const char *What) { FPhase = What; }

private:
    void Watch();

    const std::string FPath;
    const std::chrono::seconds FPatience;
    const std::string FLeftovers;
    std::atomic<const char *> FPhase{"starting"};
    std::mutex FMutex;
    std::condition_variable FDone;
    bool FFinished = false;
    std::thread FThread;
};

} // namespace bench
