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

std::uint8_t Reverse(std::uint8_t Byte)
{
    std::uint8_t r = 0;
    for (unsigned i = 0; i < kByteBits; ++i)
        r = static_cast<std::uint8_t>(r | ((Byte >> i) & 1U) << (kByteBits - 1 - i));
    return r;
}

bool IsShifting(std::uint8_t Code)
{
    return (Code & kNotShifting) == 0 && (Code & (kWriteTdi | kReadTdo | kWriteTms)) != 0;
}

} // namespace

TMpsseEngine::TMpsseEngine(std::size_t FromHostBytes, std::size_t ToHostBytes,
                           bool HighSpeedOpcodes)
    : FHighSpeedOpcodes(HighSpeedOpcodes), FFromHost(FromHostBytes), FToHost(ToHostBytes),
      FDevice(vsim::TBoard::Instance()), FEpoch(TClock::now())
{
    ResetState();
}

void TMpsseEngine::ResetState()
{
    FFromHost.Clear();
    FToHost.Clear();
    FShift = TShift{};
    FLowValue = FLowDir = FHighValue = FHighDir = 0;
    FLoopback = false;
    FDivisor = 0;
    FSendImmediate = false;
    FDevice.Restart(vsim::TStreamStart{});
    FShiftRegister = FDevice.PrecedingBits();
}

void TMpsseEngine::Enable(bool On, TClock::time_point Now)
{
    if (!On)
        ResetState();
    FEnabled = On;
    FStop = TStop::Idle;
    Rebase(Now);
}

void TMpsseEngine::Rebase(TClock::time_point Now)
{
    FEpoch = Now;
    FSpent = 0;
}

bool TMpsseEngine::TakeSendImmediate()
{
    const bool was = FSendImmediate;
    FSendImmediate = false;
    return was;
}

void TMpsseEngine::LeaveClock(bool DivideByFive, bool ThreePhase, bool Adaptive)
{
    FDivideByFive = DivideByFive;
    FThreePhase = ThreePhase;
    FAdaptive = Adaptive;
}

std::optional<std::uint64_t> TMpsseEngine::BitNanoseconds() const
{
    if (FAdaptive)
        return std::nullopt;
    return BitTicks() * kTicksPerNanoDen / kTicksPerNanoNum;
}

std::uint64_t TMpsseEngine::BitTicks() const
{
    // SCK = master / ((1 + divisor) * 2), master 12 MHz (60 MHz / 5) or 60 MHz; a three-phase
    // bit lasts one and a half periods.
    const std::uint64_t perMaster = FDivideByFive ? 5 : 1;
    const std::uint64_t period = 2 * (1 + std::uint64_t{FDivisor}) * perMaster;
    return FThreePhase ? period * 3 / 2 : period;
}

void TMpsseEngine::Advance(TClock::time_point Now)
{
    if (!FEnabled) {
        Rebase(Now);
        return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Now - FEpoch).count();
    const std::uint64_t ticks =
        elapsed <= 0 ? 0
                     : static_cast<std::uint64_t>(elapsed) * kTicksPerNanoNum / kTicksPerNanoDen;
    FStop = Run(ticks > FSpent ? ticks - FSpent : 0);
    if (FStop != TStop::Time)
        Rebase(Now);
}

std::optional<TMpsseEngine::TClock::time_point> TMpsseEngine::AtTicks(std::uint64_t Ticks) const
{
    return FEpoch + std::chrono::nanoseconds((Ticks * kTicksPerNanoDen + kTicksPerNanoNum - 1) /
                                             kTicksPerNanoNum);
}

std::optional<TMpsseEngine::TClock::time_point> TMpsseEngine::NextStep() const
{
    if (!FEnabled || FStop != TStop::Time)
        return std::nullopt;
    const std::uint64_t unit = FShift.Bits ? FShift.Remaining : kByteBits;
    return AtTicks(FSpent + unit * BitTicks());
}

