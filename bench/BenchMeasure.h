// How bridge_bench measures the program while it runs: the event loop run as the program's own
// runs it, the CPU time of the process and of one thread, a bare Qt window's CPU as the yardstick
// for the program's, and the echo time the link's design leaves.
#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <pthread.h>

#include <chrono>
#include <utility>

namespace bench
{

// CPU seconds, user and system, of the whole process and of one of its threads.
double ProcessCpu();
double ThreadCpu(pthread_t Thread);

// Runs an event loop for a while, as the program's own would: asleep between events.
void Run(std::chrono::milliseconds Span);

// Runs the event loop as the program's own does, until Done() or Patience is over. A loop of
// processEvents and short sleeps would make every tick up to a millisecond late and show an
// echo the program does not have.
template <typename TDone>
void RunUntil(TDone Done, std::chrono::milliseconds Patience = std::chrono::milliseconds(30000))
{
    if (Done())
        return;
    const auto end = std::chrono::steady_clock::now() + Patience;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (Done() || std::chrono::steady_clock::now() >= end)
            loop.quit();
    });
    check.start(20);
    loop.exec();
}

// What a desktop Qt program costs that only ticks: a window and a 10 ms timer doing nothing, as a
// share of one core over Seconds. Measured in each run, before the program's own figures, as
// their yardstick.
double BareWindowCpu(double Seconds);

// The echo time the design leaves, for a frame lead of LeadMs: waiting for the tick that reads the
// port (0..10 ms), for the next frame to be built (0..one frame), the lead, about 1 ms until the
// answer is in the chip's queue, and the tick that writes it to the port (0..10 ms). Returns the
// p50 and p99 of that sum, sampled with a fixed seed.
std::pair<double, double> EchoFloor(double LeadMs);

} // namespace bench
