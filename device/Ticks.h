// The millisecond tick counter that the device link's timeouts run on: a monotonic clock cut to
// 32 bits, so it wraps about every 49.7 days exactly as the link's arithmetic expects. Tests can
// put a clock of their own in its place to drive the wrap.
#pragma once

#include <cstdint>

namespace ticks
{

using TTickSource = std::uint32_t (*)();

std::uint32_t Now();

// Whether the tick count Now is at or past Deadline. The signed distance stays right across the
// counter's wrap: a deadline that wrapped past zero is reached only once the counter has too, and
// on time even when nobody looked between the wrap and the deadline.
constexpr bool Reached(std::uint32_t Now, std::uint32_t Deadline)
{
    return static_cast<std::int32_t>(Now - Deadline) >= 0;
}

// A deadline on the tick counter, a number of milliseconds from when it was made; it has expired
// once the counter is at or past it (Reached).
class TDeadline
{
public:
    TDeadline() = default;
    explicit TDeadline(std::uint32_t Milliseconds) : FAt(Now() + Milliseconds) {}
    bool Expired() const { return Reached(Now(), FAt); }

private:
    std::uint32_t FAt = 0;
};

// nullptr restores the monotonic clock.
void SetSource(TTickSource source);

} // namespace ticks
