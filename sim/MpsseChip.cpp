#include "sim/MpsseChip.h"

#include "sim/Board.h"

#include <algorithm>
#include <limits>

namespace vsim
{

namespace
{

using d2xx::FT_STATUS;

// Nanoseconds and 12 MHz ticks: 12'000'000 / 1'000'000'000 = 3 / 250.
constexpr std::uint64_t kTicksPerNanoNum = 3;
constexpr std::uint64_t kTicksPerNanoDen = 250;
static_assert(kBaseClockHz * kTicksPerNanoDen == 1'000'000'000 * kTicksPerNanoNum);
constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

// D2XX takes a timeout of 0 as no timeout at all.
std::optional<Chip::Clock::time_point> Deadline(Chip::Clock::time_point start, d2xx::ULONG ms)
{
    if (ms == 0)
        return std::nullopt;
    return start + std::chrono::milliseconds(ms);
}

// The status of a call on a chip whose handle is live (closed_ false) or not.
FT_STATUS Usable(bool closed, const CallSettings &settings)
{
    if (closed)
        return d2xx::FT_INVALID_HANDLE;
    if (settings.unplugged)
        return d2xx::FT_IO_ERROR;
    return d2xx::FT_OK;
}

} // namespace

Chip::Chip(Board &board, std::string description, const StreamStart &start)
    : board_(board), description_(std::move(description)), decoder_(board), epoch_(Clock::now())
{
    decoder_.RestartDevice(start);
}

void Chip::Rebase(Clock::time_point now)
{
    epoch_ = now;
    spent_ = 0;
}

Chip::Clock::time_point Chip::TimeAtTicks(std::uint64_t ticks) const
{
    // Rounded up, so that a wait ends no earlier than the tick it waits for.
    const std::uint64_t nanos =
        (ticks * kTicksPerNanoDen + kTicksPerNanoNum - 1) / kTicksPerNanoNum;
    return epoch_ + std::chrono::nanoseconds(nanos);
}

void Chip::Advance(Clock::time_point now, const CallSettings &settings)
{
    decoder_.SetBehaviour(settings.behaviour);
    if (settings.realTime != realTime_) {
        realTime_ = settings.realTime;
        Rebase(now);
    }
    if (!mpsseOn_) {
        stop_ = Stop::Idle;
        Rebase(now);
        return;
    }
    std::uint64_t available = kUnlimited;
    if (realTime_) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - epoch_).count();
        const std::uint64_t ticks = elapsed <= 0 ? 0
                                                 : static_cast<std::uint64_t>(elapsed) *
                                                       kTicksPerNanoNum / kTicksPerNanoDen;
        available = ticks > spent_ ? ticks - spent_ : 0;
    }
    stop_ = decoder_.Run(available, spent_);
    // Only a chip that is busy clocking keeps its time base; idle or stalled time is not banked.
    if (!realTime_ || stop_ != Stop::Time)
        Rebase(now);
}

std::optional<Chip::Clock::time_point> Chip::WhenAnswered(std::size_t count) const
{
    if (!realTime_ || stop_ != Stop::Time)
        return std::nullopt;
    return TimeAtTicks(spent_ + decoder_.TicksToAnswer(count));
}

std::optional<Chip::Clock::time_point> Chip::WhenRoom(std::size_t count) const
{
    if (!realTime_ || stop_ != Stop::Time)
        return std::nullopt;
    return TimeAtTicks(spent_ + decoder_.TicksToFree(count));
}

void Chip::Wait(std::unique_lock<std::mutex> &lock, std::optional<Clock::time_point> deadline,
                std::optional<Clock::time_point> wake)
{
    std::optional<Clock::time_point> until = deadline;
    if (wake && (!until || *wake < *until))
        until = wake;
    if (until)
        changed_.wait_until(lock, *until);
    else
        changed_.wait(lock);
}

void Chip::Log(const std::uint8_t *data, std::size_t count)
{
    const std::size_t kept = std::min(count, kWriteLogSize - writeLog_.size());
    writeLog_.insert(writeLog_.end(), data, data + kept);
}

FT_STATUS Chip::SetLatencyTimer(d2xx::UCHAR ms)
{
    std::lock_guard lock(mutex_);
    if (const FT_STATUS status = Usable(closed_, board_.ForCall()); status != d2xx::FT_OK)
        return status;
    latency_ = ms;
    return d2xx::FT_OK;
}

FT_STATUS Chip::SetTimeouts(d2xx::ULONG readMs, d2xx::ULONG writeMs)
{
    std::lock_guard lock(mutex_);
    if (const FT_STATUS status = Usable(closed_, board_.ForCall()); status != d2xx::FT_OK)
        return status;
    readTimeoutMs_ = readMs;
    writeTimeoutMs_ = writeMs;
    return d2xx::FT_OK;
}

FT_STATUS Chip::SetBitMode(d2xx::UCHAR mask, d2xx::UCHAR mode)
{
    std::lock_guard lock(mutex_);
    const CallSettings settings = board_.ForCall();
    if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK)
        return status;
    const auto now = Clock::now();
    Advance(now, settings);
    bitMask_ = mask;
    bitMode_ = mode;
    ++bitModeCalls_;
    if (mode == d2xx::FT_BITMODE_RESET) {
        mpsseOn_ = false;
        decoder_.Reset(board_.NextStreamStart());
    } else {
        mpsseOn_ = mode == d2xx::FT_BITMODE_MPSSE;
    }
    stop_ = Stop::Idle;
    Rebase(now);
    changed_.notify_all();
    return d2xx::FT_OK;
}

