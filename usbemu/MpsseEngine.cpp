#include "usbemu/MpsseEngine.h"

#include "sim/Board.h"

#include <algorithm>
#include <limits>

namespace usbemu
{

namespace
{

constexpr unsigned kByteBits = 8;
// Ticks of 60 MHz: 60'000'000 / 1'000'000'000 = 3 / 50.
constexpr std::uint64_t kTicksPerNanoNum = 3;
constexpr std::uint64_t kTicksPerNanoDen = 50;
constexpr std::uint8_t kBadCommand = 0xFA;

// Opcode bits of the data shifting commands (AN108).
constexpr std::uint8_t kBitMode = 0x02;
constexpr std::uint8_t kLsbFirst = 0x08;
constexpr std::uint8_t kWriteTdi = 0x10;
constexpr std::uint8_t kReadTdo = 0x20;
constexpr std::uint8_t kWriteTms = 0x40;
constexpr std::uint8_t kNotShifting = 0x80;

namespace op
{
constexpr std::uint8_t kSetLow = 0x80, kReadLow = 0x81, kSetHigh = 0x82, kReadHigh = 0x83;
constexpr std::uint8_t kLoopbackOn = 0x84, kLoopbackOff = 0x85, kDivisor = 0x86;
constexpr std::uint8_t kSendImmediate = 0x87;
// FT2232H, FT4232H and FT232H only.
constexpr std::uint8_t kDivFiveOff = 0x8A, kDivFiveOn = 0x8B;
constexpr std::uint8_t kThreePhaseOn = 0x8C, kThreePhaseOff = 0x8D;
constexpr std::uint8_t kClockBits = 0x8E, kClockBytes = 0x8F;
constexpr std::uint8_t kAdaptiveOn = 0x96, kAdaptiveOff = 0x97;
} // namespace op

std::uint8_t Reverse(std::uint8_t b)
{
    std::uint8_t r = 0;
    for (unsigned i = 0; i < kByteBits; ++i)
        r = static_cast<std::uint8_t>(r | ((b >> i) & 1U) << (kByteBits - 1 - i));
    return r;
}

bool IsShifting(std::uint8_t code)
{
    return (code & kNotShifting) == 0 && (code & (kWriteTdi | kReadTdo | kWriteTms)) != 0;
}

} // namespace

MpsseEngine::MpsseEngine(std::size_t fromHostBytes, std::size_t toHostBytes, bool highSpeedOpcodes)
    : highSpeedOpcodes_(highSpeedOpcodes), fromHost_(fromHostBytes), toHost_(toHostBytes),
      device_(vsim::TBoard::Instance()), epoch_(Clock::now())
{
    ResetState();
}

void MpsseEngine::ResetState()
{
    fromHost_.Clear();
    toHost_.Clear();
    shift_ = Shift{};
    lowValue_ = lowDir_ = highValue_ = highDir_ = 0;
    loopback_ = false;
    divisor_ = 0;
    divideByFive_ = true;
    sendImmediate_ = false;
    device_.Restart(vsim::TStreamStart{});
    shiftRegister_ = device_.PrecedingBits();
}

void MpsseEngine::Enable(bool on, Clock::time_point now)
{
    if (!on)
        ResetState();
    enabled_ = on;
    stop_ = Stop::Idle;
    Rebase(now);
}

void MpsseEngine::Rebase(Clock::time_point now)
{
    epoch_ = now;
    spent_ = 0;
}

bool MpsseEngine::TakeSendImmediate()
{
    const bool was = sendImmediate_;
    sendImmediate_ = false;
    return was;
}

std::uint64_t MpsseEngine::BitTicks() const
{
    // SCK = master / ((1 + divisor) * 2), master 12 MHz (60 MHz / 5) or 60 MHz.
    const std::uint64_t perMaster = divideByFive_ ? 5 : 1;
    return 2 * (1 + std::uint64_t{divisor_}) * perMaster;
}

void MpsseEngine::Advance(Clock::time_point now)
{
    if (!enabled_) {
        Rebase(now);
        return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - epoch_).count();
    const std::uint64_t ticks =
        elapsed <= 0 ? 0
                     : static_cast<std::uint64_t>(elapsed) * kTicksPerNanoNum / kTicksPerNanoDen;
    stop_ = Run(ticks > spent_ ? ticks - spent_ : 0);
    if (stop_ != Stop::Time)
        Rebase(now);
}

std::optional<MpsseEngine::Clock::time_point> MpsseEngine::NextStep() const
{
    if (!enabled_ || stop_ != Stop::Time)
        return std::nullopt;
    const std::uint64_t unit = shift_.bits ? shift_.remaining : kByteBits;
    const std::uint64_t ticks = spent_ + unit * BitTicks();
    return epoch_ + std::chrono::nanoseconds((ticks * kTicksPerNanoDen + kTicksPerNanoNum - 1) /
                                             kTicksPerNanoNum);
}

std::uint8_t MpsseEngine::ShiftByte(std::uint8_t out)
{
    // The device sees the bits in the order they are on the wire, first bit at bit 0.
    const std::uint8_t wireOut = shift_.lsbFirst ? out : Reverse(out);
    std::uint8_t wireIn = 0;
    if (shift_.write && !shift_.tms)
        wireIn = device_.ClockOutIn(wireOut);
    else
        wireIn = device_.ClockIn(kByteBits);
    if (loopback_)
        wireIn = shift_.write ? wireOut : ((lowValue_ & 0x02) != 0 ? 0xFF : 0x00);
    return shift_.lsbFirst ? wireIn : Reverse(wireIn);
}

std::uint8_t MpsseEngine::ShiftBits(unsigned count, std::uint8_t out)
{
    // The SSC device takes host data in whole bytes only: bit commands clock it without data.
    std::uint8_t wireIn = device_.ClockIn(count);
    if (loopback_) {
        const std::uint8_t wireOut = shift_.lsbFirst ? out : Reverse(out);
        wireIn = shift_.write ? wireOut : ((lowValue_ & 0x02) != 0 ? 0xFF : 0x00);
    }
    // LSB first: bits enter at bit 7 and shift down; MSB first: at bit 0 and shift up.
    for (unsigned i = 0; i < count; ++i) {
        const unsigned bit = (wireIn >> i) & 1U;
        if (shift_.lsbFirst)
            shiftRegister_ = static_cast<std::uint8_t>(shiftRegister_ >> 1 | bit << 7);
        else
            shiftRegister_ = static_cast<std::uint8_t>(shiftRegister_ << 1 | bit);
    }
    return shiftRegister_;
}

bool MpsseEngine::StartCommand(std::uint8_t code)
{
    // Returns false when the command needs more of its bytes, or room for its answer.
    auto need = [&](std::size_t n) { return fromHost_.Size() >= n; };
    if (IsShifting(code)) {
        Shift s;
        s.write = (code & (kWriteTdi | kWriteTms)) != 0;
        s.read = (code & kReadTdo) != 0;
        s.tms = (code & kWriteTms) != 0;
        s.bits = (code & kBitMode) != 0 || s.tms;
        s.lsbFirst = (code & kLsbFirst) != 0;
        const std::size_t header = s.bits ? 2 : 3;
        const std::size_t length = header + (s.bits && s.write ? 1 : 0);
        if (!need(length))
            return false;
        if (s.bits) {
            s.remaining = (fromHost_.Peek(1) & 0x07) + 1U;
            if (s.write)
                s.outBits = fromHost_.Peek(2);
        } else {
            s.remaining = (fromHost_.Peek(1) | fromHost_.Peek(2) << kByteBits) + 1U;
            s.frame = s.write && s.read;
            if (s.frame)
                device_.BeginFrame();
        }
        s.active = true;
        shift_ = s;
        fromHost_.Drop(length);
        return true;
    }
    const bool high = highSpeedOpcodes_;
    switch (code) {
    case op::kSetLow:
    case op::kSetHigh:
    case op::kDivisor:
        if (!need(3))
            return false;
        if (code == op::kSetLow) {
            lowValue_ = fromHost_.Peek(1);
            lowDir_ = fromHost_.Peek(2);
        } else if (code == op::kSetHigh) {
            highValue_ = fromHost_.Peek(1);
            highDir_ = fromHost_.Peek(2);
        } else {
            divisor_ =
                static_cast<std::uint16_t>(fromHost_.Peek(1) | fromHost_.Peek(2) << kByteBits);
        }
        fromHost_.Drop(3);
        return true;
    case op::kReadLow:
    case op::kReadHigh: {
        if (toHost_.Full())
            return false;
        // Inputs float high (pull-ups); outputs read back what drives them.
        const std::uint8_t value = code == op::kReadLow ? lowValue_ : highValue_;
        const std::uint8_t dir = code == op::kReadLow ? lowDir_ : highDir_;
        toHost_.PushByte(static_cast<std::uint8_t>((value & dir) | ~dir));
        fromHost_.Drop(1);
        return true;
    }
    case op::kLoopbackOn:
    case op::kLoopbackOff:
        loopback_ = code == op::kLoopbackOn;
        fromHost_.Drop(1);
        return true;
    case op::kSendImmediate:
        sendImmediate_ = true;
        fromHost_.Drop(1);
        return true;
    default:
        break;
    }
    if (high) {
        switch (code) {
        case op::kDivFiveOff:
        case op::kDivFiveOn:
            divideByFive_ = code == op::kDivFiveOn;
            fromHost_.Drop(1);
            return true;
        case op::kThreePhaseOn:
        case op::kThreePhaseOff:
        case op::kAdaptiveOn:
        case op::kAdaptiveOff:
            fromHost_.Drop(1);
            return true;
        case op::kClockBits:
        case op::kClockBytes: {
            const std::size_t length = code == op::kClockBits ? 2 : 3;
            if (!need(length))
                return false;
            Shift s;
            s.active = true;
            s.lsbFirst = true;
            s.bits = code == op::kClockBits;
            s.remaining = s.bits ? (fromHost_.Peek(1) & 0x07) + 1U
                                 : (fromHost_.Peek(1) | fromHost_.Peek(2) << kByteBits) + 1U;
            shift_ = s;
            fromHost_.Drop(length);
            return true;
        }
        default:
            break;
        }
    }
    // An opcode the chip does not know: 0xFA and the opcode go to the host.
    if (toHost_.Room() < 2)
        return false;
    toHost_.PushByte(kBadCommand);
    toHost_.PushByte(code);
    ++badCommands_;
    fromHost_.Drop(1);
    return true;
}

MpsseEngine::Stop MpsseEngine::Run(std::uint64_t available)
{
    for (;;) {
        if (!shift_.active) {
            if (fromHost_.Empty())
                return Stop::Idle;
            const std::size_t before = fromHost_.Size();
            if (!StartCommand(fromHost_.Peek(0)))
                return before == fromHost_.Size() && !toHost_.Full() ? Stop::Idle : Stop::Stalled;
            continue;
        }
        if (shift_.read && toHost_.Full())
            return Stop::Stalled;
        if (shift_.bits) {
            const std::uint64_t cost = shift_.remaining * BitTicks();
            if (available < cost)
                return Stop::Time;
            available -= cost;
            spent_ += cost;
            const std::uint8_t in = ShiftBits(shift_.remaining, shift_.outBits);
            if (shift_.read)
                toHost_.PushByte(in);
            shift_ = Shift{};
            continue;
        }
        if (shift_.write && fromHost_.Empty())
            return Stop::Idle; // the rest of the data has not come yet
        const std::uint64_t cost = kByteBits * BitTicks();
        if (available < cost)
            return Stop::Time;
        available -= cost;
        spent_ += cost;
        const std::uint8_t out = shift_.write ? fromHost_.PopByte() : 0;
        const std::uint8_t in = ShiftByte(out);
        shiftRegister_ = in;
        if (shift_.read)
            toHost_.PushByte(in);
        if (--shift_.remaining == 0)
            shift_ = Shift{};
    }
}

} // namespace usbemu
