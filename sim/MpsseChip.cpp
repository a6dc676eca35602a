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
std::optional<TChip::Clock::time_point> Deadline(TChip::Clock::time_point start, d2xx::ULONG ms)
{
    if (ms == 0)
        return std::nullopt;
    return start + std::chrono::milliseconds(ms);
}

// The status of a call on a chip whose handle is live (FClosed false) or not.
FT_STATUS Usable(bool closed, const TCallSettings &settings)
{
    if (closed)
        return d2xx::FT_INVALID_HANDLE;
    if (settings.Unplugged)
        return d2xx::FT_IO_ERROR;
    return d2xx::FT_OK;
}

} // namespace

TChip::TChip(TBoard &board, std::string description, const TStreamStart &start)
    : FBoard(board), FDescription(std::move(description)), FDecoder(board), FEpoch(Clock::now())
{
    FDecoder.RestartDevice(start);
}

void TChip::Rebase(Clock::time_point now)
{
    FEpoch = now;
    FSpent = 0;
}

TChip::Clock::time_point TChip::TimeAtTicks(std::uint64_t ticks) const
{
    // Rounded up, so that a wait ends no earlier than the tick it waits for.
    const std::uint64_t nanos =
        (ticks * kTicksPerNanoDen + kTicksPerNanoNum - 1) / kTicksPerNanoNum;
    return FEpoch + std::chrono::nanoseconds(nanos);
}

void TChip::Advance(Clock::time_point now, const TCallSettings &settings)
{
    FDecoder.SetBehaviour(settings.Behaviour);
    if (settings.RealTime != FRealTime) {
        FRealTime = settings.RealTime;
        Rebase(now);
    }
    if (!FMpsseOn) {
        FStop = TStop::Idle;
        Rebase(now);
        return;
    }
    std::uint64_t available = kUnlimited;
    if (FRealTime) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now - FEpoch).count();
        const std::uint64_t ticks = elapsed <= 0 ? 0
                                                 : static_cast<std::uint64_t>(elapsed) *
                                                       kTicksPerNanoNum / kTicksPerNanoDen;
        available = ticks > FSpent ? ticks - FSpent : 0;
    }
    FStop = FDecoder.Run(available, FSpent);
    // Only a chip that is busy clocking keeps its time base; idle or stalled time is not banked.
    if (!FRealTime || FStop != TStop::Time)
        Rebase(now);
}

std::optional<TChip::Clock::time_point> TChip::WhenAnswered(std::size_t count) const
{
    if (!FRealTime || FStop != TStop::Time)
        return std::nullopt;
    return TimeAtTicks(FSpent + FDecoder.TicksToAnswer(count));
}

std::optional<TChip::Clock::time_point> TChip::WhenRoom(std::size_t count) const
{
    if (!FRealTime || FStop != TStop::Time)
        return std::nullopt;
    return TimeAtTicks(FSpent + FDecoder.TicksToFree(count));
}

void TChip::Wait(std::unique_lock<std::mutex> &lock, std::optional<Clock::time_point> deadline,
                 std::optional<Clock::time_point> wake)
{
    std::optional<Clock::time_point> until = deadline;
    if (wake && (!until || *wake < *until))
        until = wake;
    ++FWaiting;
    if (until)
        FChanged.wait_until(lock, *until);
    else
        FChanged.wait(lock);
    --FWaiting;
}

void TChip::Log(const std::uint8_t *data, std::size_t count)
{
    const std::size_t kept = std::min(count, kWriteLogSize - FWriteLog.size());
    FWriteLog.insert(FWriteLog.end(), data, data + kept);
}

FT_STATUS TChip::SetLatencyTimer(d2xx::UCHAR ms)
{
    std::lock_guard lock(FMutex);
    if (const FT_STATUS status = Usable(FClosed, FBoard.ForCall()); status != d2xx::FT_OK)
        return status;
    FLatency = ms;
    return d2xx::FT_OK;
}