std::optional<TMpsseEngine::TClock::time_point> TMpsseEngine::WhenMoved(std::size_t Bytes) const
{
    if (!FEnabled || FStop != TStop::Time)
        return std::nullopt;
    if (FShift.Bits)
        return NextStep();
    const std::uint64_t bytes =
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(Bytes, FShift.Remaining));
    return AtTicks(FSpent + bytes * kByteBits * BitTicks());
}

std::uint8_t TMpsseEngine::ShiftByte(std::uint8_t Out)
{
    // The device sees the bits in the order they are on the wire, first bit at bit 0.
    const std::uint8_t wireOut = FShift.LsbFirst ? Out : Reverse(Out);
    std::uint8_t wireIn = 0;
    if (FShift.Write && !FShift.Tms)
        wireIn = FDevice.ClockOutIn(wireOut);
    else
        wireIn = FDevice.ClockIn(kByteBits);
    if (FLoopback)
        wireIn = FShift.Write ? wireOut : ((FLowValue & 0x02) != 0 ? 0xFF : 0x00);
    return FShift.LsbFirst ? wireIn : Reverse(wireIn);
}

std::uint8_t TMpsseEngine::ShiftBits(unsigned Count, std::uint8_t Out)
{
    // The SSC device takes host data in whole bytes only: bit commands clock it without data.
    std::uint8_t wireIn = FDevice.ClockIn(Count);
    if (FLoopback) {
        const std::uint8_t wireOut = FShift.LsbFirst ? Out : Reverse(Out);
        wireIn = FShift.Write ? wireOut : ((FLowValue & 0x02) != 0 ? 0xFF : 0x00);
    }
    // LSB first: bits enter at bit 7 and shift down; MSB first: at bit 0 and shift up.
    for (unsigned i = 0; i < Count; ++i) {
        const unsigned bit = (wireIn >> i) & 1U;
        if (FShift.LsbFirst)
            FShiftRegister = static_cast<std::uint8_t>(FShiftRegister >> 1 | bit << 7);
        else
            FShiftRegister = static_cast<std::uint8_t>(FShiftRegister << 1 | bit);
    }
    return FShiftRegister;
}

