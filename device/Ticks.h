// The millisecond tick counter that the device link's timeouts run on: a monotonic clock cut to
// 32 bits, so it wraps about every 49.7 days exactly as the link's arithmetic expects. Tests can
// put a clock of their own in its place to drive the wrap.
#pragma once

#include <cstdint>

namespace ticks
{

using TTickSource = std::uint32_t (*)();

std::uint32_t Now();

// nullptr restores the monotonic clock.
void SetSource(TTickSource source);

} // namespace ticks
