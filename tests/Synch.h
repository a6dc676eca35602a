// Synchronising a link as the bridge cycle does (device/LinkPace.h), with a test's patience.
#pragma once

#include "device/LinkPace.h"
#include "device/Tsscclass.h"

#include <chrono>

namespace test
{

using ssc::kSynchTick;
constexpr std::chrono::milliseconds kSynchPatience{30000};

// False when the link synchronised within Patience; FailedCalls counts the calls that failed.
inline bool SynchAtTicks(TSSCClass &Link, int *FailedCalls = nullptr,
                         std::chrono::milliseconds Patience = kSynchPatience)
{
    return ssc::SynchAtTicks(Link, FailedCalls, Patience);
}

} // namespace test