bool TMpsseEngine::StartCommand(std::uint8_t Code)
{
    // Returns false when the command needs more of its bytes, or room for its answer.
    auto need = [&](std::size_t Count) { return FFromHost.Size() >= Count; };
    if (IsShifting(Code)) {
        TShift s;
        s.Write = (Code & (kWriteTdi | kWriteTms)) != 0;
        s.Read = (Code & kReadTdo) != 0;
        s.Tms = (Code & kWriteTms) != 0;
        s.Bits = (Code & kBitMode) != 0 || s.Tms;
        s.LsbFirst = (Code & kLsbFirst) != 0;
        const std::size_t header = s.Bits ? 2 : 3;
        const std::size_t length = header + (s.Bits && s.Write ? 1 : 0);
        if (!need(length))
            return false;
        if (s.Bits) {
            s.Remaining = (FFromHost.Peek(1) & 0x07) + 1U;
            if (s.Write)
                s.OutBits = FFromHost.Peek(2);
        } else {
            s.Remaining = (FFromHost.Peek(1) | FFromHost.Peek(2) << kByteBits) + 1U;
            s.Frame = s.Write && s.Read;
            if (s.Frame)
                FDevice.BeginFrame();
        }
        s.Active = true;
        FShift = s;
        FFromHost.Drop(length);
        return true;
    }
    const bool high = FHighSpeedOpcodes;
    switch (Code) {
    case op::kSetLow:
    case op::kSetHigh:
    case op::kDivisor:
        if (!need(3))
            return false;
        if (Code == op::kSetLow) {
            FLowValue = FFromHost.Peek(1);
            FLowDir = FFromHost.Peek(2);
        } else if (Code == op::kSetHigh) {
            FHighValue = FFromHost.Peek(1);
            FHighDir = FFromHost.Peek(2);
        } else {
            FDivisor =
                static_cast<std::uint16_t>(FFromHost.Peek(1) | FFromHost.Peek(2) << kByteBits);
        }
        FFromHost.Drop(3);
        return true;
    case op::kReadLow:
    case op::kReadHigh: {
        if (FToHost.Full())
            return false;
        // Inputs float high (pull-ups); outputs read back what drives them.
        const std::uint8_t value = Code == op::kReadLow ? FLowValue : FHighValue;
        const std::uint8_t dir = Code == op::kReadLow ? FLowDir : FHighDir;
        FToHost.PushByte(static_cast<std::uint8_t>((value & dir) | ~dir));
        FFromHost.Drop(1);
        return true;
    }
    case op::kLoopbackOn:
    case op::kLoopbackOff:
        FLoopback = Code == op::kLoopbackOn;
        FFromHost.Drop(1);
        return true;
    case op::kSendImmediate:
        FSendImmediate = true;
        FFromHost.Drop(1);
        return true;
    default:
        break;
    }
    if (high) {
        switch (Code) {
        case op::kDivFiveOff:
        case op::kDivFiveOn:
            FDivideByFive = Code == op::kDivFiveOn;
            FFromHost.Drop(1);
            return true;
        case op::kThreePhaseOn:
        case op::kThreePhaseOff:
            FThreePhase = Code == op::kThreePhaseOn;
            FFromHost.Drop(1);
            return true;
        case op::kAdaptiveOn:
        case op::kAdaptiveOff:
            FAdaptive = Code == op::kAdaptiveOn;
            FFromHost.Drop(1);
            return true;
        case op::kClockBits:
        case op::kClockBytes: {
            const std::size_t length = Code == op::kClockBits ? 2 : 3;
            if (!need(length))
                return false;
            TShift s;
            s.Active = true;
            s.LsbFirst = true;
            s.Bits = Code == op::kClockBits;
            s.Remaining = s.Bits ? (FFromHost.Peek(1) & 0x07) + 1U
                                 : (FFromHost.Peek(1) | FFromHost.Peek(2) << kByteBits) + 1U;
            FShift = s;
            FFromHost.Drop(length);
            return true;
        }
        default:
            break;
        }
    }
    // An opcode the chip does not know: 0xFA and the opcode go to the host.
    if (FToHost.Room() < 2)
        return false;
    FToHost.PushByte(kBadCommand);
    FToHost.PushByte(Code);
    ++FBadCommands;
    FFromHost.Drop(1);
    return true;
}

TMpsseEngine::TStop TMpsseEngine::Run(std::uint64_t Available)
{
    for (;;) {
        if (!FShift.Active) {
            if (FFromHost.Empty())
                return TStop::Idle;
            const std::size_t before = FFromHost.Size();
            if (!StartCommand(FFromHost.Peek(0)))
                return before == FFromHost.Size() && !FToHost.Full() ? TStop::Idle : TStop::Stalled;
            continue;
        }
        if (FShift.Read && FToHost.Full())
            return TStop::Stalled;
        // Adaptive clocking waits for a return clock that never comes.
        if (FAdaptive)
            return TStop::Stalled;
        if (FShift.Bits) {
            const std::uint64_t cost = FShift.Remaining * BitTicks();
            if (Available < cost)
                return TStop::Time;
            Available -= cost;
            FSpent += cost;
            const std::uint8_t in = ShiftBits(FShift.Remaining, FShift.OutBits);
            if (FShift.Read)
                FToHost.PushByte(in);
            FShift = TShift{};
            continue;
        }
        if (FShift.Write && FFromHost.Empty())
            return TStop::Idle; // the rest of the data has not come yet
        const std::uint64_t cost = kByteBits * BitTicks();
        if (Available < cost)
            return TStop::Time;
        Available -= cost;
        FSpent += cost;
        const std::uint8_t out = FShift.Write ? FFromHost.PopByte() : 0;
        const std::uint8_t in = ShiftByte(out);
        FShiftRegister = in;
        if (FShift.Read)
            FToHost.PushByte(in);
        if (--FShift.Remaining == 0)
            FShift = TShift{};
    }
}

} // namespace usbemu