FT_STATUS TChip::SetTimeouts(d2xx::ULONG readMs, d2xx::ULONG writeMs)
{
    std::lock_guard lock(FMutex);
    if (const FT_STATUS status = Usable(FClosed, FBoard.ForCall()); status != d2xx::FT_OK)
        return status;
    FReadTimeoutMs = readMs;
    FWriteTimeoutMs = writeMs;
    return d2xx::FT_OK;
}

FT_STATUS TChip::SetBitMode(d2xx::UCHAR mask, d2xx::UCHAR mode)
{
    std::lock_guard lock(FMutex);
    const TCallSettings settings = FBoard.ForCall();
    if (const FT_STATUS status = Usable(FClosed, settings); status != d2xx::FT_OK)
        return status;
    const auto now = Clock::now();
    Advance(now, settings);
    FBitMask = mask;
    FBitMode = mode;
    ++FBitModeCalls;
    if (mode == d2xx::FT_BITMODE_RESET) {
        FMpsseOn = false;
        FDecoder.Reset(FBoard.NextStreamStart());
    } else {
        FMpsseOn = mode == d2xx::FT_BITMODE_MPSSE;
    }
    FStop = TStop::Idle;
    Rebase(now);
    FChanged.notify_all();
    return d2xx::FT_OK;
}

FT_STATUS TChip::GetStatus(d2xx::DWORD &rx, d2xx::DWORD &tx)
{
    std::lock_guard lock(FMutex);
    const TCallSettings settings = FBoard.ForCall();
    if (const FT_STATUS status = Usable(FClosed, settings); status != d2xx::FT_OK)
        return status;
    Advance(Clock::now(), settings);
    rx = static_cast<d2xx::DWORD>(FDecoder.Answers().Size()) + settings.OverReport;
    tx = settings.TxCountHidden ? 0 : static_cast<d2xx::DWORD>(FDecoder.Commands().Size());
    return d2xx::FT_OK;
}

FT_STATUS TChip::Read(std::uint8_t *out, std::size_t count, d2xx::DWORD &got)
{
    std::unique_lock lock(FMutex);
    got = 0;
    TCallSettings settings = FBoard.ForCall();
    if (const FT_STATUS status = Usable(FClosed, settings); status != d2xx::FT_OK)
        return status;
    FLargestRead = std::max<unsigned long long>(FLargestRead, count);
    if (FBoard.TakeReadError())
        return d2xx::FT_IO_ERROR;

    const auto deadline = Deadline(Clock::now(), FReadTimeoutMs);
    std::size_t taken = 0;
    for (;;) {
        const auto now = Clock::now();
        Advance(now, settings);
        if (FDecoder.Answers().Size() >= count - taken)
            break;
        if (FDecoder.Answers().Full()) {
            // More is asked for than the queue can hold: hand over what it holds so that the
            // clock can go on.
            taken += FDecoder.Answers().Pop(out + taken, FDecoder.Answers().Size());
            Advance(now, settings);
            FChanged.notify_all();
            continue;
        }
        if (deadline && now >= *deadline)
            break;
        Wait(lock, deadline, WhenAnswered(count - taken - FDecoder.Answers().Size()));
        settings = FBoard.ForCall();
        if (const FT_STATUS status = Usable(FClosed, settings); status != d2xx::FT_OK) {
            got = static_cast<d2xx::DWORD>(taken);
            return status;
        }
    }

    std::size_t take = std::min(count - taken, FDecoder.Answers().Size());
    if (count >= 2 && take >= 1 && taken + take >= 2 && FBoard.TakeOddRead())
        --take;
    taken += FDecoder.Answers().Pop(out + taken, take);
    if (take > 0) {
        // The room just made may let a stalled command go on from now.
        Advance(Clock::now(), settings);
        FChanged.notify_all();
    }
    got = static_cast<d2xx::DWORD>(taken);
    return d2xx::FT_OK;
}

