// Synchronising a link as the bridge cycle does: SynchDevice is called again at the next 10 ms
// tick after a failed call, until it succeeds or the patience runs out. A single call can fail
// on a busy machine (a reply later than the handshake's 60 ms) without anything being wrong.
#pragma once

#include "device/Tsscclass.h"

#include <chrono>
#include <thread>

namespace test
{

constexpr std::chrono::milliseconds kSynchTick{10};
constexpr std::chrono::milliseconds kSynchPatience{30000};

// False when the link synchronised within Patience; FailedCalls counts the calls that failed.
inline bool SynchAtTicks(TSSCClass &Link, int *FailedCalls = nullptr,
                         std::chrono::milliseconds Patience = kSynchPatience)
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

} // namespace test
