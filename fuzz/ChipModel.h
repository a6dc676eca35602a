// A model of the simulated chip for the fuzzer, written from FTDI's documentation of the MPSSE
// (application note AN_108, "Command Processor for MPSSE and MCU Host Bus Emulation Modes") and
// the FT2232H datasheet, never from sim/: its opcodes and buffer sizes are its own, so that a wrong
// constant in the chip under test shows as a difference between the two.
//
// The model parses the command stream a byte at a time, in fast mode (every command completes as
// soon as it is written, bounded only by the read queue), and keeps the answer bytes it can know:
// 0xFA answers and, with loop-back, what the data-out pin feeds back.
#pragma once

#include "FuzzInput.h"

#include <cstddef>
#include <cstdint>
#include <deque>

// The model's own branches run without coverage tracing: they would only steer the fuzzer
// towards the model and slow every run down.
#define UNTRACED __attribute__((no_sanitize("coverage")))

namespace fuzz
{

// The FT2232H datasheet: 4 kbyte transmit and 4 kbyte receive buffers per channel.
constexpr std::size_t kCommandBufferSize = 4 * 1024;
constexpr std::size_t kReadQueueSize = 4 * 1024;

// ADBUS1 is TDI/DO, the serial data out pin; loop-back connects it to TDO/DI.
constexpr std::uint8_t kDataOutPin = 1 << 1;

namespace opcode
{
// AN_108 builds each data shifting command from these bits.
constexpr std::uint8_t kWriteOnFallingEdge = 0x01;
constexpr std::uint8_t kBitMode = 0x02;
constexpr std::uint8_t kReadOnFallingEdge = 0x04;
constexpr std::uint8_t kLsbFirst = 0x08;
constexpr std::uint8_t kWriteTdi = 0x10;
constexpr std::uint8_t kReadTdo = 0x20;

// The commands the chip is driven with: bits in, bytes in, bytes out and in, all LSB first, read
// on the falling edge; bytes written on the falling edge too.
constexpr std::uint8_t kClockBitsIn = kReadTdo | kLsbFirst | kReadOnFallingEdge | kBitMode;
constexpr std::uint8_t kClockBytesIn = kReadTdo | kLsbFirst | kReadOnFallingEdge;
constexpr std::uint8_t kClockBytesOutIn =
    kReadTdo | kWriteTdi | kLsbFirst | kReadOnFallingEdge | kWriteOnFallingEdge;
// The pins, loop-back and the clock divisor.
constexpr std::uint8_t kSetLowPins = 0x80;
constexpr std::uint8_t kSetHighPins = 0x82;
constexpr std::uint8_t kLoopbackOn = 0x84;
constexpr std::uint8_t kLoopbackOff = 0x85;
constexpr std::uint8_t kSetDivisor = 0x86;
// An opcode the chip does not know is answered with this byte, then the opcode.
constexpr std::uint8_t kBadCommand = 0xFA;
} // namespace opcode

constexpr int kUntilCleared = -1;

// A fault count as the control interface takes it: -1 for ever, else the calls left.
inline bool TakeCall(int &Calls)
{
    if (Calls == 0)
        return false;
    if (Calls != kUntilCleared)
        --Calls;
    return true;
}

// An answer byte as far as the model knows it: the bits set in Mask must match Value.
struct Answer {
    std::uint8_t Value;
    std::uint8_t Mask;
};

// The chip as its documentation describes it, one byte at a time.
class ChipModel
{
public:
    // The settings the chip was opened with, and the faults armed through the control interface.
    bool Unplugged = false;
    int ShortWrite = 0;
    int WriteErrorCalls = 0;
    bool WriteErrorTakesBytes = false;
    bool WriteStall = false;
    long long WriteBudget = -1;
    int ReadErrorCalls = 0;
    int OddReadCalls = 0;

    // Statistics the chip reports.
    long long BadCommands = 0;
    long long Frames = 0;
    long long BitsClocked = 0;
    std::uint8_t LastBadOpcode = 0;
    bool Loopback = false;
    std::uint8_t LowValue = 0;
    std::uint16_t Divisor = 0;
    bool Mpsse = false;

    std::size_t Pending() const { return FCommands.size(); }
    std::size_t Queued() const { return FAnswers.size(); }

    // Executes what it can: everything written, bounded only by the read queue.
    UNTRACED void Run()
    {
        if (!Mpsse)
            return;
        while (Step()) {
        }
    }