FT_STATUS TChip::Write(const std::uint8_t *data, std::size_t count, d2xx::DWORD &written)
{
    std::unique_lock lock(FMutex);
    written = 0;
    TCallSettings settings = FBoard.ForCall();
    if (const FT_STATUS status = Usable(FClosed, settings); status != d2xx::FT_OK)
        return status;
    const TWriteFaults faults = FBoard.TakeWriteFaults();
    const auto deadline = Deadline(Clock::now(), FWriteTimeoutMs);
    // How far ahead of the clock the host writes: what is still unclocked as it begins to.
    Advance(Clock::now(), settings);
    FLargestBacklog = std::max<unsigned long long>(FLargestBacklog, FDecoder.Commands().Size());

    if (faults.Stall) {
        for (;;) {
            if (deadline && Clock::now() >= *deadline)
                return d2xx::FT_OK;
            Wait(lock, deadline, std::nullopt);
            settings = FBoard.ForCall();
            if (const FT_STATUS status = Usable(FClosed, settings); status != d2xx::FT_OK)
                return status;
            if (!settings.WriteStall)
                return d2xx::FT_OK;
        }
    }
    if (faults.Error && !faults.ErrorTakesBytes)
        return d2xx::FT_IO_ERROR;

    const std::size_t limit = faults.MaxBytes > 0 ? std::min(count, faults.MaxBytes) : count;
    std::size_t taken = 0;
    FT_STATUS status = d2xx::FT_OK;
    for (;;) {
        const auto now = Clock::now();
        Advance(now, settings);
        if (taken == limit)
            break;
        // Outside MPSSE mode nothing interprets the bytes: they are accepted and dropped.
        const std::size_t space = FMpsseOn ? FDecoder.Commands().Room() : limit - taken;
        const std::size_t offered = std::min(limit - taken, space);
        const std::size_t allowed = offered > 0 ? FBoard.TakeWriteBudget(offered) : 0;
        if (allowed > 0) {
            Log(data + taken, allowed);
            if (FMpsseOn)
                FDecoder.Commands().Push(data + taken, allowed);
            taken += allowed;
            Advance(now, settings);
            FChanged.notify_all();
            continue;
        }
        if (deadline && now >= *deadline)
            break;
        // A spent write budget frees up only by a setting, which wakes this call.
        Wait(lock, deadline, offered > 0 ? std::nullopt : WhenRoom(limit - taken));
        settings = FBoard.ForCall();
        status = Usable(FClosed, settings);
        if (status != d2xx::FT_OK)
            break;
    }
    written = static_cast<d2xx::DWORD>(taken);
    if (status != d2xx::FT_OK)
        return status;
    return faults.Error ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
}

void TChip::MarkClosed()
{
    std::lock_guard lock(FMutex);
    FClosed = true;
    FChanged.notify_all();
}

void TChip::Wake()
{
    std::lock_guard lock(FMutex);
    FChanged.notify_all();
}

VsimChipState TChip::State()
{
    std::lock_guard lock(FMutex);
    if (!FClosed)
        Advance(Clock::now(), FBoard.ForCall());
    VsimChipState state{};
    state.open = FClosed ? 0 : 1;
    state.latencyMs = FLatency;
    state.readTimeoutMs = FReadTimeoutMs;
    state.writeTimeoutMs = FWriteTimeoutMs;
    state.bitMode = FBitMode;
    state.bitMask = FBitMask;
    state.bitModeCalls = FBitModeCalls;
    FDecoder.Fill(state);
    state.largestRead = FLargestRead;
    state.largestBacklog = FLargestBacklog;
    state.waiting = FWaiting;
    return state;
}

std::size_t TChip::CopyWriteLog(std::uint8_t *out, std::size_t cap)
{
    std::lock_guard lock(FMutex);
    const std::size_t count = std::min(cap, FWriteLog.size());
    std::copy_n(FWriteLog.begin(), count, out);
    return count;
}

} // namespace vsim
