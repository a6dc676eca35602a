// The chip's MPSSE command processor with the SSC device wired to its clock and data pins: the
// bounded command buffer the host writes into, the bounded read queue the answers go to, the pins,
// loop-back and the clock divisor the commands set, and the commands that clock.
//
// The processor takes commands out of the buffer in order, parsing across write boundaries.
// Commands that only set something execute at once. Commands that clock (0x2E, 0x2C, 0x3D) move
// one device bit per SCK period and put their answer bytes into the read queue; when it is full
// the processor stalls. It knows nothing of time itself: the chip hands it a number of base clock
// ticks to spend and it says why it stopped.
#pragma once

#include "sim/ByteRing.h"
#include "sim/SimControl.h"
#include "sim/SscDevice.h"

#include <cstddef>
#include <cstdint>

namespace vsim
{

class TBoard;

// The buffers of an FT2232H channel, as its datasheet gives them: 4 KiB from the host and 4 KiB
// to it. A 4099-byte frame does not fit behind the data of the one that is clocking: a host that
// writes its next frame shortly before the chip finishes the last waits in FT_Write for the rest
// of the room, and one that gets further ahead waits longer, which is what paces it.
constexpr std::size_t kCommandBufferSize = 4096;
// The answers of one whole 4096-byte frame: a host that stops reading stalls the clock after
// 33 ms at 1 MHz, as the chip does, so a host that reads too seldom loses clock time here as it
// would with the chip, and the memory held stays bounded.
constexpr std::size_t kReadQueueSize = 4096;

// MPSSE opcodes the chip understands.
namespace opcode
{
constexpr std::uint8_t kClockBitsIn = 0x2E;     // L: L+1 bits in, LSB first, 1 answer byte
constexpr std::uint8_t kClockBytesIn = 0x2C;    // lo hi: len+1 bytes in, LSB first
constexpr std::uint8_t kClockBytesOutIn = 0x3D; // lo hi data...: len+1 bytes out and in
constexpr std::uint8_t kSetLowPins = 0x80;      // value direction
constexpr std::uint8_t kSetHighPins = 0x82;     // value direction
constexpr std::uint8_t kLoopbackOn = 0x84;
constexpr std::uint8_t kLoopbackOff = 0x85;
constexpr std::uint8_t kSetDivisor = 0x86; // lo hi
// The answer to an opcode the chip does not know: this byte, then the opcode.
constexpr std::uint8_t kBadCommand = 0xFA;
} // namespace opcode

// SCK = kBaseClockHz / ((1 + divisor) * 2): one SCK period lasts 2 * (1 + divisor) base ticks.
constexpr std::uint64_t kBaseClockHz = 12'000'000;
// The data-out pin (ADBUS1) in the low pins, which loop-back feeds to the input.
constexpr std::uint8_t kDataOutPin = 0x02;

class TMpsseDecoder
{
public:
    // Why the command processor stopped.
    enum class TStop {
        Idle,    // nothing (complete) to execute
        Stalled, // the read queue is full
        Time,    // the next step needs more time than has passed
    };

    explicit TMpsseDecoder(TBoard &board) : FDevice(board) {}

    // Executes commands with `available` base ticks of time to spend; adds what it spent to
    // `spent`.
    TStop Run(std::uint64_t available, std::uint64_t &spent);
    // Back to reset mode: both queues emptied, no command in progress, the device started again.
    void Reset(const TStreamStart &start);
    // The device starts again from `start`; what the chip last shifted in is what it saw before.
    void RestartDevice(const TStreamStart &start);
    void SetBehaviour(TBehaviour behaviour) { FDevice.SetBehaviour(behaviour); }

    TByteRing &Commands() { return FCommands; }
    TByteRing &Answers() { return FAnswers; }
    const TByteRing &Commands() const { return FCommands; }
    const TByteRing &Answers() const { return FAnswers; }

    // The base ticks the command in hand needs to produce `count` more answer bytes, or to free
    // `count` bytes of the command buffer.
    std::uint64_t TicksToAnswer(std::size_t count) const;
    std::uint64_t TicksToFree(std::size_t count) const;

    // The pins, the divisor, the statistics and the device into `state`.
    void Fill(VsimChipState &state) const;

private:
    // The clocking command in progress.
    enum class TOp { None, ClockBitsIn, ClockBytesIn, ClockBytesOutIn };

    bool StartCommand(std::uint8_t code);
    std::uint64_t BitTicks() const { return 2 * (1 + std::uint64_t{FDivisor}); }
    std::uint8_t LoopbackBits() const;

    TSscDevice FDevice;

    // Set by commands.
    std::uint8_t FLowValue = 0;
    std::uint8_t FLowDir = 0;
    std::uint8_t FHighValue = 0;
    std::uint8_t FHighDir = 0;
    bool FLoopback = false;
    std::uint16_t FDivisor = 0;

    TByteRing FCommands{kCommandBufferSize};
    TByteRing FAnswers{kReadQueueSize};
    TOp FOp = TOp::None;
    std::uint32_t FRemaining = 0; // bits (ClockBitsIn) or bytes still to clock
    std::uint8_t FShiftRegister = 0;

    // Statistics.
    long long FBitsClocked = 0;
    long long FFrames = 0;
    long long FBadCommands = 0;
    std::uint8_t FLastBadOpcode = 0;
};

} // namespace vsim