    void Reset()
    {
        Mpsse = false;
        FCommands.clear();
        FAnswers.clear();
        FOp = Op::None;
        FLeft = 0;
    }

    UNTRACED void Push(const std::uint8_t *Data, std::size_t Count)
    {
        FCommands.insert(FCommands.end(), Data, Data + Count);
    }
    std::size_t Room() const { return kCommandBufferSize - FCommands.size(); }

    // Takes Count answers off the queue, checking them against what the chip returned.
    UNTRACED void Pop(const std::uint8_t *Got, std::size_t Count)
    {
        Require(Count <= FAnswers.size(), "model: more popped than queued");
        for (std::size_t i = 0; i < Count; ++i) {
            const Answer answer = FAnswers.front();
            FAnswers.pop_front();
            Require((Got[i] & answer.Mask) == (answer.Value & answer.Mask),
                    "an answer byte differs from what the command stream asks for");
        }
    }

    bool AnswersFull() const { return FAnswers.size() == kReadQueueSize; }

private:
    enum class Op { None, BitsIn, BytesIn, BytesOutIn };

    static std::size_t Needed(std::uint8_t Code)
    {
        switch (Code) {
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

    std::uint8_t PinLevel() const { return (LowValue & kDataOutPin) != 0 ? 0xFF : 0x00; }

    UNTRACED void Produce(std::uint8_t Value, std::uint8_t Mask)
    {
        FAnswers.push_back({Value, Mask});
    }
    std::size_t AnswerRoom() const { return kReadQueueSize - FAnswers.size(); }

    // One command started or one answer byte produced; false when the chip has to wait.
    UNTRACED bool Step()
    {
        if (FOp == Op::None)
            return Start();
        if (AnswerRoom() == 0)
            return false;
        switch (FOp) {
        case Op::BitsIn: {
            // The newest bits enter at the top: with loop-back those are known.
            const auto mask = static_cast<std::uint8_t>(0xFF << (8 - FLeft));
            Produce(Loopback ? PinLevel() : 0, Loopback ? mask : 0);
            BitsClocked += FLeft;
            FLeft = 0;
            break;
        }
        case Op::BytesIn:
            Produce(PinLevel(), Loopback ? 0xFF : 0);
            BitsClocked += 8;
            --FLeft;
            break;
        case Op::BytesOutIn: {
            if (FCommands.empty())
                return false;
            const std::uint8_t out = FCommands.front();
            FCommands.pop_front();
            Produce(out, Loopback ? 0xFF : 0);
            BitsClocked += 8;
            --FLeft;
            break;
        }
        case Op::None:
            break;
        }
        if (FLeft == 0)
            FOp = Op::None;
        return true;
    }

    UNTRACED bool Start()
    {
        if (FCommands.empty())
            return false;
        const std::uint8_t code = FCommands[0];
        if (FCommands.size() < Needed(code))
            return false;
        const std::uint8_t first = Needed(code) > 1 ? FCommands[1] : 0;
        const std::uint8_t second = Needed(code) > 2 ? FCommands[2] : 0;
        const auto length = static_cast<std::uint32_t>(first | second << 8) + 1;
        switch (code) {
        case opcode::kSetLowPins:
            LowValue = first;
            break;
        case opcode::kSetHighPins:
            break;
        case opcode::kLoopbackOn:
            Loopback = true;
            break;
        case opcode::kLoopbackOff:
            Loopback = false;
            break;
        case opcode::kSetDivisor:
            Divisor = static_cast<std::uint16_t>(length - 1);
            break;
        case opcode::kClockBitsIn:
            FOp = Op::BitsIn;
            FLeft = (first & 0x07) + 1U;
            break;
        case opcode::kClockBytesIn:
            FOp = Op::BytesIn;
            FLeft = length;
            break;
        case opcode::kClockBytesOutIn:
            FOp = Op::BytesOutIn;
            FLeft = length;
            ++Frames;
            break;
        default:
            // Both answer bytes go in together or the chip waits.
            if (AnswerRoom() < 2)
                return false;
            Produce(opcode::kBadCommand, 0xFF);
            Produce(code, 0xFF);
            ++BadCommands;
            LastBadOpcode = code;
            break;
        }
        FCommands.erase(FCommands.begin(),
                        FCommands.begin() + static_cast<std::ptrdiff_t>(Needed(code)));
        return true;
    }

    std::deque<std::uint8_t> FCommands;
    std::deque<Answer> FAnswers;
    Op FOp = Op::None;
    std::uint32_t FLeft = 0;
};

} // namespace fuzz
