#include "sim/MpsseChip.h"

#include "sim/Board.h"

#include <algorithm>
#include <limits>

namespace vsim
{

namespace
{

using d2xx::FT_STATUS;

constexpr unsigned kByteBits = 8;
constexpr std::uint8_t kBitCountMask = 0x07;
// Nanoseconds and 12 MHz ticks: 12'000'000 / 1'000'000'000 = 3 / 250.
constexpr std::uint64_t kTicksPerNanoNum = 3;
constexpr std::uint64_t kTicksPerNanoDen = 250;
static_assert(kBaseClockHz * kTicksPerNanoDen == 1'000'000'000 * kTicksPerNanoNum);
constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kBadCommandAnswerSize = 2;
// Eight bits read from a pin that stays high or low.
constexpr std::uint8_t kAllHigh = 0xFF;
constexpr std::uint8_t kAllLow = 0x00;

// The opcode and its parameters; the data of a 0x3D follows and is taken as it is clocked.
std::size_t HeaderLength(std::uint8_t code)
{
    switch (code) {
    case opcode::kClockBitsIn:
        return 2;
    case opcode::kClockBytesIn:
    case opcode::kClockBytesOutIn:
    case opcode::kSetLowPins:
    case opcode::kSetHighPins:
    case opcode::kSetDivisor:
        return 3;
    default:
        return 1;
    }
}

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
    : board_(board), description_(std::move(description)), device_(board), epoch_(Clock::now())
{
    RestartDevice(start);
}

void Chip::RestartDevice(const StreamStart &start)
{
    device_.Restart(start);
    shiftRegister_ = device_.PrecedingBits();
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
    device_.SetBehaviour(settings.behaviour);
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
    stop_ = Run(available);
    // Only a chip that is busy clocking keeps its time base; idle or stalled time is not banked.
    if (!realTime_ || stop_ != Stop::Time)
        Rebase(now);
}

bool Chip::StartCommand(std::uint8_t code)
{
    switch (code) {
    case opcode::kSetLowPins:
        lowValue_ = commands_.Peek(1);
        lowDir_ = commands_.Peek(2);
        break;
    case opcode::kSetHighPins:
        highValue_ = commands_.Peek(1);
        highDir_ = commands_.Peek(2);
        break;
    case opcode::kLoopbackOn:
        loopback_ = true;
        break;
    case opcode::kLoopbackOff:
        loopback_ = false;
        break;
    case opcode::kSetDivisor:
        divisor_ = static_cast<std::uint16_t>(commands_.Peek(1) | commands_.Peek(2) << kByteBits);
        break;
    case opcode::kClockBitsIn:
        // The chip looks only at the low three bits of the length.
        op_ = Op::ClockBitsIn;
        remaining_ = (commands_.Peek(1) & kBitCountMask) + 1U;
        break;
    case opcode::kClockBytesIn:
    case opcode::kClockBytesOutIn:
        op_ = code == opcode::kClockBytesIn ? Op::ClockBytesIn : Op::ClockBytesOutIn;
        remaining_ = (commands_.Peek(1) | commands_.Peek(2) << kByteBits) + 1U;
        if (op_ == Op::ClockBytesOutIn) {
            ++frames_;
            device_.BeginFrame();
        }
        break;
    default:
        if (answers_.Room() < kBadCommandAnswerSize)
            return false;
        answers_.PushByte(opcode::kBadCommand);
        answers_.PushByte(code);
        ++badCommands_;
        lastBadOpcode_ = code;
        break;
    }
    commands_.Drop(HeaderLength(code));
    return true;
}

std::uint8_t Chip::LoopbackBits() const
{
    return (lowValue_ & kDataOutPin) != 0 ? kAllHigh : kAllLow;
}

Chip::Stop Chip::Run(std::uint64_t available)
{
    for (;;) {
        if (op_ == Op::None) {
            if (commands_.Empty())
                return Stop::Idle;
            const std::uint8_t code = commands_.Peek(0);
            if (commands_.Size() < HeaderLength(code))
                return Stop::Idle;
            if (!StartCommand(code))
                return Stop::Stalled;
            continue;
        }
        if (answers_.Full())
            return Stop::Stalled;

        if (op_ == Op::ClockBitsIn) {
            // One answer byte for the whole command, ready when its last bit is in.
            const std::uint64_t cost = remaining_ * BitTicks();
            if (available < cost)
                return Stop::Time;
            available -= cost;
            spent_ += cost;
            std::uint8_t bits = device_.ClockIn(remaining_);
            if (loopback_)
                bits = static_cast<std::uint8_t>(LoopbackBits() >> (kByteBits - remaining_));
            // Each new bit enters at bit 7 and the register shifts down, so the answer holds
            // the last 8 bits received, the newest at the top.
            shiftRegister_ = static_cast<std::uint8_t>(shiftRegister_ >> remaining_ |
                                                       bits << (kByteBits - remaining_));
            answers_.PushByte(shiftRegister_);
            bitsClocked_ += remaining_;
            op_ = Op::None;
            remaining_ = 0;
            continue;
        }

        const bool hostDrives = op_ == Op::ClockBytesOutIn;
        if (hostDrives && commands_.Empty())
            return Stop::Idle; // the rest of the frame's data has not been written yet
        const std::uint64_t byteTicks = kByteBits * BitTicks();
        std::size_t count = std::min<std::size_t>(remaining_, answers_.Room());
        if (hostDrives)
            count = std::min(count, commands_.Size());
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, available / byteTicks));
        if (count == 0)
            return Stop::Time;
        available -= count * byteTicks;
        spent_ += count * byteTicks;
        if (hostDrives) {
            // A frame's data, piece by piece as the two queues lie in their storage.
            for (std::size_t left = count; left > 0;) {
                std::size_t outCount = 0, inCount = 0;
                const std::uint8_t *out = commands_.Front(outCount);
                std::uint8_t *in = answers_.Back(inCount);
                const std::size_t piece = std::min({left, outCount, inCount});
                device_.ClockOutIn(out, in, piece);
                if (loopback_)
                    std::copy_n(out, piece, in);
                shiftRegister_ = in[piece - 1];
                commands_.Drop(piece);
                answers_.Commit(piece);
                left -= piece;
            }
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                std::uint8_t in = device_.ClockIn(kByteBits);
                if (loopback_)
                    in = LoopbackBits();
                answers_.PushByte(in);
                shiftRegister_ = in;
            }
        }
        bitsClocked_ += static_cast<long long>(count * kByteBits);
        remaining_ -= static_cast<std::uint32_t>(count);
        if (remaining_ == 0)
            op_ = Op::None;
    }
}

