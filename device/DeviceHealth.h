// Whether the device still answers, told from the results of the driver calls on it: a call that
// fails now and then is retried as the link goes on; one that keeps failing means the device is
// gone, as when it has been unplugged. Used by whichever thread talks to the device; Failing() is
// read from any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace ssc
{

// A driver call that fails this many times in a row more is a lost device, not a passing fault.
constexpr int kFailureRetries = 5;

class TDeviceHealth
{
public:
    enum class TCall { Read, Write, GetStatus };

    // Records a call's status (0 = success). When this call makes the device lost, returns the
    // text that says so ("Device lost: FT_Read failed 6 times"); else empty.
    std::string Record(std::uint32_t Status, TCall Call);
    // True while some call has failed beyond kFailureRetries tries in a row; false again once it
    // succeeds.
    bool Failing() const { return FFailing.load(); }

private:
    // Failed calls in a row, by call.
    std::array<int, 3> FFailures{};
    std::atomic<bool> FFailing{false};
};

} // namespace ssc