FT_STATUS Chip::GetStatus(d2xx::DWORD &rx, d2xx::DWORD &tx)
{
    std::lock_guard lock(mutex_);
    const CallSettings settings = board_.ForCall();
    if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK)
        return status;
    Advance(Clock::now(), settings);
    rx = static_cast<d2xx::DWORD>(decoder_.Answers().Size()) + settings.overReport;
    tx = settings.txCountHidden ? 0 : static_cast<d2xx::DWORD>(decoder_.Commands().Size());
    return d2xx::FT_OK;
}

FT_STATUS Chip::Read(std::uint8_t *out, std::size_t count, d2xx::DWORD &got)
{
    std::unique_lock lock(mutex_);
    got = 0;
    CallSettings settings = board_.ForCall();
    if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK)
        return status;
    largestRead_ = std::max<unsigned long long>(largestRead_, count);
    if (board_.TakeReadError())
        return d2xx::FT_IO_ERROR;

    const auto deadline = Deadline(Clock::now(), readTimeoutMs_);
    std::size_t taken = 0;
    for (;;) {
        const auto now = Clock::now();
        Advance(now, settings);
        if (decoder_.Answers().Size() >= count - taken)
            break;
        if (decoder_.Answers().Full()) {
            // More is asked for than the queue can hold: hand over what it holds so that the
            // clock can go on.
            taken += decoder_.Answers().Pop(out + taken, decoder_.Answers().Size());
            Advance(now, settings);
            changed_.notify_all();
            continue;
        }
        if (deadline && now >= *deadline)
            break;
        Wait(lock, deadline, WhenAnswered(count - taken - decoder_.Answers().Size()));
        settings = board_.ForCall();
        if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK) {
            got = static_cast<d2xx::DWORD>(taken);
            return status;
        }
    }

    std::size_t take = std::min(count - taken, decoder_.Answers().Size());
    if (count >= 2 && take >= 1 && taken + take >= 2 && board_.TakeOddRead())
        --take;
    taken += decoder_.Answers().Pop(out + taken, take);
    if (take > 0) {
        // The room just made may let a stalled command go on from now.
        Advance(Clock::now(), settings);
        changed_.notify_all();
    }
    got = static_cast<d2xx::DWORD>(taken);
    return d2xx::FT_OK;
}

FT_STATUS Chip::Write(const std::uint8_t *data, std::size_t count, d2xx::DWORD &written)
{
    std::unique_lock lock(mutex_);
    written = 0;
    CallSettings settings = board_.ForCall();
    if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK)
        return status;
    const WriteFaults faults = board_.TakeWriteFaults();
    const auto deadline = Deadline(Clock::now(), writeTimeoutMs_);
    // How far ahead of the clock the host writes: what is still unclocked as it begins to.
    Advance(Clock::now(), settings);
    largestBacklog_ = std::max<unsigned long long>(largestBacklog_, decoder_.Commands().Size());

    if (faults.stall) {
        for (;;) {
            if (deadline && Clock::now() >= *deadline)
                return d2xx::FT_OK;
            Wait(lock, deadline, std::nullopt);
            settings = board_.ForCall();
            if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK)
                return status;
            if (!settings.writeStall)
                return d2xx::FT_OK;
        }
    }
    if (faults.error && !faults.errorTakesBytes)
        return d2xx::FT_IO_ERROR;

    const std::size_t limit = faults.maxBytes > 0 ? std::min(count, faults.maxBytes) : count;
    std::size_t taken = 0;
    FT_STATUS status = d2xx::FT_OK;
    for (;;) {
        const auto now = Clock::now();
        Advance(now, settings);
        if (taken == limit)
            break;
        // Outside MPSSE mode nothing interprets the bytes: they are accepted and dropped.
        const std::size_t space = mpsseOn_ ? decoder_.Commands().Room() : limit - taken;
        const std::size_t offered = std::min(limit - taken, space);
        const std::size_t allowed = offered > 0 ? board_.TakeWriteBudget(offered) : 0;
        if (allowed > 0) {
            Log(data + taken, allowed);
            if (mpsseOn_)
                decoder_.Commands().Push(data + taken, allowed);
            taken += allowed;
            Advance(now, settings);
            changed_.notify_all();
            continue;
        }
        if (deadline && now >= *deadline)
            break;
        // A spent write budget frees up only by a setting, which wakes this call.
        Wait(lock, deadline, offered > 0 ? std::nullopt : WhenRoom(limit - taken));
        settings = board_.ForCall();
        status = Usable(closed_, settings);
        if (status != d2xx::FT_OK)
            break;
    }
    written = static_cast<d2xx::DWORD>(taken);
    if (status != d2xx::FT_OK)
        return status;
    return faults.error ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

void Chip::MarkClosed()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

void Chip::Wake()
{
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

VsimChipState Chip::State()
{
    std::lock_guard lock(mutex_);
    if (!closed_)
        Advance(Clock::now(), board_.ForCall());
    VsimChipState state{};
    state.open = closed_ ? 0 : 1;
    state.latencyMs = latency_;
    state.readTimeoutMs = readTimeoutMs_;
    state.writeTimeoutMs = writeTimeoutMs_;
    state.bitMode = bitMode_;
    state.bitMask = bitMask_;
    state.bitModeCalls = bitModeCalls_;
    decoder_.Fill(state);
    state.largestRead = largestRead_;
    state.largestBacklog = largestBacklog_;
    return state;
}

std::size_t Chip::CopyWriteLog(std::uint8_t *out, std::size_t cap)
{
    std::lock_guard lock(mutex_);
    const std::size_t count = std::min(cap, writeLog_.size());
    std::copy_n(writeLog_.begin(), count, out);
    return count;
}

} // namespace vsim
