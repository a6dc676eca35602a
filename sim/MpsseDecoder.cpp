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

void MpsseDecoder::RestartDevice(const StreamStart &start)
{
    device_.Restart(start);
    shiftRegister_ = device_.PrecedingBits();
}

void MpsseDecoder::Reset(const StreamStart &start)
{
    commands_.Clear();
    answers_.Clear();
    op_ = Op::None;
    remaining_ = 0;
    RestartDevice(start);
}

bool MpsseDecoder::StartCommand(std::uint8_t code)
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

std::uint8_t MpsseDecoder::LoopbackBits() const
{
    return (lowValue_ & kDataOutPin) != 0 ? kAllHigh : kAllLow;
}

MpsseDecoder::Stop MpsseDecoder::Run(std::uint64_t available, std::uint64_t &spent)
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
            spent += cost;
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
        spent += count * byteTicks;
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

std::uint64_t MpsseDecoder::TicksToAnswer(std::size_t count) const
{
    const std::uint64_t perByte = (op_ == Op::ClockBitsIn ? remaining_ : kByteBits) * BitTicks();
    return std::max<std::size_t>(count, 1) * perByte;
}

std::uint64_t MpsseDecoder::TicksToFree(std::size_t count) const
{
    // A frame frees one buffer byte per byte clocked; a read command must finish first.
    std::uint64_t ticks = std::max<std::size_t>(count, 1) * kByteBits * BitTicks();
    if (op_ == Op::ClockBitsIn)
        ticks += remaining_ * BitTicks();
    else if (op_ == Op::ClockBytesIn)
        ticks += std::uint64_t{remaining_} * kByteBits * BitTicks();
    return ticks;
}

void MpsseDecoder::Fill(VsimChipState &state) const
{
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
    state.deviceSynced = device_.Synced() ? 1 : 0;
    state.hostBytes = device_.HostBytes();
    state.deviceBytesSent = device_.BytesSent();
}

} // namespace vsim
