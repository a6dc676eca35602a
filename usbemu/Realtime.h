// The emulated chips' threads run as hardware would: never waiting behind the program under test.
//
// A real chip and its host controller move packets whatever the host's CPUs are doing; only the
// driver can be starved. The emulator's threads (the umockdev worker that answers the device
// nodes' ioctls, and each node's host-controller clock) therefore ask for real-time scheduling
// (SCHED_FIFO) at a low real-time priority, which a process has as root or with CAP_SYS_NICE or an
// RLIMIT_RTPRIO, as in CI. Where it is refused they run as ordinary threads: the emulation is
// then exact in what it moves but its timing shares the CPU with the driver, and figures measured
// on a busy machine cannot tell a starved driver from a starved emulator. Scheduling() says which
// ran, for the benchmarks to print. The threads sleep between (micro)frames and never spin, so a
// real-time priority costs the rest of the machine only the work they do.
#pragma once

#include <string>

namespace usbemu
{

enum class TScheduling { NotAsked, RealTime, Ordinary };

// Puts the calling thread under real-time scheduling where the process may have it; what it got.
// VELMOR_EMULATION_SCHEDULING=ordinary in the environment keeps the ordinary scheduling.
TScheduling RunAsHardware();
// What the emulator's threads got so far: Ordinary if any was refused.
TScheduling Scheduling();
// "real-time scheduling (SCHED_FIFO 10)" or "ordinary scheduling (why)", or "not started".
std::string SchedulingName();

} // namespace usbemu
