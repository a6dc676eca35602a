#include "device/LinkPace.h"

#include "device/Tsscclass.h"

#include <algorithm>
#include <thread>

namespace ssc
{

double Percentile(const std::vector<double> &Sorted, double P)
{
    if (Sorted.empty())
        return 0;
    const auto index = std::size_t(P * double(Sorted.size() - 1) + 0.5);
    return Sorted[std::min(index, Sorted.size() - 1)];
}

bool SynchAtTicks(TSSCClass &Link, int *FailedCalls, std::chrono::milliseconds Patience)
{
    const auto deadline = std::chrono::steady_clock::now() + Patience;
    int failed = 0;
    for (;;) {
        if (!Link.SynchDevice(24, 0x01A5)) {
            if (FailedCalls != nullptr)
                *FailedCalls = failed;
            return false;
        }
        ++failed;
        if (FailedCalls != nullptr)
            *FailedCalls = failed;
        if (Link.DeviceFailing() || std::chrono::steady_clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(kSynchTick);
    }
}

} // namespace ssc
