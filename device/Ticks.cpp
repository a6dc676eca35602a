#include "device/Ticks.h"

#include <atomic>
#include <chrono>

namespace ticks
{

namespace
{

std::uint32_t MonotonicMilliseconds()
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

std::atomic<TTickSource> Source{&MonotonicMilliseconds};

} // namespace

std::uint32_t Now()
{
    return Source.load(std::memory_order_acquire)();
}

void SetSource(TTickSource source)
{
    Source.store(source ? source : &MonotonicMilliseconds, std::memory_order_release);
}

} // namespace ticks