std::optional<Chip::Clock::time_point> Chip::WhenAnswered(std::size_t count) const
{
    if (!realTime_ || stop_ != Stop::Time)
        return std::nullopt;
    const std::uint64_t perByte = (op_ == Op::ClockBitsIn ? remaining_ : kByteBits) * BitTicks();
    return TimeAtTicks(spent_ + std::max<std::size_t>(count, 1) * perByte);
}

std::optional<Chip::Clock::time_point> Chip::WhenRoom(std::size_t count) const
{
    if (!realTime_ || stop_ != Stop::Time)
        return std::nullopt;
    // A frame frees one buffer byte per byte clocked; a read command must finish first.
    std::uint64_t ticks = std::max<std::size_t>(count, 1) * kByteBits * BitTicks();
    if (op_ == Op::ClockBitsIn)
        ticks += remaining_ * BitTicks();
    else if (op_ == Op::ClockBytesIn)
        ticks += std::uint64_t{remaining_} * kByteBits * BitTicks();
    return TimeAtTicks(spent_ + ticks);
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
        commands_.Clear();
        answers_.Clear();
        op_ = Op::None;
        remaining_ = 0;
        RestartDevice(board_.NextStreamStart());
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
    rx = static_cast<d2xx::DWORD>(answers_.Size()) + settings.overReport;
    tx = settings.txCountHidden ? 0 : static_cast<d2xx::DWORD>(commands_.Size());
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
        if (answers_.Size() >= count - taken)
            break;
        if (answers_.Full()) {
            // More is asked for than the queue can hold: hand over what it holds so that the
            // clock can go on.
            taken += answers_.Pop(out + taken, answers_.Size());
            Advance(now, settings);
            changed_.notify_all();
            continue;
        }
        if (deadline && now >= *deadline)
            break;
        Wait(lock, deadline, WhenAnswered(count - taken - answers_.Size()));
        settings = board_.ForCall();
        if (const FT_STATUS status = Usable(closed_, settings); status != d2xx::FT_OK) {
            got = static_cast<d2xx::DWORD>(taken);
            return status;
        }
    }

    std::size_t take = std::min(count - taken, answers_.Size());
    if (count >= 2 && take >= 1 && taken + take >= 2 && board_.TakeOddRead())
        --take;
    taken += answers_.Pop(out + taken, take);
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
    largestBacklog_ = std::max<unsigned long long>(largestBacklog_, commands_.Size());

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
        const std::size_t space = mpsseOn_ ? commands_.Room() : limit - taken;
        const std::size_t offered = std::min(limit - taken, space);
        const std::size_t allowed = offered > 0 ? board_.TakeWriteBudget(offered) : 0;
        if (allowed > 0) {
            Log(data + taken, allowed);
            if (mpsseOn_)
                commands_.Push(data + taken, allowed);
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
    state.lowValue = lowValue_;
    state.lowDir = lowDir_;
    state.highValue = highValue_;
    state.highDir = highDir_;
    state.loopback = loopback_ ? 1 : 0;
    state.divisor = divisor_;
    state.bitsClocked = bitsClocked_;
    state.frames = frames_;
    state.badCommands = badCommands_;
    state.lastBadOpcode = lastBadOpcode_;
    state.largestRead = largestRead_;
    state.largestBacklog = largestBacklog_;
    state.deviceSynced = device_.Synced() ? 1 : 0;
    state.hostBytes = device_.HostBytes();
    state.deviceBytesSent = device_.BytesSent();
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
