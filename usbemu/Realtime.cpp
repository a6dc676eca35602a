#include "usbemu/Realtime.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace usbemu
{

namespace
{

// Low among real-time priorities: above every ordinary thread, below the kernel's own threads.
constexpr int kHardwarePriority = 10;

std::mutex gMutex;
TScheduling gScheduling = TScheduling::NotAsked;
std::string gWhy;

} // namespace

TScheduling RunAsHardware()
{
    const char *wanted = std::getenv("VELMOR_EMULATION_SCHEDULING");
    int refused = 0;
    if (wanted != nullptr && std::strcmp(wanted, "ordinary") == 0) {
        refused = -1;
    } else {
        sched_param parameters{};
        parameters.sched_priority = kHardwarePriority;
        refused = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    }
    std::lock_guard lock(gMutex);
    if (refused == 0) {
        if (gScheduling == TScheduling::NotAsked)
            gScheduling = TScheduling::RealTime;
        return TScheduling::RealTime;
    }
    gScheduling = TScheduling::Ordinary;
    gWhy = refused < 0 ? "VELMOR_EMULATION_SCHEDULING=ordinary" : std::strerror(refused);
    return TScheduling::Ordinary;
}

TScheduling Scheduling()
{
    std::lock_guard lock(gMutex);
    return gScheduling;
}

std::string SchedulingName()
{
    std::lock_guard lock(gMutex);
    switch (gScheduling) {
    case TScheduling::RealTime:
        return "real-time scheduling (SCHED_FIFO " + std::to_string(kHardwarePriority) + ")";
    case TScheduling::Ordinary:
        return "ordinary scheduling (" + gWhy + ")";
    case TScheduling::NotAsked:
        break;
    }
    return "not started";
}

} // namespace usbemu
