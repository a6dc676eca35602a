#include "sim/MpsseDecoder.h"

#include <algorithm>

namespace vsim
{

namespace
{

constexpr unsigned kByteBits = 8;
constexpr std::uint8_t kBitCountMask = 0x07;
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

} // namespace

void TMpsseDecoder::RestartDevice(const TStreamStart &start)
{
    FDevice.Restart(start);
    FShiftRegister = FDevice.PrecedingBits();
}

void TMpsseDecoder::Reset(const TStreamStart &start)
{
    FCommands.Clear();
    FAnswers.Clear();
    FOp = TOp::None;
    FRemaining = 0;
    RestartDevice(start);
}

bool TMpsseDecoder::StartCommand(std::uint8_t code)
{
    switch (code) {
    case opcode::kSetLowPins:
        FLowValue = FCommands.Peek(1);
        FLowDir = FCommands.Peek(2);
        break;
    case opcode::kSetHighPins:
        FHighValue = FCommands.Peek(1);
        FHighDir = FCommands.Peek(2);
        break;
    case opcode::kLoopbackOn:
        FLoopback = true;
        break;
    case opcode::kLoopbackOff:
        FLoopback = false;
        break;
    case opcode::kSetDivisor:
        FDivisor = static_cast<std::uint16_t>(FCommands.Peek(1) | FCommands.Peek(2) << kByteBits);
        break;
    case opcode::kClockBitsIn:
        // The chip looks only at the low three bits of the length.
        FOp = TOp::ClockBitsIn;
        FRemaining = (FCommands.Peek(1) & kBitCountMask) + 1U;
        break;
    case opcode::kClockBytesIn:
    case opcode::kClockBytesOutIn:
        FOp = code == opcode::kClockBytesIn ? TOp::ClockBytesIn : TOp::ClockBytesOutIn;
        FRemaining = (FCommands.Peek(1) | FCommands.Peek(2) << kByteBits) + 1U;
        if (FOp == TOp::ClockBytesOutIn) {
            ++FFrames;
            FDevice.BeginFrame();
        }
        break;
    default:
        if (FAnswers.Room() < kBadCommandAnswerSize)
            return false;
        FAnswers.PushByte(opcode::kBadCommand);
        FAnswers.PushByte(code);
        ++FBadCommands;
        FLastBadOpcode = code;
        break;
    }
    FCommands.Drop(HeaderLength(code));
    return true;
}

std::uint8_t TMpsseDecoder::LoopbackBits() const
{
    return (FLowValue & kDataOutPin) != 0 ? kAllHigh : kAllLow;
}

TMpsseDecoder::TStop TMpsseDecoder::Run(std::uint64_t available, std::uint64_t &spent)
{
    for (;;) {
        if (FOp == TOp::None) {
            if (FCommands.Empty())
                return TStop::Idle;
            const std::uint8_t code = FCommands.Peek(0);
            if (FCommands.Size() < HeaderLength(code))
                return TStop::Idle;
            if (!StartCommand(code))
                return TStop::Stalled;
            continue;
        }
        if (FAnswers.Full())
            return TStop::Stalled;

        if (FOp == TOp::ClockBitsIn) {
            // One answer byte for the whole command, ready when its last bit is in.
            const std::uint64_t cost = FRemaining * BitTicks();
            if (available < cost)
                return TStop::Time;
            available -= cost;
            spent += cost;
            std::uint8_t bits = FDevice.ClockIn(FRemaining);
            if (FLoopback)
                bits = static_cast<std::uint8_t>(LoopbackBits() >> (kByteBits - FRemaining));
            // Each new bit enters at bit 7 and the register shifts down, so the answer holds
            // the last 8 bits received, the newest at the top.
            FShiftRegister = static_cast<std::uint8_t>(FShiftRegister >> FRemaining |
                                                       bits << (kByteBits - FRemaining));
            FAnswers.PushByte(FShiftRegister);
            FBitsClocked += FRemaining;
            FOp = TOp::None;
            FRemaining = 0;
            continue;
        }

        const bool hostDrives = FOp == TOp::ClockBytesOutIn;
        if (hostDrives && FCommands.Empty())
            return TStop::Idle; // the rest of the frame's data has not been written yet
        const std::uint64_t byteTicks = kByteBits * BitTicks();
        std::size_t count = std::min<std::size_t>(FRemaining, FAnswers.Room());
        if (hostDrives)
            count = std::min(count, FCommands.Size());
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, available / byteTicks));
        if (count == 0)
            return TStop::Time;
        available -= count * byteTicks;
        spent += count * byteTicks;
        if (hostDrives) {
            // A frame's data, piece by piece as the two queues lie in their storage.
            for (std::size_t left = count; left > 0;) {
                std::size_t outCount = 0, inCount = 0;
                const std::uint8_t *out = FCommands.Front(outCount);
                std::uint8_t *in = FAnswers.Back(inCount);
                const std::size_t piece = std::min({left, outCount, inCount});
                FDevice.ClockOutIn(out, in, piece);
                if (FLoopback)
                    std::copy_n(out, piece, in);
                FShiftRegister = in[piece - 1];
                FCommands.Drop(piece);
                FAnswers.Commit(piece);
                left -= piece;
            }
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                std::uint8_t in = FDevice.ClockIn(kByteBits);
                if (FLoopback)
                    in = LoopbackBits();
                FAnswers.PushByte(in);
                FShiftRegister = in;
            }
        }
        FBitsClocked += static_cast<long long>(count * kByteBits);
        FRemaining -= static_cast<std::uint32_t>(count);
        if (FRemaining == 0)
            FOp = TOp::None;
    }
}

std::uint64_t TMpsseDecoder::TicksToAnswer(std::size_t count) const
{
    const std::uint64_t perByte = (FOp == TOp::ClockBitsIn ? FRemaining : kByteBits) * BitTicks();
    return std::max<std::size_t>(count, 1) * perByte;
}

std::uint64_t TMpsseDecoder::TicksToFree(std::size_t count) const
{
    // A frame frees one buffer byte per byte clocked; a read command must finish first.
    std::uint64_t ticks = std::max<std::size_t>(count, 1) * kByteBits * BitTicks();
    if (FOp == TOp::ClockBitsIn)
        ticks += FRemaining * BitTicks();
    else if (FOp == TOp::ClockBytesIn)
        ticks += std::uint64_t{FRemaining} * kByteBits * BitTicks();
    return ticks;
}

void TMpsseDecoder::Fill(VsimChipState &state) const
{
    state.lowValue = FLowValue;
    state.lowDir = FLowDir;
    state.highValue = FHighValue;
    state.highDir = FHighDir;
    state.loopback = FLoopback ? 1 : 0;
    state.divisor = FDivisor;
    state.bitsClocked = FBitsClocked;
    state.frames = FFrames;
    state.badCommands = FBadCommands;
    state.lastBadOpcode = FLastBadOpcode;
    state.deviceSynced = FDevice.Synced() ? 1 : 0;
    state.hostBytes = FDevice.HostBytes();
    state.deviceBytesSent = FDevice.BytesSent();
}

} // namespace vsim
