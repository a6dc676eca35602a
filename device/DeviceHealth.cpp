#include "device/DeviceHealth.h"

#include <algorithm>

namespace ssc
{

std::string TDeviceHealth::Record(std::uint32_t Status, TCall Call)
{
    static constexpr std::array<const char *, 3> kCallNames = {"FT_Read", "FT_Write",
                                                               "FT_GetStatus"};
    const auto call = static_cast<std::size_t>(Call);
    int &failures = FFailures[call];
    failures = Status == 0 ? 0 : std::min(failures + 1, kFailureRetries + 1);
    const bool lost = std::any_of(FFailures.begin(), FFailures.end(),
                                  [](int Failed) { return Failed > kFailureRetries; });
    if (!lost) {
        FFailing.store(false, std::memory_order_relaxed);
        return {};
    }
    if (FFailing.exchange(true, std::memory_order_relaxed))
        return {};
    return std::string("Device lost: ") + kCallNames[call] + " failed " + std::to_string(failures) +
           " times";
}

} // namespace ssc
